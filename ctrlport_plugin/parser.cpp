#include "parser.h"

#include "ctrlportsettings.h"
#include "custom_string_helpers.h"
#include "host.h"
#include "net/thread_spawn.h"
#include "replybuilder.h"
#include "returncode.h"

#include <unistd.h>

#include <chrono>
#include <exception>
#include <memory>
#include <utility>

namespace {

const char* const kChannel = "Query";

// Commands whose answer arrives only as the notification named here.
const char* const kForwardedCommands[][2] = {
    {"clientgetids", "notifyclientids"},
    {"clientgetdbidfromuid", "notifyclientdbidfromuid"},
    {"clientgetnamefromuid", "notifyclientnamefromuid"},
    {"clientgetnamefromdbid", "notifyclientnamefromdbid"},
    {"clientgetuidfromclid", "notifyclientuidfromclid"},
    {"clientdblist", "notifyclientdblist"},
    {"servergrouplist", "notifyservergrouplist"},
    {"servergroupsbyclientid", "notifyservergroupsbyclientid"},
    {"servergrouppermlist", "notifyservergrouppermlist"},
    {"servergroupclientlist", "notifyservergroupclientlist"},
    {"clientpermlist", "notifyclientpermlist"},
    {"channelgrouplist", "notifychannelgrouplist"},
    {"channelgrouppermlist", "notifychannelgrouppermlist"},
    {"channelgroupclientlist", "notifychannelgroupclientlist"},
    {"channelpermlist", "notifychannelpermlist"},
    {"channelclientpermlist", "notifychannelclientpermlist"},
    {"permoverview", "notifypermoverview"},
    {"tokenadd", "notifytokenadd"},
    {"tokenlist", "notifytokenlist"},
    {"messageget", "notifymessage"},
    {"messagelist", "notifymessagelist"},
    {"banlist", "notifybanlist"},
    {"complainlist", "notifycomplainlist"},
    {"ftlist", "notifyfiletransferlist"},
};

// Servers up to this version number do not know clientdbedit.
const uint64_t kLastServerWithoutDbEdit = 14813;

bool isPasswordKey(const std::string& key)
{
    static const std::string suffix = "password";
    return key.size() >= suffix.size() && key.compare(key.size() - suffix.size(), suffix.size(), suffix) == 0;
}

} // namespace

Parser::Parser(int& status)
    : m_QueryManager(this)
{
    status = kListenFailed;
    m_TimerStop = false;
    m_TimerThread = new boost::thread(ThreadSpawn<Parser>(this, &Parser::timerLoop));
    try {
        fillTables();
        const std::vector<std::string> addresses{openRemote ? "0.0.0.0" : "127.0.0.1"};
        status = m_QueryManager.startListening(addresses, kCtrlPortPort);
    } catch (...) {
        // The destructor does not run for a half-built parser: end the timer thread here.
        stopTimer();
        throw;
    }
}

void Parser::stopTimer()
{
    m_TimerStop = true;
    if (!m_TimerThread)
        return;
    try {
        m_TimerThread->join();
    } catch (...) {
    }
    delete m_TimerThread;
    m_TimerThread = nullptr;
}

Parser::~Parser()
{
    m_QueryManager.setShuttingDown();
    stopTimer();
    // No line may be in a handler while the tables go: the networking threads end first.
    m_QueryManager.stopNetworking();
    std::lock_guard<std::shared_mutex> guard(m_ConnectionLock);
    m_ConnectionMap.clear();
    m_CommandMap.clear();
    m_ForwardedMap.clear();
}

void Parser::fillTables()
{
    m_CommandMap["quit"] = {&Parser::quitCommand, Needs::Nothing};
    m_CommandMap["use"] = {&Parser::useCommand, Needs::Nothing};
    m_CommandMap["whoami"] = {&Parser::whoamiCommand, Needs::Selection};
    m_CommandMap["dummy_connectionlost"] = {&Parser::connectionLostCommand, Needs::Nothing};
    m_CommandMap["dummy_connectionestablished"] = {&Parser::connectionEstablishedCommand, Needs::Nothing};
    m_CommandMap["clientnotifyregister"] = {&Parser::notifyRegisterCommand, Needs::Nothing};
    m_CommandMap["clientnotifyunregister"] = {&Parser::notifyUnregisterCommand, Needs::Nothing};
    m_CommandMap["help"] = {&Parser::helpCommand, Needs::Nothing};
    m_CommandMap["currentschandlerid"] = {&Parser::currentSchandlerIdCommand, Needs::Nothing};
    m_CommandMap["serverconnectinfo"] = {&Parser::serverConnectInfoCommand, Needs::Selection};
    m_CommandMap["channelconnectinfo"] = {&Parser::channelConnectInfoCommand, Needs::Selection};
    m_CommandMap["serverconnectionhandlerlist"] = {&Parser::serverConnectionHandlerListCommand, Needs::Nothing};
    m_CommandMap["clientlist"] = {&Parser::clientListCommand, Needs::Selection};
    m_CommandMap["channellist"] = {&Parser::channelListCommand, Needs::Selection};
    m_CommandMap["channelclientlist"] = {&Parser::channelClientListCommand, Needs::Selection};
    m_CommandMap["verifyserverpassword"] = {&Parser::verifyServerPasswordCommand, Needs::Selection};
    m_CommandMap["verifychannelpassword"] = {&Parser::verifyChannelPasswordCommand, Needs::Selection};
    m_CommandMap["clientvariable"] = {&Parser::clientVariableCommand, Needs::Selection};
    m_CommandMap["channelvariable"] = {&Parser::channelVariableCommand, Needs::Selection};
    m_CommandMap["servervariable"] = {&Parser::serverVariableCommand, Needs::Selection};
    m_CommandMap["clientupdate"] = {&Parser::clientUpdateCommand, Needs::Selection};
    m_CommandMap["clientmute"] = {&Parser::clientMuteCommand, Needs::Selection};
    m_CommandMap["clientunmute"] = {&Parser::clientUnmuteCommand, Needs::Selection};
    m_CommandMap["hashpassword"] = {&Parser::handleHashPassword, Needs::Nothing};
    for (const auto& entry : kForwardedCommands)
        m_ForwardedMap[entry[0]] = entry[1];
}

void Parser::timerLoop()
{
    using std::chrono::steady_clock;
    const auto seconds = [] {
        return std::chrono::duration_cast<std::chrono::seconds>(steady_clock::now().time_since_epoch()).count();
    };
    auto last = seconds();
    while (!m_TimerStop) {
        ::usleep(100000);
        const auto now = seconds();
        if (now == last)
            continue;
        try {
            m_QueryManager.timerTick(static_cast<uint64_t>(now) * 1000);
        } catch (const std::exception& e) {
            // Logged when memory allows: the timer thread outlives a failed pass.
            try {
                logMessage(std::string("maintenance failed: ") + e.what(), 1, kChannel);
            } catch (...) {
            }
        } catch (...) {
            try {
                logMessage("maintenance failed", 1, kChannel);
            } catch (...) {
            }
        }
        last = now;
    }
}

std::string Parser::maskPasswords(const std::string& line)
{
    std::string result;
    std::size_t start = 0;
    while (start <= line.size()) {
        std::size_t end = line.find_first_of(" |", start);
        if (end == std::string::npos)
            end = line.size();
        const std::string token = line.substr(start, end - start);
        const std::size_t equals = token.find('=');
        if (equals != std::string::npos && isPasswordKey(token.substr(0, equals)))
            result += token.substr(0, equals + 1) + "***";
        else
            result += token;
        if (end == line.size())
            break;
        result += line[end];
        start = end + 1;
    }
    return result;
}

void Parser::handleLine(QueryLine* line)
{
    std::unique_ptr<QueryLine> owned(line);
    try {
        handleCommand(*line);
        return;
    } catch (const std::exception& e) {
        logMessage(std::string("command failed: ") + e.what(), 1, kChannel);
    } catch (...) {
        logMessage("command failed", 1, kChannel);
    }
    // Every command ends with an error line, also one whose handler failed.
    try {
        sendErrorReply(line->m_connectionID, kErrorUndefined, std::string(), 0);
    } catch (...) {
        logMessage("command failed, and so did its error line", 1, kChannel);
    }
}

void Parser::handleCommand(QueryLine& line)
{
    if (loggingEnabled && line.m_line.compare(0, 6, "dummy_") != 0)
        logMessage("received: " + maskPasswords(line.m_line), 4, kChannel);

    bool ok = false;
    ParamParser parameters(line.m_line, ok);
    if (!ok) {
        sendErrorReply(line.m_connectionID, kErrorCommandRejected, std::string(), 0);
        return;
    }
    if (parameters.size() == 0)
        return;
    const auto command = m_CommandMap.find(parameters.getToken(0));
    const unsigned result = command != m_CommandMap.end() ? runCommand(command->second, parameters, line)
                                                          : forwardCommand(parameters, line);
    if (result != kResultNoLineNow)
        sendErrorReply(line.m_connectionID, result, std::string(), 0);
}

unsigned Parser::runCommand(const Command& command, ParamParser& parameters, QueryLine& line)
{
    uint64_t selected = 0;
    if (command.needs == Needs::Selection && !selectedConnection(line.m_connectionID, selected))
        return kErrorNoConnectionRecord;
    return (this->*command.handler)(parameters, line, selected);
}

bool Parser::isRegistered(const ConnectionRecord& record, uint64_t schandlerid, const std::string& event)
{
    for (const uint64_t key : {schandlerid, uint64_t(0)}) {
        const auto it = record.m_registrations.find(key);
        if (it != record.m_registrations.end() && (it->second.count(event) || it->second.count("any")))
            return true;
    }
    return false;
}

bool Parser::selectedConnection(int connectionID, uint64_t& selected)
{
    std::shared_lock<std::shared_mutex> guard(m_ConnectionLock);
    const auto it = m_ConnectionMap.find(connectionID);
    if (it == m_ConnectionMap.end())
        return false;
    selected = it->second.m_selected;
    return true;
}

bool Parser::hasRecord(int connectionID)
{
    std::shared_lock<std::shared_mutex> guard(m_ConnectionLock);
    return m_ConnectionMap.count(connectionID) != 0;
}

unsigned Parser::changeRecord(int connectionID, const char* missing,
                              const std::function<unsigned(ConnectionRecord&)>& change)
{
    {
        std::lock_guard<std::shared_mutex> guard(m_ConnectionLock);
        const auto it = m_ConnectionMap.find(connectionID);
        if (it != m_ConnectionMap.end())
            return change(it->second);
    }
    return noQueryConnection(missing);
}

unsigned Parser::noQueryConnection(const char* missing)
{
    logMessage(missing, 2, kChannel);
    return kErrorNoQueryConnection;
}

void Parser::sendLine(int connectionID, std::string line)
{
    m_QueryManager.sendLine(connectionID, std::move(line));
}

unsigned Parser::sendListLine(int connectionID, std::string&& records)
{
    std::string line = finishLine(std::move(records));
    if (line.size() > QueryManager::kMaxLineLength) {
        sendErrorReply(connectionID, kErrorUndefined,
                       "the reply of " + std::to_string(line.size()) + " bytes is longer than a connection may hold (" +
                           std::to_string(QueryManager::kMaxLineLength) + " bytes)",
                       0);
        return kResultNoLineNow;
    }
    sendLine(connectionID, std::move(line));
    return kErrorOk;
}

unsigned Parser::forwardCommand(ParamParser& parameters, QueryLine& line)
{
    const int connectionID = line.m_connectionID;
    uint64_t selected = 0;
    std::string event;
    const std::string command = parameters.getToken(0);
    const auto forwarded = m_ForwardedMap.find(command);
    bool registered = true;
    {
        std::shared_lock<std::shared_mutex> guard(m_ConnectionLock);
        const auto it = m_ConnectionMap.find(connectionID);
        if (it == m_ConnectionMap.end())
            return kErrorNoConnectionRecord;
        selected = it->second.m_selected;
        if (forwarded != m_ForwardedMap.end()) {
            event = forwarded->second;
            registered = isRegistered(it->second, selected, event);
        }
    }

    const HostFunctions* host = hostFunctions();
    if (command == "clientdbedit" && host && host->getServerVersionNumber &&
        host->getServerVersionNumber(selected) <= kLastServerWithoutDbEdit)
        return kErrorNotSupported;

    if (!registered) {
        sendLine(connectionID, "The command '" + command +
                                   "' requires you to register for a notification to receive an answer.\n\r"
                                   "For example you can use 'clientnotifyregister schandlerid=" +
                                   uint64ToString(selected) + " event=" + event + "'");
        return kResultNoLineNow;
    }

    if (!host || !host->sendCtrlPortCommand)
        return kErrorCommandRejected;
    const std::string returnCode = returnCodeFor(connectionID);
    const unsigned result = host->sendCtrlPortCommand(selected, parameters.getLine().c_str(), returnCode.c_str());
    return result == 0 ? kResultNoLineNow : result;
}

void Parser::sendErrorReply(int connectionID, unsigned error, const std::string& extra, uint16_t failedPermissionID)
{
    if (error != kResultNoLine)
        sendLine(connectionID, QueryManager::errorLine(error, extra, failedPermissionID));
}

int Parser::dispatchNotification(const std::string& line)
{
    bool ok = false;
    ParamParser parameters(line, ok);
    if (!ok || parameters.size() <= 1)
        return 0;
    const uint64_t schandlerid = parameters.getUInt64("schandlerid");
    if (parameters.getError() != 0)
        return 0;
    const std::string event = parameters.getToken(0);

    std::vector<int> targets;
    {
        std::shared_lock<std::shared_mutex> guard(m_ConnectionLock);
        for (const auto& entry : m_ConnectionMap) {
            if (isRegistered(entry.second, schandlerid, event))
                targets.push_back(entry.first);
        }
    }
    m_QueryManager.packetSendToEach(targets, line);
    return 0;
}

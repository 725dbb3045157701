// Commands about the telnet connection itself: ending it, choosing the server connection, who and
// where the user is, registering for notifications, and the help texts.
#include "parser.h"

#include "custom_string_helpers.h"
#include "host.h"
#include "parser_host.h"
#include "replybuilder.h"

#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <iterator>

namespace {

const char* const kChannel = "Query";
const std::size_t kConnectInfoSize = 512;

uint64_t currentServerConnection()
{
    return hostTable().getCurrentServerConnectionHandlerID();
}

// The own client and its channel on a server connection; a client error number on failure.
unsigned ownChannel(uint64_t schandlerid, uint16_t& clientID, uint64_t& channelID)
{
    const unsigned error = hostTable().getOwnClientID(schandlerid, &clientID);
    if (error != 0)
        return error;
    return hostTable().getChannelOfClient(schandlerid, clientID, &channelID);
}

std::string selectedLine(uint64_t schandlerid)
{
    std::string line = startCommand("selected");
    addParam(line, "schandlerid", schandlerid);
    return finishLine(line);
}

} // namespace

unsigned Parser::quitCommand(ParamParser&, QueryLine& line, uint64_t)
{
    m_QueryManager.sendErrorAndRemoveConnection(line.m_connectionID, kErrorOk, std::string());
    return kResultNoLine;
}

unsigned Parser::useCommand(ParamParser& parameters, QueryLine& line, uint64_t)
{
    uint64_t schandlerid = currentServerConnection();
    if (parameters.size() > 2)
        return kErrorCommandRejected;
    if (parameters.hasParam("schandlerid")) {
        schandlerid = parameters.getUInt64("schandlerid");
        if (parameters.getError() != 0)
            return static_cast<unsigned>(parameters.getError());
    } else if (parameters.size() == 2) {
        bool failed = false;
        schandlerid = stringToULong(parameters.getToken(1), failed);
        if (failed)
            return kErrorParameterInvalid;
    }
    const char* const missing = "Could not find matching query connection...";
    if (!hasRecord(line.m_connectionID))
        return noQueryConnection(missing);

    bool known = false;
    {
        HostMemory<uint64_t> list;
        // The list is not to be read after an error.
        if (const unsigned error = hostTable().getServerConnectionHandlerList(list.out()))
            return error;
        for (const uint64_t* entry = list.get(); entry && *entry != 0; ++entry) {
            if (*entry == schandlerid) {
                known = true;
                break;
            }
        }
    }
    if (!known)
        return kErrorNoSuchServerConnection;

    const unsigned result = changeRecord(line.m_connectionID, missing, [schandlerid](ConnectionRecord& record) {
        record.m_selected = schandlerid;
        return kErrorOk;
    });
    if (result == kErrorOk)
        sendLine(line.m_connectionID, selectedLine(schandlerid));
    return result;
}

unsigned Parser::whoamiCommand(ParamParser&, QueryLine& line, uint64_t selected)
{
    uint16_t clientID = 0;
    uint64_t channelID = 0;
    const unsigned error = ownChannel(selected, clientID, channelID);
    if (error != 0)
        return error;
    std::string reply;
    addParam(reply, "clid", clientID);
    addParam(reply, "cid", channelID);
    sendLine(line.m_connectionID, finishLine(reply));
    return kErrorOk;
}

unsigned Parser::connectionLostCommand(ParamParser&, QueryLine& line, uint64_t)
{
    std::lock_guard<std::shared_mutex> guard(m_ConnectionLock);
    m_ConnectionMap.erase(line.m_connectionID);
    return kResultNoLine;
}

unsigned Parser::connectionEstablishedCommand(ParamParser&, QueryLine& line, uint64_t)
{
    const uint64_t schandlerid = currentServerConnection();
    {
        std::lock_guard<std::shared_mutex> guard(m_ConnectionLock);
        m_ConnectionMap[line.m_connectionID].m_selected = schandlerid;
    }
    sendLine(line.m_connectionID, selectedLine(schandlerid));
    return kResultNoLine;
}

unsigned Parser::notifyRegisterCommand(ParamParser& parameters, QueryLine& line, uint64_t)
{
    const uint64_t schandlerid = parameters.getUInt64("schandlerid");
    if (parameters.getError() != 0)
        return static_cast<unsigned>(parameters.getError());
    const std::string event = parameters.getString("event");
    if (parameters.getError() != 0)
        return static_cast<unsigned>(parameters.getError());
    return changeRecord(line.m_connectionID, "Could not find matching query connection.",
                        [&](ConnectionRecord& record) { return addRegistration(record, schandlerid, event); });
}

unsigned Parser::addRegistration(ConnectionRecord& record, uint64_t schandlerid, const std::string& event)
{
    const auto existing = record.m_registrations.find(schandlerid);
    if (existing != record.m_registrations.end() && existing->second.count(event))
        return kResultNoLineNow;
    // A connection holds a bounded number of short names: the client keeps them for its lifetime.
    std::size_t count = 0;
    for (const auto& names : record.m_registrations)
        count += names.second.size();
    if (event.size() > kMaxEventNameLength || count >= kMaxRegistrations)
        return kErrorCommandRejected;
    record.m_registrations[schandlerid].insert(event);
    return kErrorOk;
}

unsigned Parser::notifyUnregisterCommand(ParamParser&, QueryLine& line, uint64_t)
{
    const char* const missing = "Could not find matching query connection..";
    return changeRecord(line.m_connectionID, missing, [](ConnectionRecord& record) {
        const bool hadRegistrations = !record.m_registrations.empty();
        record.m_registrations.clear();
        return hadRegistrations ? kErrorOk : kResultNoLineNow;
    });
}

unsigned Parser::helpCommand(ParamParser& parameters, QueryLine& line, uint64_t)
{
    const std::string topic = parameters.size() == 1 ? std::string("help") : parameters.getToken(1);
    if (topic.empty() || topic.find_first_of(std::string("/\\\0", 3)) != std::string::npos)
        return kErrorCommandRejected;
    const std::string path = hostAppPath() + "plugins/ctrlport_plugin/" + topic + ".txt";
    // Only a regular file: reading a folder fails, and a pipe or device may never end.
    struct stat status;
    if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode))
        return kErrorCommandRejected;
    std::ifstream file(path);
    if (!file)
        return kErrorCommandRejected;
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad())
        return kErrorCommandRejected;

    // Every line of the file ends with "\n\r"; after a final line feed an empty line follows.
    std::string reply;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            reply += text.substr(start) + "\n\r";
            break;
        }
        reply += text.substr(start, end - start) + "\n\r";
        start = end + 1;
    }
    sendLine(line.m_connectionID, reply);
    return kErrorOk;
}

unsigned Parser::currentSchandlerIdCommand(ParamParser&, QueryLine& line, uint64_t)
{
    std::string reply;
    addParam(reply, "schandlerid", currentServerConnection());
    sendLine(line.m_connectionID, finishLine(reply));
    return kErrorOk;
}

unsigned Parser::serverConnectionHandlerListCommand(ParamParser&, QueryLine& line, uint64_t)
{
    HostMemory<uint64_t> list;
    if (const unsigned error = hostTable().getServerConnectionHandlerList(list.out()))
        return error;
    std::string reply;
    for (const uint64_t* entry = list.get(); entry && *entry != 0; ++entry) {
        addParam(reply, "schandlerid", *entry);
        endRecord(reply);
    }
    list.release();
    sendLine(line.m_connectionID, finishLine(reply));
    return kErrorOk;
}

unsigned Parser::serverConnectInfoCommand(ParamParser&, QueryLine& line, uint64_t selected)
{
    char address[kConnectInfoSize] = {};
    char password[kConnectInfoSize] = {};
    uint16_t port = 0;
    const unsigned error = hostTable().getServerConnectInfo(selected, address, &port, password, kConnectInfoSize);
    if (error != 0)
        return error;
    address[kConnectInfoSize - 1] = '\0';
    password[kConnectInfoSize - 1] = '\0';
    std::string reply;
    addParam(reply, "ip", std::string(address));
    addParam(reply, "port", port);
    if (password[0] != '\0')
        addParam(reply, "password", std::string(password));
    sendLine(line.m_connectionID, finishLine(reply));
    return kErrorOk;
}

unsigned Parser::channelConnectInfoCommand(ParamParser& parameters, QueryLine& line, uint64_t selected)
{
    uint64_t channelID = 0;
    if (parameters.hasParam("cid")) {
        channelID = parameters.getUInt64("cid");
        if (parameters.getError() != 0)
            return static_cast<unsigned>(parameters.getError());
    } else {
        uint16_t clientID = 0;
        const unsigned error = ownChannel(selected, clientID, channelID);
        if (error != 0)
            return error;
    }
    char path[kConnectInfoSize] = {};
    char password[kConnectInfoSize] = {};
    const unsigned error = hostTable().getChannelConnectInfo(selected, channelID, path, password, kConnectInfoSize);
    if (error != 0)
        return error;
    path[kConnectInfoSize - 1] = '\0';
    password[kConnectInfoSize - 1] = '\0';
    std::string reply;
    addParam(reply, "path", std::string(path));
    if (password[0] != '\0')
        addParam(reply, "password", std::string(password));
    sendLine(line.m_connectionID, finishLine(reply));
    return kErrorOk;
}

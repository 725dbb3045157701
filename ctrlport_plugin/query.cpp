#include "query.h"

#include "custom_string_helpers.h"
#include "host.h"
#include "parser_host.h"
#include "net/id_order.h"
#include "net/networking_poll_tcp_select.h"
#include "replybuilder.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <utility>

namespace {

const char* const kChannel = "Query";
const int kLevelError = 1;
const int kLevelInfo = 4;

// The end of every line the plug-in sends.
const char kLineEnd[] = "\n\r";

const char* const kGreeting1 = "VXM Client\n\r";
const char* const kGreeting2 =
    "Welcome to the Voxmere 3 CtrlPort interface, type \"help\" for a list of commands and \"help <command>\" for "
    "information on a specific command.\n\r";

// The networking layer's callbacks; the manager is the user data. Nothing may leave them by
// exception: they run on the layer's threads.
void receiveCallback(char* buffer, int length, int connectionID, const sockaddr_in* peer, void* userData)
{
    try {
        static_cast<QueryManager*>(userData)->onDataReceived(connectionID, buffer, length, *peer);
    } catch (const std::exception& e) {
        logMessage(std::string("receive failed: ") + e.what(), kLevelError, kChannel);
    } catch (...) {
        logMessage("receive failed", kLevelError, kChannel);
    }
}

void connectCallback(int connectionID, const sockaddr_in* peer, void* userData, NetWorkingPollTCPSelect* poller)
{
    try {
        static_cast<QueryManager*>(userData)->onNewConnection(connectionID, *peer, poller);
    } catch (const std::exception& e) {
        logMessage(std::string("admission failed: ") + e.what(), kLevelError, kChannel);
    } catch (...) {
        logMessage("admission failed", kLevelError, kChannel);
    }
}

void disconnectCallback(int connectionID, const sockaddr_in*, void* userData)
{
    try {
        static_cast<QueryManager*>(userData)->onConnectionLost(connectionID);
    } catch (const std::exception& e) {
        logMessage(std::string("disconnect failed: ") + e.what(), kLevelError, kChannel);
    } catch (...) {
        logMessage("disconnect failed", kLevelError, kChannel);
    }
}

const NetWorkingSocketFunctions kCallbacks = {receiveCallback, connectCallback, disconnectCallback};

// The client whose lines this thread is handling (onDataReceived holds it and its lock): the replies
// to it need no look-up in the table.
thread_local QueryClient* t_handling = nullptr;

class Handling
{
public:
    explicit Handling(QueryClient* client) : m_previous(t_handling) { t_handling = client; }
    ~Handling() { t_handling = m_previous; }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    QueryClient* const m_previous;
};

} // namespace

const std::size_t QueryManager::kMaxLineLength = NetWorkingPollTCPSelect::kMaxQueuedBytes - 2;

QueryClient::QueryClient(int connectionID, SteadyTime now)
    : m_connectionID(connectionID), m_lastActivity(now)
{
}

QueryManager::QueryManager(SCBody* parser)
    : m_parser(parser), m_clock([] { return std::chrono::steady_clock::now(); })
{
    NetWorkingFunctions functions;
    // After a cut line, if it was cut, the error line ends the stream.
    functions.queueFullText = kLineEnd + errorLine(kErrorUndefined, "the connection's send queue is full");
    functions.allQueuesFullText = kLineEnd + errorLine(kErrorUndefined, "the send queues of all connections are full");
    m_netWorking.reset(new NetWorking(&functions, NETWORKING_TCP, static_cast<int>(kMaxClients)));
}

QueryManager::~QueryManager()
{
    setShuttingDown();
    stopNetworking();
}

int QueryManager::startListening(const std::vector<std::string>& addresses, int port)
{
    for (const std::string& address : addresses) {
        const std::string where = address + ":" + std::to_string(port);
        const int result = m_netWorking
            ? m_netWorking->listen(&kCallbacks, this, address, static_cast<unsigned short>(port), false)
            : -1;
        if (result == -1) {
            logMessage("bind failed on " + where, kLevelError, kChannel);
            return kListenFailed;
        }
        logMessage("listening on " + where, kLevelInfo, kChannel);
    }
    return 0;
}

void QueryManager::setShuttingDown()
{
    m_shuttingDown = true;
}

void QueryManager::stopNetworking()
{
    // Joins the accept thread and every poller: no callback runs after this.
    m_netWorking.reset();
    std::lock_guard<std::shared_mutex> guard(m_lock);
    m_ClientMap.clear();
    m_openClients = 0;
    m_BanMap.clear();
}

void QueryManager::setClock(Clock clock)
{
    std::lock_guard<std::mutex> guard(m_clockLock);
    m_clock = std::move(clock);
    m_clockSet.store(true, std::memory_order_release);
}

SteadyTime QueryManager::now()
{
    // Every line asks: no lock until a test sets a clock.
    if (!m_clockSet.load(std::memory_order_acquire))
        return std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> guard(m_clockLock);
    return m_clock();
}

void QueryManager::banAddress(const std::string& address)
{
    const SteadyTime when = now();
    std::lock_guard<std::shared_mutex> guard(m_lock);
    m_BanMap[address] = when;
}

std::size_t QueryManager::clientCount()
{
    std::shared_lock<std::shared_mutex> guard(m_lock);
    return m_ClientMap.size();
}

boost::shared_ptr<QueryClient> QueryManager::findClient(int connectionID)
{
    std::shared_lock<std::shared_mutex> guard(m_lock);
    const auto it = m_ClientMap.find(connectionID);
    return it == m_ClientMap.end() ? boost::shared_ptr<QueryClient>() : it->second;
}

bool QueryManager::markClosing(QueryClient& client)
{
    // Under the table's lock: maintenance erases a client as soon as it is closing, and one erased
    // between the flag and the count would keep its slot for good.
    std::lock_guard<std::shared_mutex> guard(m_lock);
    if (client.m_closing.exchange(true))
        return false;
    // stopNetworking may have emptied the table (and the count) meanwhile.
    if (m_openClients > 0 && m_ClientMap.count(client.m_connectionID))
        --m_openClients;
    return true;
}

std::string QueryManager::errorLine(unsigned error, const std::string& extra, uint16_t failedPermissionID)
{
    std::string line = startCommand("error");
    addParam(line, "id", static_cast<uint32_t>(error));
    addParam(line, "msg", hostErrorText(error));
    if (!extra.empty())
        addParam(line, "extra_msg", extra);
    if (failedPermissionID != 0)
        addParam(line, "failed_permid", failedPermissionID);
    return finishLine(line);
}

void QueryManager::sendError(int connectionID, NetWorkingPollTCPSelect* poller, unsigned error,
                             const std::string& extra)
{
    poller->closeConnection(connectionID, CloseMode::AfterSend, errorLine(error, extra));
}

bool QueryManager::onNewConnection(int connectionID, const sockaddr_in& peer, NetWorkingPollTCPSelect* poller)
{
    if (m_shuttingDown) {
        sendError(connectionID, poller, kErrorShuttingDown, std::string());
        return false;
    }
    poller->send(kGreeting1, connectionID, &peer);
    poller->send(kGreeting2, connectionID, &peer);

    const std::string address = ipText(peer);
    const SteadyTime current = now();
    unsigned refusal = 0;
    std::string extra;
    {
        std::lock_guard<std::shared_mutex> guard(m_lock);
        const auto ban = m_BanMap.find(address);
        if (ban != m_BanMap.end()) {
            auto wait = std::chrono::duration_cast<std::chrono::seconds>(ban->second + kBanSeconds - current).count();
            if (wait < 0 || wait > kBanSeconds.count())
                wait = 1;
            refusal = kErrorAddressBanned;
            extra = "you may retry in " + uint64ToString(static_cast<uint64_t>(wait)) + " seconds";
        } else if (m_openClients >= kMaxClients) {
            refusal = kErrorTooManyClients;
        } else {
            boost::shared_ptr<QueryClient> client(new QueryClient(connectionID, current));
            client->m_poller = poller;
            m_ClientMap[connectionID] = client;
            ++m_openClients;
        }
    }
    if (refusal != 0) {
        sendError(connectionID, poller, refusal, extra);
        return false;
    }
    // After the table's lock, which the parser's lines take: nothing of this connection is read or
    // lost before this call returns.
    handPseudoLine("dummy_connectionestablished", connectionID, peer);
    return true;
}

void QueryManager::handPseudoLine(const char* text, int connectionID, const sockaddr_in& peer)
{
    QueryLine* line = new QueryLine;
    line->m_line = text;
    line->m_connectionID = connectionID;
    line->m_peer = peer;
    m_parser->handleLine(line);
}

void QueryManager::onDataReceived(int connectionID, char* buffer, int length, const sockaddr_in& peer)
{
    const std::unique_ptr<char[]> owned(buffer);
    const boost::shared_ptr<QueryClient> client = findClient(connectionID);
    if (!client || client->m_closing)
        return;
    if (m_shuttingDown) {
        sendErrorAndCloseConnection(connectionID, kErrorShuttingDown, std::string());
        return;
    }
    if (length <= 0)
        return;

    std::lock_guard<std::mutex> clientGuard(client->m_lock);
    if (client->m_closing || !client->m_input.take(buffer, static_cast<std::size_t>(length)))
        return;
    client->m_lastActivity = now();
    const Handling handling(client.get());
    std::string line;
    TelnetInput::Next next = TelnetInput::Next::None;
    while (!client->m_closing && (next = client->m_input.next(line)) == TelnetInput::Next::Line)
        deliverLine(*client, line, peer);
    if (client->m_closing) {
        // After quit nothing more of this connection is handled.
        client->m_input.clear();
        return;
    }
    if (next == TelnetInput::Next::TooLong) {
        client->m_input.clear();
        sendErrorAndRemoveConnection(connectionID, kErrorCommandRejected, std::string());
    }
}

void QueryManager::deliverLine(QueryClient& client, std::string& line, const sockaddr_in& peer)
{
    if (line.empty())
        return;
    QueryLine* queryLine = new QueryLine;
    queryLine->m_line.swap(line);
    queryLine->m_connectionID = client.m_connectionID;
    queryLine->m_peer = peer;
    m_parser->handleLine(queryLine);
}

namespace {

void logUnknownTarget(int connectionID)
{
    logMessage("packetSend called with an invalid socketID:" + std::to_string(connectionID), kLevelError, kChannel);
}

} // namespace

void QueryManager::sendLine(int connectionID, std::string line)
{
    // A reply to the client being handled. Its final line and its close are one step of its
    // poller, which takes nothing after it, so the flag needs no lock here.
    if (QueryClient* const handled = t_handling) {
        if (handled->m_connectionID == connectionID) {
            if (!handled->m_closing)
                handled->m_poller->send(line.append(kLineEnd), connectionID, nullptr);
            return;
        }
    }
    NetWorkingPollTCPSelect* poller = nullptr;
    bool known = false;
    {
        // The poller outlives the table's entries: no need to hold on to the client.
        std::shared_lock<std::shared_mutex> guard(m_lock);
        const auto it = m_ClientMap.find(connectionID);
        known = it != m_ClientMap.end();
        // Nothing goes after a connection's final line.
        if (known && !it->second->m_closing)
            poller = it->second->m_poller;
    }
    if (!known)
        logUnknownTarget(connectionID);
    else if (poller)
        poller->send(line.append(kLineEnd), connectionID, nullptr);
}

void QueryManager::packetSend(QueryPacket* packet)
{
    const std::unique_ptr<QueryPacket> owned(packet);
    sendLine(packet->m_connectionID, std::move(packet->m_line));
}

void QueryManager::packetSendToEach(const std::vector<int>& connectionIDs, const std::string& line)
{
    // Poller by poller, each share in id order: each takes its share under one lock.
    std::vector<std::pair<NetWorkingPollTCPSelect*, std::vector<int>>> shares;
    std::vector<int> unknown;
    std::vector<int> sorted(connectionIDs);
    std::sort(sorted.begin(), sorted.end());
    {
        std::shared_lock<std::shared_mutex> guard(m_lock);
        netutil::forEachInIdOrder(
            m_ClientMap, sorted,
            [&shares](const auto& entry) {
                if (entry.second->m_closing)
                    return;
                NetWorkingPollTCPSelect* poller = entry.second->m_poller;
                auto share = std::find_if(shares.begin(), shares.end(),
                                          [poller](const auto& s) { return s.first == poller; });
                if (share == shares.end())
                    share = shares.insert(shares.end(), {poller, {}});
                share->second.push_back(entry.first);
            },
            [&unknown](int connectionID) { unknown.push_back(connectionID); });
    }
    for (const int connectionID : unknown)
        logUnknownTarget(connectionID);
    std::string text;
    text.reserve(line.size() + 2);
    text.append(line).append(kLineEnd);
    std::size_t targets = 0;
    for (const auto& share : shares)
        targets += share.second.size();
    // A long line for several connections is held once, in a block that their queues share.
    if (m_netWorking && targets > 1 && text.size() >= ReplyBuffer::kChunkSize) {
        const std::shared_ptr<const SharedBlock> block = m_netWorking->shareBlock(std::move(text));
        for (auto& share : shares)
            share.first->queueToEach(block, share.second);
    } else {
        for (auto& share : shares)
            share.first->queueToEach(text, share.second);
    }
    // The pollers write when every connection has its line, so that none of them takes a core from
    // the fan-out meanwhile.
    for (auto& share : shares)
        share.first->wakeUp();
}

void QueryManager::sendErrorAndCloseConnection(int connectionID, unsigned error, const std::string& extra)
{
    const boost::shared_ptr<QueryClient> client = findClient(connectionID);
    if (!client) {
        logMessage("sendErrorAndCloseConnection called with an invalid socketID:" + std::to_string(connectionID),
                   kLevelError, kChannel);
        return;
    }
    // Only the first end of a connection sends a final line.
    if (markClosing(*client))
        sendError(connectionID, client->m_poller, error, extra);
}

void QueryManager::sendErrorAndRemoveConnection(int connectionID, unsigned error, const std::string& extra)
{
    const boost::shared_ptr<QueryClient> client = findClient(connectionID);
    if (!client) {
        logMessage("sendErrorAndRemoveConnection called with an invalid socketID:" + std::to_string(connectionID),
                   kLevelError, kChannel);
        return;
    }
    if (!markClosing(*client))
        return;
    handPseudoLine("dummy_connectionlost", connectionID, sockaddr_in{});
    sendError(connectionID, client->m_poller, error, extra);
}

void QueryManager::onRemoveConnection(int connectionID)
{
    const boost::shared_ptr<QueryClient> client = findClient(connectionID);
    if (!client) {
        logMessage("onRemoveConnection called with an invalid clientSocketID: " + std::to_string(connectionID),
                   kLevelError, kChannel);
        return;
    }
    markClosing(*client);
    handPseudoLine("dummy_connectionlost", connectionID, sockaddr_in{});
    client->m_poller->closeConnection(connectionID);
}

void QueryManager::onConnectionLost(int connectionID)
{
    onRemoveConnection(connectionID);
    runMaintenance();
}

void QueryManager::timerTick(uint64_t nowMilliseconds)
{
    const uint64_t last = m_lastTick.load();
    if (nowMilliseconds >= last + 1000 || nowMilliseconds < last)
        runMaintenance();
    m_lastTick = nowMilliseconds;
}

void QueryManager::runMaintenance()
{
    const SteadyTime current = now();
    {
        std::unique_lock<std::shared_mutex> guard(m_lock, std::try_to_lock);
        if (guard.owns_lock()) {
            for (auto it = m_BanMap.begin(); it != m_BanMap.end();) {
                if (it->second + kBanSeconds < current)
                    it = m_BanMap.erase(it);
                else
                    ++it;
            }
        }
    }

    std::vector<int> idle;
    {
        std::unique_lock<std::shared_mutex> guard(m_lock, std::try_to_lock);
        if (!guard.owns_lock())
            return;
        for (auto it = m_ClientMap.begin(); it != m_ClientMap.end();) {
            QueryClient& client = *it->second;
            // A client busy with its lines is looked at again next second (its lock comes before ours).
            std::unique_lock<std::mutex> clientGuard(client.m_lock, std::try_to_lock);
            if (!clientGuard.owns_lock()) {
                ++it;
                continue;
            }
            if (client.m_closing && current >= client.m_lastActivity + std::chrono::seconds(1)) {
                clientGuard.unlock();
                it = m_ClientMap.erase(it);
                continue;
            }
            if (!client.m_closing && current >= client.m_lastActivity + kIdleSeconds)
                idle.push_back(it->first);
            ++it;
        }
    }
    for (const int connectionID : idle)
        onRemoveConnection(connectionID);
}

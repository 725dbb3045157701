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

const char* const kGreeting1 = "VXM Client\n\r";
const char* const kGreeting2 =
    "Welcome to the Voxmere 3 CtrlPort interface, type \"help\" for a list of commands and \"help <command>\" for "
    "information on a specific command.\n\r";

const unsigned char kIAC = 0xFF;
const unsigned char kSB = 250;
const unsigned char kSE = 240;
const unsigned char kWILL = 251;
const unsigned char kDONT = 254;

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

// The client whose received lines this thread is handling, so that their replies reach its poller
// without a second lookup.
thread_local QueryClient* t_handledClient = nullptr;

class HandlingClient
{
public:
    explicit HandlingClient(QueryClient* client) : m_previous(t_handledClient) { t_handledClient = client; }
    ~HandlingClient() { t_handledClient = m_previous; }
    HandlingClient(const HandlingClient&) = delete;
    HandlingClient& operator=(const HandlingClient&) = delete;

private:
    QueryClient* const m_previous;
};

} // namespace

std::string TelnetInputFilter::filter(const std::string& block, bool& strayNul)
{
    std::string data;
    data.reserve(block.size());
    strayNul = false;
    for (const char c : block) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (m_state == CarriageReturn) {
            m_state = Data;
            if (c == '\0') {
                data.push_back('\n');
                continue;
            }
            // A carriage return on its own is dropped; this byte is read as data.
        }
        if (c == '\0')
            strayNul = true;
        switch (m_state) {
        case Data:
            if (byte == kIAC)
                m_state = Command;
            else if (c == '\r')
                m_state = CarriageReturn;
            else if (c != '\0')
                data.push_back(c);
            break;
        case CarriageReturn:
            break;
        case Command:
            if (byte >= kWILL && byte <= kDONT)
                m_state = Option;
            else if (byte == kSB)
                m_state = Subnegotiation;
            else
                m_state = Data;
            break;
        case Option:
            m_state = Data;
            break;
        case Subnegotiation:
            if (byte == kIAC)
                m_state = SubnegotiationCommand;
            break;
        case SubnegotiationCommand:
            m_state = byte == kSE ? Data : Subnegotiation;
            break;
        }
    }
    return data;
}

QueryClient::QueryClient(const std::string& name, int connectionID, time_t now)
    : m_name(name), m_connectionID(connectionID), m_lastActivity(now)
{
}

QueryManager::QueryManager(SCBody* parser)
    : m_parser(parser), m_clock([] { return ::time(nullptr); })
{
    const NetWorkingFunctions functions{nullptr};
    m_netWorking.reset(new NetWorking(&functions, NETWORKING_TCP));
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
    boost::lock_guard<boost::recursive_mutex> guard(m_lock);
    m_ClientMap.clear();
    m_openClients = 0;
    m_BanMap.clear();
}

void QueryManager::setClock(Clock clock)
{
    std::lock_guard<std::mutex> guard(m_clockLock);
    m_clock = std::move(clock);
}

time_t QueryManager::now()
{
    std::lock_guard<std::mutex> guard(m_clockLock);
    return m_clock();
}

void QueryManager::banAddress(const std::string& address)
{
    const time_t when = now();
    boost::lock_guard<boost::recursive_mutex> guard(m_lock);
    m_BanMap[address] = static_cast<uint64_t>(when);
}

std::size_t QueryManager::clientCount()
{
    boost::lock_guard<boost::recursive_mutex> guard(m_lock);
    return m_ClientMap.size();
}

boost::shared_ptr<QueryClient> QueryManager::findClient(int connectionID)
{
    boost::lock_guard<boost::recursive_mutex> guard(m_lock);
    const auto it = m_ClientMap.find(connectionID);
    return it == m_ClientMap.end() ? boost::shared_ptr<QueryClient>() : it->second;
}

bool QueryManager::markClosing(QueryClient& client)
{
    // Under the table's lock: maintenance erases a client as soon as it is closing, and one erased
    // between the flag and the count would keep its slot for good.
    boost::lock_guard<boost::recursive_mutex> guard(m_lock);
    if (client.m_closing.exchange(true))
        return false;
    // stopNetworking may have emptied the table (and the count) meanwhile.
    if (m_openClients > 0 && m_ClientMap.count(client.m_connectionID))
        --m_openClients;
    return true;
}

std::string QueryManager::errorText(unsigned error)
{
    const HostFunctions& host = hostTable();
    if (!host.getErrorText)
        return std::string();
    // Given back on both roads: a failing call may still have handed out memory.
    HostMemory<char> text;
    if (host.getErrorText(error, text.out()) != 0)
        return std::string();
    return text.get() ? std::string(text.get()) : std::string();
}

std::string QueryManager::errorLine(unsigned error, const std::string& extra)
{
    std::string line = startCommand("error");
    addParam(line, "id", static_cast<uint32_t>(error));
    addParam(line, "msg", errorText(error));
    if (!extra.empty())
        addParam(line, "extra_msg", extra);
    return finishLine(line);
}

void QueryManager::sendError(int connectionID, NetWorkingPollTCPSelect* poller, unsigned error,
                             const std::string& extra)
{
    poller->sendFinal(errorLine(error, extra), connectionID);
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
    const time_t current = now();
    unsigned refusal = 0;
    std::string extra;
    {
        boost::lock_guard<boost::recursive_mutex> guard(m_lock);
        const auto ban = m_BanMap.find(address);
        if (ban != m_BanMap.end()) {
            uint64_t wait = ban->second + static_cast<uint64_t>(kBanSeconds) - static_cast<uint64_t>(current);
            if (wait > static_cast<uint64_t>(kBanSeconds))
                wait = 1;
            refusal = kErrorAddressBanned;
            extra = "you may retry in " + uint64ToString(wait) + " seconds";
        } else if (m_openClients >= kMaxClients) {
            refusal = kErrorTooManyClients;
        } else {
            boost::shared_ptr<QueryClient> client(new QueryClient(address, connectionID, current));
            client->m_poller = poller;
            // No block of this connection can arrive before we return: its poller holds its lock
            // across this call and only then watches the new socket.
            m_ClientMap[connectionID] = client;
            ++m_openClients;
            handPseudoLine("dummy_connectionestablished", connectionID, peer);
            return true;
        }
    }
    sendError(connectionID, poller, refusal, extra);
    return false;
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
    std::unique_ptr<char[]> owned(buffer);
    const boost::shared_ptr<QueryClient> client = findClient(connectionID);
    if (!client || client->m_closing)
        return;
    if (m_shuttingDown) {
        sendErrorAndCloseConnection(connectionID, kErrorShuttingDown, std::string());
        return;
    }
    if (length <= 0)
        return;
    const std::string block(owned.get(), static_cast<std::size_t>(length));
    owned.reset();

    boost::lock_guard<boost::recursive_mutex> clientGuard(client->m_lock);
    if (client->m_closing)
        return;
    bool strayNul = false;
    const std::string data = client->m_filter.filter(block, strayNul);
    // A block with a NUL byte (other than that of a CR NUL line end) is no input at all.
    if (strayNul || data.empty())
        return;
    client->m_lastActivity = now();
    client->m_pending += data;
    const HandlingClient handling(client.get());

    std::string& pending = client->m_pending;
    std::size_t start = 0;
    bool tooLong = false;
    while (!client->m_closing) {
        const std::size_t end = pending.find('\n', start);
        if (end == std::string::npos)
            break;
        if (end - start > kMaxLineLength) {
            tooLong = true;
            break;
        }
        const std::string line = pending.substr(start, end - start);
        start = end + 1;
        deliverLine(*client, line, peer);
    }
    pending.erase(0, start);
    if (client->m_closing) {
        // After quit nothing more of this connection is handled.
        pending.clear();
        return;
    }
    if (tooLong || pending.size() > kMaxLineLength) {
        pending.clear();
        sendErrorAndRemoveConnection(connectionID, kErrorCommandRejected, std::string());
    }
}

void QueryManager::deliverLine(QueryClient& client, const std::string& line, const sockaddr_in& peer)
{
    if (line.empty())
        return;
    QueryLine* queryLine = new QueryLine;
    queryLine->m_line = line;
    queryLine->m_connectionID = client.m_connectionID;
    queryLine->m_peer = peer;
    m_parser->handleLine(queryLine);
}

namespace {

std::string withLineEnd(const std::string& line)
{
    std::string text;
    text.reserve(line.size() + 2);
    return text.append(line).append("\n\r", 2);
}

void logUnknownTarget(int connectionID)
{
    logMessage("packetSend called with an invalid socketID:" + std::to_string(connectionID), kLevelError, kChannel);
}

} // namespace

NetWorkingPollTCPSelect* QueryManager::pollerForPacket(int connectionID)
{
    // A reply to the line being handled goes to the client at hand: it stays in the table while its
    // lock is held.
    if (t_handledClient && t_handledClient->m_connectionID == connectionID)
        return t_handledClient->m_closing ? nullptr : t_handledClient->m_poller;
    const boost::shared_ptr<QueryClient> client = findClient(connectionID);
    if (!client) {
        logUnknownTarget(connectionID);
        return nullptr;
    }
    // Nothing goes after a connection's final line.
    return client->m_closing ? nullptr : client->m_poller;
}

void QueryManager::packetSend(QueryPacket* packet)
{
    std::unique_ptr<QueryPacket> owned(packet);
    if (NetWorkingPollTCPSelect* poller = pollerForPacket(packet->m_connectionID))
        poller->send(withLineEnd(packet->m_line), packet->m_connectionID, nullptr);
}

void QueryManager::packetSendToEach(const std::vector<int>& connectionIDs, const std::string& line)
{
    // Poller by poller, each share in id order: each takes its share under one lock and is woken at
    // most once.
    std::vector<std::pair<NetWorkingPollTCPSelect*, std::vector<int>>> shares;
    std::vector<int> unknown;
    std::vector<int> sorted(connectionIDs);
    std::sort(sorted.begin(), sorted.end());
    {
        boost::lock_guard<boost::recursive_mutex> guard(m_lock);
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
    const std::string text = withLineEnd(line);
    // Pollers with a backlog to write are woken when every connection has its line, so that none of
    // them takes a core from the fan-out meanwhile.
    const NetWorkingPollTCPSelect::WakeBatch batch;
    for (auto& share : shares)
        share.first->sendToEach(text, share.second);
}

void QueryManager::sendErrorAndCloseConnection(int connectionID, unsigned error, const std::string& extra)
{
    const std::string line = errorLine(error, extra);
    const boost::shared_ptr<QueryClient> client = findClient(connectionID);
    if (!client) {
        logMessage("sendErrorAndCloseConnection called with an invalid socketID:" + std::to_string(connectionID),
                   kLevelError, kChannel);
        return;
    }
    // Only the first end of a connection sends a final line.
    if (markClosing(*client))
        client->m_poller->sendFinal(line, connectionID);
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
    client->m_poller->sendFinal(errorLine(error, extra), connectionID);
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
    const time_t current = now();
    const uint64_t currentUnsigned = static_cast<uint64_t>(current);
    {
        boost::unique_lock<boost::recursive_mutex> guard(m_lock, boost::try_to_lock);
        if (guard.owns_lock()) {
            for (auto it = m_BanMap.begin(); it != m_BanMap.end();) {
                if (it->second + static_cast<uint64_t>(kBanSeconds) < currentUnsigned)
                    it = m_BanMap.erase(it);
                else
                    ++it;
            }
        }
    }

    std::vector<int> idle;
    {
        boost::unique_lock<boost::recursive_mutex> guard(m_lock, boost::try_to_lock);
        if (!guard.owns_lock())
            return;
        for (auto it = m_ClientMap.begin(); it != m_ClientMap.end();) {
            QueryClient& client = *it->second;
            // A client busy with its lines is looked at again next second (its lock comes before ours).
            boost::unique_lock<boost::recursive_mutex> clientGuard(client.m_lock, boost::try_to_lock);
            if (!clientGuard.owns_lock()) {
                ++it;
                continue;
            }
            if (client.m_closing && current >= client.m_lastActivity + 1) {
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

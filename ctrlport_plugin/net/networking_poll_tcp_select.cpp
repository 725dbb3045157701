#include "net/networking_poll_tcp_select.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <utility>
#include <vector>

namespace {

// Connection ids are process-wide, start at 1 and are never reused while the library is loaded.
boost::mutex g_ConnectionIDLock;
int g_ConnectionIDCounter = 0;

int nextConnectionID()
{
    boost::lock_guard<boost::mutex> guard(g_ConnectionIDLock);
    return ++g_ConnectionIDCounter;
}

const short kExceptionalEvents = POLLERR | POLLHUP | POLLNVAL;

bool wouldBlock(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK;
}

// Reads away what the peer sent and nobody will handle, so that closing the socket sends a normal
// end of stream after the bytes still in the system's send buffer rather than a reset.
void discardInput(int fd)
{
    char buffer[4096];
    for (int i = 0; i < 256; ++i) {
        const ssize_t got = ::recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (got > 0 || (got < 0 && errno == EINTR))
            continue;
        break;
    }
}

}  // namespace

NetWorkingPollTCPSelect::NetWorkingPollTCPSelect(NetWorking* owner)
    : m_Owner(owner),
      m_NetWorkingType(owner->type()),
      m_PollThread(nullptr),
      m_Stop(false),
      m_WakeFd(netutil::createWakeFd()),
      m_CloseAfterSendTimeout(10000)
{
    if (m_WakeFd < 0)
        m_Owner->log("wake-up descriptor throw: " + netutil::errorText(netutil::lastError()));
    try {
        m_PollThread = new boost::thread(
            ThreadSpawn<NetWorkingPollTCPSelect>(this, &NetWorkingPollTCPSelect::pollLoop));
    } catch (...) {
        netutil::closeSocket(m_WakeFd);
        throw;
    }
}

NetWorkingPollTCPSelect::~NetWorkingPollTCPSelect()
{
    stop();

    boost::lock_guard<boost::recursive_mutex> guard(m_Lock);
    netutil::freeSocketRecords(m_ActiveSocketMap, m_OldSockets);
    netutil::closeSocket(m_WakeFd);
}

void NetWorkingPollTCPSelect::stop()
{
    m_Stop = true;
    wake();
    if (!m_PollThread)
        return;
    try {
        m_PollThread->join();
    } catch (const std::exception& e) {
        m_Owner->log(std::string("boost thread: ") + e.what());
    }
    delete m_PollThread;
    m_PollThread = nullptr;
}

void NetWorkingPollTCPSelect::addSocket(NetWorkingSocketData* record)
{
    boost::lock_guard<boost::recursive_mutex> guard(m_Lock);
    const int connectionID = nextConnectionID();
    record->m_ConnectionID = connectionID;
    m_ActiveSocketMap[connectionID] = record;
    wake();
    if (record->m_Functions.onConnect)
        record->m_Functions.onConnect(connectionID, &record->m_PeerAddress, record->m_UserData, this);
}

int NetWorkingPollTCPSelect::getSocketCount()
{
    boost::lock_guard<boost::recursive_mutex> guard(m_Lock);
    return static_cast<int>(m_ActiveSocketMap.size());
}

int NetWorkingPollTCPSelect::send(char* buffer, int length, int connectionID, const sockaddr_in* address)
{
    (void)address;  // TCP sends to the connected peer
    std::unique_ptr<char[]> owned(buffer);
    if (!buffer || length <= 0)
        return 0;

    boost::lock_guard<boost::recursive_mutex> guard(m_Lock);
    NetWorkingSocketData* record = findSocket(connectionID);
    if (!record || record->m_CloseRequested)
        return 0;
    if (!record->m_TCPPacketSendingList.empty()) {
        // Goes out after the blocks before it.
        appendToQueue(record, owned.release(), length);
        return 0;
    }

    // The socket is non-blocking and only the poll thread closes it, under this lock, so the
    // descriptor is ours for the whole call and the block cannot interleave with another sender's.
    int sent = 0;
    while (sent < length) {
        const ssize_t result = ::send(record->m_Socket, buffer + sent, length - sent, MSG_NOSIGNAL);
        if (result > 0) {
            sent += static_cast<int>(result);
            continue;
        }
        const int error = netutil::lastError();
        if (result < 0 && error == EINTR)
            continue;
        if (result == 0 || wouldBlock(error))
            break;
        m_Owner->log("ERROR: while tcp send errorCode: " + std::to_string(error) + ", errorMsg: " +
                     netutil::errorText(error));
        requestClose(record);
        return 0;
    }
    if (sent == length)
        return 0;

    if (sent == 0) {
        appendToQueue(record, owned.release(), length);
    } else {
        char* rest = new char[length - sent];
        std::memcpy(rest, buffer + sent, length - sent);
        appendToQueue(record, rest, length - sent);
    }
    wake();  // the poll thread now has to watch for writability
    return 0;
}

int NetWorkingPollTCPSelect::send(const std::string& text, int connectionID, const sockaddr_in* address)
{
    if (text.empty())
        return 0;
    char* buffer = new char[text.size()];
    std::memcpy(buffer, text.data(), text.size());
    return send(buffer, static_cast<int>(text.size()), connectionID, address);
}

void NetWorkingPollTCPSelect::closeSocket(int connectionID, bool afterSend)
{
    boost::lock_guard<boost::recursive_mutex> guard(m_Lock);
    NetWorkingSocketData* record = findSocket(connectionID);
    if (!record)
        return;
    if (afterSend && !record->m_TCPPacketSendingList.empty()) {
        if (!record->closeAfterSend) {
            record->closeAfterSend = true;
            record->m_CloseDeadline = std::chrono::steady_clock::now() + m_CloseAfterSendTimeout;
        }
        wake();  // stop reading it
        return;
    }
    requestClose(record);
}

void NetWorkingPollTCPSelect::closeConnection(int connectionID)
{
    boost::lock_guard<boost::recursive_mutex> guard(m_Lock);
    NetWorkingSocketData* record = findSocket(connectionID);
    if (!record)
        return;
    record->disconnectNotified = true;
    closeSocket(connectionID, true);
}

void NetWorkingPollTCPSelect::setCloseAfterSendTimeout(std::chrono::milliseconds timeout)
{
    boost::lock_guard<boost::recursive_mutex> guard(m_Lock);
    m_CloseAfterSendTimeout = timeout;
}

void NetWorkingPollTCPSelect::pollLoop()
{
    netutil::runUntilStopped(
        m_Stop, "poll thread", [this] { pollPass(); }, [this](const std::string& text) { m_Owner->log(text); });
}

void NetWorkingPollTCPSelect::pollPass()
{
    processCloseRequests();

    std::vector<pollfd> fds;
    std::vector<NetWorkingSocketData*> records;
    fds.push_back(pollfd{m_WakeFd, POLLIN, 0});
    {
        boost::lock_guard<boost::recursive_mutex> guard(m_Lock);
        for (auto& entry : m_ActiveSocketMap) {
            NetWorkingSocketData* record = entry.second;
            short events = 0;
            if (!record->m_CloseRequested && !record->m_InputEnded)
                events |= POLLIN;
            if (!record->m_TCPPacketSendingList.empty())
                events |= POLLOUT;
            fds.push_back(pollfd{record->m_Socket, events, 0});
            records.push_back(record);
        }
    }

    // An empty poller waits here for its first connection (or the stop) instead of sleeping.
    const int result = ::poll(fds.data(), fds.size(), 100);
    if (result == 0)
        return;
    if (result < 0) {
        const int error = netutil::lastError();
        if (error != EINTR) {
            m_Owner->log("poll select throw: " + netutil::errorText(error));
            pollfd wakeOnly = {m_WakeFd, POLLIN, 0};
            ::poll(&wakeOnly, 1, 10);
        }
        return;
    }
    if (fds[0].revents)
        netutil::drainWakeFd(m_WakeFd);

    // Records stay allocated until removeOldSockets at the end of this pass, and only this thread
    // removes them, so the pointers below stay valid without the lock.
    std::vector<NetWorkingSocketData*> resendList;
    std::vector<std::pair<NetWorkingSocketData*, bool>> readList;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const short events = fds[i + 1].revents;
        const bool exceptional = (events & kExceptionalEvents) != 0;
        if ((events & POLLOUT) && !exceptional)
            resendList.push_back(records[i]);
        if ((events & POLLIN) || exceptional)
            readList.push_back(std::make_pair(records[i], exceptional));
    }

    for (NetWorkingSocketData* record : resendList)
        tcpResend(record);
    for (auto& entry : readList)
        readSocket(entry.first, entry.second);
    removeOldSockets();
}

void NetWorkingPollTCPSelect::processCloseRequests()
{
    std::vector<NetWorkingSocketData*> toRemove;
    {
        boost::lock_guard<boost::recursive_mutex> guard(m_Lock);
        const auto now = std::chrono::steady_clock::now();
        for (auto& entry : m_ActiveSocketMap) {
            NetWorkingSocketData* record = entry.second;
            if (record->m_CloseRequested) {
                toRemove.push_back(record);
            } else if (record->closeAfterSend) {
                if (record->m_TCPPacketSendingList.empty()) {
                    toRemove.push_back(record);
                } else if (now >= record->m_CloseDeadline) {
                    m_Owner->log("closing connection " + std::to_string(record->m_ConnectionID) +
                                 ": its send queue did not drain in time");
                    toRemove.push_back(record);
                }
            }
        }
    }
    for (NetWorkingSocketData* record : toRemove)
        removeSocket(record);
    if (!toRemove.empty())
        removeOldSockets();
}

void NetWorkingPollTCPSelect::readSocket(NetWorkingSocketData* record, bool exceptional)
{
    int fd;
    bool closing;
    {
        boost::lock_guard<boost::recursive_mutex> guard(m_Lock);
        if (record->m_Socket == kClosedSocket || record->m_CloseRequested)
            return;
        fd = record->m_Socket;
        closing = record->closeAfterSend;
        if (closing && record->m_InputEnded && !exceptional)
            return;
    }
    if (closing && exceptional) {
        // Reset or failed: the rest of the queue cannot go out any more.
        removeSocket(record);
        return;
    }

    std::unique_ptr<char[]> buffer(new char[kReceiveBlockSize]);
    ssize_t result;
    do {
        result = ::recv(fd, buffer.get(), kReceiveBlockSize, 0);
    } while (result < 0 && errno == EINTR);
    if (result < 0 && wouldBlock(netutil::lastError()))
        return;

    if (closing) {
        // A closing connection is no longer read: what it still sends is dropped, so that the final
        // close ends the stream normally instead of resetting it (which would discard the tail of
        // our queue). A peer that ended its side may still take the rest.
        if (result == 0) {
            boost::lock_guard<boost::recursive_mutex> guard(m_Lock);
            record->m_InputEnded = true;
            return;
        }
        if (result > 0)
            return;
        removeSocket(record);
        return;
    }

    if (result > 0) {
        if (record->m_Functions.onReceive)
            record->m_Functions.onReceive(buffer.release(), static_cast<int>(result), record->m_ConnectionID,
                                          &record->m_PeerAddress, record->m_UserData);
        return;
    }
    // 0: the peer closed its side; any other error ends the connection as well.
    removeSocket(record);
}

void NetWorkingPollTCPSelect::tcpResend(NetWorkingSocketData* record)
{
    bool remove = false;
    {
        boost::lock_guard<boost::recursive_mutex> guard(m_Lock);
        if (record->m_Socket == kClosedSocket || record->m_CloseRequested)
            return;
        std::deque<NetWorkingSocketData::Block>& queue = record->m_TCPPacketSendingList;
        while (!queue.empty()) {
            NetWorkingSocketData::Block& head = queue.front();
            ssize_t result;
            do {
                result = ::send(record->m_Socket, head.first, head.second, MSG_NOSIGNAL);
            } while (result < 0 && errno == EINTR);
            if (result == head.second) {
                delete[] head.first;
                record->m_QueuedBytes -= head.second;
                queue.pop_front();
                continue;
            }
            if (result >= 0 || wouldBlock(netutil::lastError())) {
                if (result > 0) {
                    // Keep exactly the bytes the socket did not take, still at the front.
                    const int rest = head.second - static_cast<int>(result);
                    char* copy = new char[rest];
                    std::memcpy(copy, head.first + result, rest);
                    delete[] head.first;
                    head = NetWorkingSocketData::Block(copy, rest);
                    record->m_QueuedBytes -= static_cast<std::size_t>(result);
                }
                break;
            }
            const int error = netutil::lastError();
            m_Owner->log("ERROR: while tcp_resend send errorCode: " + std::to_string(error) + ", errorMsg: " +
                         netutil::errorText(error));
            // Dropping the block would glue later lines onto a partly sent one: end the connection.
            remove = true;
            break;
        }
        if (queue.empty() && record->closeAfterSend)
            remove = true;
    }
    if (remove)
        removeSocket(record);
}

void NetWorkingPollTCPSelect::removeSocket(NetWorkingSocketData* socketData)
{
    void (*onDisconnect)(int, const sockaddr_in*, void*) = nullptr;
    int connectionID = 0;
    sockaddr_in peer;
    void* userData = nullptr;
    {
        boost::lock_guard<boost::recursive_mutex> guard(m_Lock);
        if (socketData->m_Socket == kClosedSocket) {
            NET_ASSERT(m_Owner, m_ActiveSocketMap.find(socketData->m_ConnectionID) == m_ActiveSocketMap.end());
            return;
        }
        discardInput(socketData->m_Socket);
        netutil::closeSocket(socketData->m_Socket);
        socketData->m_Socket = kClosedSocket;
        auto j = m_ActiveSocketMap.find(socketData->m_ConnectionID);
        NET_ASSERT(m_Owner, j != m_ActiveSocketMap.end());
        socketData->clearSendingList();
        socketData->m_RemovalTime = time(nullptr);
        if (j != m_ActiveSocketMap.end())
            m_ActiveSocketMap.erase(j);
        m_OldSockets.push_back(socketData);
        if (!socketData->disconnectNotified && socketData->m_Functions.onDisconnect) {
            socketData->disconnectNotified = true;
            onDisconnect = socketData->m_Functions.onDisconnect;
            connectionID = socketData->m_ConnectionID;
            peer = socketData->m_PeerAddress;
            userData = socketData->m_UserData;
        }
    }
    if (onDisconnect)
        onDisconnect(connectionID, &peer, userData);
}

void NetWorkingPollTCPSelect::removeOldSockets()
{
    boost::lock_guard<boost::recursive_mutex> guard(m_Lock);
    for (auto iter = m_OldSockets.begin(); iter != m_OldSockets.end(); iter = m_OldSockets.erase(iter)) {
        NET_ASSERT(m_Owner, (*iter)->m_TCPPacketSendingList.empty());
        delete *iter;
    }
}

void NetWorkingPollTCPSelect::requestClose(NetWorkingSocketData* record)
{
    // Whatever is still queued cannot go out any more.
    record->clearSendingList();
    record->m_CloseRequested = true;
    wake();
}

NetWorkingSocketData* NetWorkingPollTCPSelect::findSocket(int connectionID)
{
    auto it = m_ActiveSocketMap.find(connectionID);
    return it == m_ActiveSocketMap.end() ? nullptr : it->second;
}

bool NetWorkingPollTCPSelect::appendToQueue(NetWorkingSocketData* record, char* buffer, int length)
{
    if (record->m_QueuedBytes + static_cast<std::size_t>(length) > kMaxQueuedBytes) {
        delete[] buffer;
        m_Owner->log("closing connection " + std::to_string(record->m_ConnectionID) +
                     ": its send queue is full");
        requestClose(record);
        return false;
    }
    try {
        record->m_TCPPacketSendingList.push_back(NetWorkingSocketData::Block(buffer, length));
    } catch (...) {
        delete[] buffer;
        throw;
    }
    record->m_QueuedBytes += static_cast<std::size_t>(length);
    return true;
}

void NetWorkingPollTCPSelect::wake()
{
    netutil::signalWakeFd(m_WakeFd);
}

#include "net/networking_poll_tcp_select.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <utility>
#include <vector>

#include "net/id_order.h"

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

// The poller whose poll thread the calling thread is, if any.
thread_local const NetWorkingPollTCPSelect* t_PollThreadOf = nullptr;

// Most queued blocks offered to the socket in one write, and most writes for one connection in one
// go, so that a connection with a long queue does not hold up the others of its poller.
const int kBlocksPerWrite = 64;
const int kWritesInARow = 16;
// A command that produces more than this is written while it runs, so that mostly what the peer has
// not taken counts toward the queue limit.
const std::size_t kEagerWriteBytes = 64 * 1024;

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

thread_local NetWorkingPollTCPSelect::WakeBatch* NetWorkingPollTCPSelect::s_WakeBatch = nullptr;

NetWorkingPollTCPSelect::NetWorkingPollTCPSelect(NetWorking* owner)
    : m_Owner(owner),
      m_NetWorkingType(owner->type()),
      m_PollThread(nullptr),
      m_Stop(false),
      m_WakeFd(netutil::createWakeFd()),
      m_WakePending(false),
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
    signalWake();
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
    // Watch the new socket and write what onConnect queues; the poll thread needs this lock first.
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
    if (buffer && length > 0)
        submit(connectionID, buffer, length, std::move(owned));
    return 0;
}

int NetWorkingPollTCPSelect::send(const std::string& text, int connectionID, const sockaddr_in* address)
{
    (void)address;
    if (!text.empty())
        submit(connectionID, text.data(), static_cast<int>(text.size()), nullptr);
    return 0;
}

namespace {

// The bytes of a block as a buffer of the queue's own: the given one, or a copy.
char* queueBlock(const char* data, int length, std::unique_ptr<char[]>& owned)
{
    if (owned)
        return owned.release();
    char* copy = new char[length];
    std::memcpy(copy, data, static_cast<std::size_t>(length));
    return copy;
}

}  // namespace

void NetWorkingPollTCPSelect::submit(int connectionID, const char* data, int length, std::unique_ptr<char[]> owned)
{
    NetWorkingSocketData* writeNow = nullptr;
    {
        boost::lock_guard<boost::recursive_mutex> guard(m_Lock);
        NetWorkingSocketData* record = findSocket(connectionID);
        if (!takesBlocks(record))
            return;
        if (!onPollThread()) {
            submitFromOtherThread(record, data, length, owned);
            return;
        }
        if (!appendToQueue(record, queueBlock(data, length, owned), length))
            return;
        // The poll thread writes it when the handling of the current block or the pass ends; a long
        // reply is written whenever it has grown by kEagerWriteBytes, even while the socket was full.
        const std::size_t queued = record->m_QueuedBytes;
        if (queued / kEagerWriteBytes != (queued - static_cast<std::size_t>(length)) / kEagerWriteBytes) {
            record->m_WaitWritable = false;
            writeNow = record;
        }
    }
    if (writeNow)
        writeQueue(writeNow);
}

bool NetWorkingPollTCPSelect::takesBlocks(const NetWorkingSocketData* record)
{
    // A connection that is closing has had its last block.
    return record && !record->m_CloseRequested && !record->closeAfterSend;
}

void NetWorkingPollTCPSelect::submitFromOtherThread(NetWorkingSocketData* record, const char* data, int length,
                                                    std::unique_ptr<char[]>& owned)
{
    if (record->m_TCPPacketSendingList.empty())
        sendNow(record, data, length, owned);
    else if (appendToQueue(record, queueBlock(data, length, owned), length))
        wake();
}

void NetWorkingPollTCPSelect::sendToEach(const std::string& text, const std::vector<int>& sortedIDs)
{
    if (text.empty())
        return;
    if (onPollThread()) {
        for (const int connectionID : sortedIDs)
            submit(connectionID, text.data(), static_cast<int>(text.size()), nullptr);
        return;
    }
    // Declared before the lock, so that the poll thread is woken after it has been released.
    const WakeBatch batch;
    boost::lock_guard<boost::recursive_mutex> guard(m_Lock);
    netutil::forEachInIdOrder(
        m_ActiveSocketMap, sortedIDs,
        [&](const auto& entry) {
            if (!takesBlocks(entry.second))
                return;
            std::unique_ptr<char[]> none;
            submitFromOtherThread(entry.second, text.data(), static_cast<int>(text.size()), none);
        },
        [](int) {});
}

void NetWorkingPollTCPSelect::sendNow(NetWorkingSocketData* record, const char* data, int length,
                                      std::unique_ptr<char[]>& owned)
{
    // Under the lock, which keeps the poll thread from closing the descriptor or writing to it
    // meanwhile; the socket never blocks.
    ssize_t sent;
    do {
        sent = ::send(record->m_Socket, data, static_cast<std::size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    if (sent == length)
        return;
    const int error = netutil::lastError();
    if (sent < 0 && !wouldBlock(error)) {
        m_Owner->log("ERROR: while tcp send errorCode: " + std::to_string(error) + ", errorMsg: " +
                     netutil::errorText(error));
        requestClose(record);
        return;
    }
    // The rest waits in the queue until the socket is writable.
    if (appendToQueue(record, queueBlock(data, length, owned), length)) {
        if (sent > 0)
            consumeQueue(record, static_cast<std::size_t>(sent));
        record->m_WaitWritable = true;
        wake();
    }
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

void NetWorkingPollTCPSelect::sendFinal(const std::string& text, int connectionID)
{
    boost::lock_guard<boost::recursive_mutex> guard(m_Lock);
    send(text, connectionID, nullptr);
    closeConnection(connectionID);
}

void NetWorkingPollTCPSelect::setCloseAfterSendTimeout(std::chrono::milliseconds timeout)
{
    boost::lock_guard<boost::recursive_mutex> guard(m_Lock);
    m_CloseAfterSendTimeout = timeout;
}

void NetWorkingPollTCPSelect::pollLoop()
{
    t_PollThreadOf = this;
    netutil::runUntilStopped(
        m_Stop, "poll thread", [this] { pollPass(); }, [this](const std::string& text) { m_Owner->log(text); });
}

void NetWorkingPollTCPSelect::pollPass()
{
    processCloseRequests();
    flushQueues();

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
    if (fds[0].revents) {
        // In this order: a wake-up that comes after the drain is either seen here or signals again.
        // What was queued before this point is written in this pass or at the start of the next.
        netutil::drainWakeFd(m_WakeFd);
        m_WakePending = false;
    }

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

    for (NetWorkingSocketData* record : resendList) {
        {
            boost::lock_guard<boost::recursive_mutex> guard(m_Lock);
            record->m_WaitWritable = false;
        }
        tcpResend(record);
    }
    for (auto& entry : readList) {
        readSocket(entry.first, entry.second);
        // The lines the handlers of this block produced leave in one write.
        tcpResend(entry.first);
    }
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

void NetWorkingPollTCPSelect::flushQueues()
{
    std::vector<NetWorkingSocketData*> pending;
    {
        boost::lock_guard<boost::recursive_mutex> guard(m_Lock);
        for (auto& entry : m_ActiveSocketMap) {
            NetWorkingSocketData* record = entry.second;
            if (!record->m_TCPPacketSendingList.empty() && !record->m_WaitWritable)
                pending.push_back(record);
        }
    }
    for (NetWorkingSocketData* record : pending)
        tcpResend(record);
}

void NetWorkingPollTCPSelect::tcpResend(NetWorkingSocketData* record)
{
    writeQueue(record);
    bool remove;
    {
        boost::lock_guard<boost::recursive_mutex> guard(m_Lock);
        remove = record->closeAfterSend && record->m_TCPPacketSendingList.empty() &&
                 record->m_Socket != kClosedSocket;
    }
    if (remove)
        removeSocket(record);
}

void NetWorkingPollTCPSelect::writeQueue(NetWorkingSocketData* record)
{
    iovec blocks[kBlocksPerWrite];
    for (int write = 0; write < kWritesInARow; ++write) {
        int fd;
        int count = 0;
        std::size_t offered = 0;
        {
            boost::lock_guard<boost::recursive_mutex> guard(m_Lock);
            if (record->m_Socket == kClosedSocket || record->m_CloseRequested || record->m_WaitWritable)
                return;
            const std::deque<NetWorkingSocketData::Block>& queue = record->m_TCPPacketSendingList;
            if (queue.empty())
                return;
            std::size_t skip = record->m_HeadOffset;
            for (auto it = queue.begin(); it != queue.end() && count < kBlocksPerWrite; ++it, ++count) {
                blocks[count].iov_base = it->first + skip;
                blocks[count].iov_len = static_cast<std::size_t>(it->second) - skip;
                offered += blocks[count].iov_len;
                skip = 0;
            }
            fd = record->m_Socket;
        }

        // Without the lock: only this thread frees queued blocks and closes the descriptor, and other
        // threads only append.
        msghdr message{};
        message.msg_iov = blocks;
        message.msg_iovlen = static_cast<std::size_t>(count);
        ssize_t sent;
        do {
            sent = ::sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        } while (sent < 0 && errno == EINTR);
        const int error = netutil::lastError();

        boost::lock_guard<boost::recursive_mutex> guard(m_Lock);
        if (sent < 0 && !wouldBlock(error)) {
            m_Owner->log("ERROR: while tcp_resend send errorCode: " + std::to_string(error) + ", errorMsg: " +
                         netutil::errorText(error));
            // Dropping the block would glue later lines onto a partly sent one: end the connection.
            requestClose(record);
            return;
        }
        if (sent > 0)
            consumeQueue(record, static_cast<std::size_t>(sent));
        if (static_cast<std::size_t>(std::max<ssize_t>(sent, 0)) < offered) {
            // The rest waits until the socket is writable again.
            record->m_WaitWritable = true;
            return;
        }
    }
}

void NetWorkingPollTCPSelect::consumeQueue(NetWorkingSocketData* record, std::size_t sent)
{
    std::deque<NetWorkingSocketData::Block>& queue = record->m_TCPPacketSendingList;
    record->m_QueuedBytes -= sent;
    while (sent > 0 && !queue.empty()) {
        NetWorkingSocketData::Block& head = queue.front();
        const std::size_t rest = static_cast<std::size_t>(head.second) - record->m_HeadOffset;
        if (sent < rest) {
            record->m_HeadOffset += sent;
            return;
        }
        sent -= rest;
        delete[] head.first;
        queue.pop_front();
        record->m_HeadOffset = 0;
    }
}

bool NetWorkingPollTCPSelect::onPollThread() const
{
    return t_PollThreadOf == this;
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
    // Whatever is still queued cannot go out any more; the poll thread frees it with the record.
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
    // The poll thread looks at every queue and close request before it waits again.
    if (onPollThread())
        return;
    if (s_WakeBatch) {
        std::vector<NetWorkingPollTCPSelect*>& pollers = s_WakeBatch->m_Pollers;
        if (std::find(pollers.begin(), pollers.end(), this) == pollers.end())
            pollers.push_back(this);
        return;
    }
    signalWake();
}

void NetWorkingPollTCPSelect::signalWake()
{
    if (!m_WakePending.exchange(true))
        netutil::signalWakeFd(m_WakeFd);
}

NetWorkingPollTCPSelect::WakeBatch::WakeBatch() : m_Outer(s_WakeBatch)
{
    s_WakeBatch = this;
}

NetWorkingPollTCPSelect::WakeBatch::~WakeBatch()
{
    s_WakeBatch = m_Outer;
    for (NetWorkingPollTCPSelect* poller : m_Pollers)
        poller->wake();
}

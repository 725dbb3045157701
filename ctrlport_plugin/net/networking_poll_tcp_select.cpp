#include "net/networking_poll_tcp_select.h"

#include <sched.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <exception>
#include <system_error>
#include <utility>

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

const int kEventsPerWait = 64;
const uint32_t kInput = EPOLLIN;
const uint32_t kOutput = EPOLLOUT;
// Most chunks offered to the socket in one write, and most writes for one connection in one go, so
// that a connection with a long queue does not hold up the others of its poller.
const int kBlocksPerWrite = 64;
const int kWritesInARow = 16;
const std::chrono::seconds kStallCheckInterval(1);

bool wouldBlock(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK;
}

// One write of the gathered blocks; what sendmsg returned, and its error.
ssize_t sendBlocks(int fd, iovec* blocks, int count, int& error)
{
    msghdr message{};
    message.msg_iov = blocks;
    message.msg_iovlen = static_cast<std::size_t>(count);
    ssize_t sent;
    do {
        sent = ::sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    error = sent < 0 ? errno : 0;
    return sent;
}

std::size_t totalLength(const iovec* blocks, int count)
{
    std::size_t length = 0;
    for (int i = 0; i < count; ++i)
        length += blocks[i].iov_len;
    return length;
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

// Holds the poller's lock; on leaving it releases the lock and wakes the poll thread when it sleeps
// and something has been put on its lists meanwhile.
class NetWorkingPollTCPSelect::Locked
{
public:
    explicit Locked(NetWorkingPollTCPSelect& poller) : m_Poller(poller), m_Guard(poller.m_Lock) {}
    ~Locked()
    {
        const bool wake = m_Poller.wakeOwed();
        m_Guard.unlock();
        if (wake)
            netutil::signalWakeFd(m_Poller.m_WakeFd);
    }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    NetWorkingPollTCPSelect& m_Poller;
    std::unique_lock<std::mutex> m_Guard;
};

NetWorkingPollTCPSelect::NetWorkingPollTCPSelect(NetWorking* owner)
    : m_Owner(owner),
      m_NetWorkingType(owner->type()),
      m_PollThread(nullptr),
      m_Stop(false),
      m_EpollFd(::epoll_create1(EPOLL_CLOEXEC)),
      m_WakeFd(netutil::createWakeFd()),
      m_Sleeping(false),
      m_WakeSent(false),
      m_DrainStallTimeout(kDrainStallTimeout),
      m_NextStallCheck(),
      m_HadEvents(false),
      m_Serving(true)
{
    // The poll thread's lists never allocate while it works (see addSocket); these are bounded.
    m_Draining.reserve(NetWorking::kMaxDrainingPerPoller + 1);
    // Whole or not at all: a poll thread without its wake-up could not be stopped.
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.ptr = nullptr;  // the wake-up, not a connection
    const char* failed = nullptr;
    if (m_EpollFd < 0 || m_WakeFd < 0)
        failed = "poller descriptors";
    else if (::epoll_ctl(m_EpollFd, EPOLL_CTL_ADD, m_WakeFd, &wake) != 0)
        failed = "epoll_ctl";
    const int error = netutil::lastError();
    try {
        if (failed)
            throw std::system_error(error, std::generic_category(), failed);
        m_PollThread = new boost::thread(
            ThreadSpawn<NetWorkingPollTCPSelect>(this, &NetWorkingPollTCPSelect::pollLoop));
    } catch (...) {
        netutil::closeSocket(m_WakeFd);
        netutil::closeSocket(m_EpollFd);
        throw;
    }
}

NetWorkingPollTCPSelect::~NetWorkingPollTCPSelect()
{
    stop();

    std::lock_guard<std::mutex> guard(m_Lock);
    netutil::freeSocketRecords(m_ActiveSocketMap, m_OldSockets);
    netutil::closeSocket(m_WakeFd);
    netutil::closeSocket(m_EpollFd);
}

void NetWorkingPollTCPSelect::stop()
{
    m_Stop = true;
    netutil::signalWakeFd(m_WakeFd);
    if (!m_PollThread)
        return;
    try {
        m_PollThread->join();
    } catch (const std::exception& e) {
        m_Owner->logText([&] { return std::string("boost thread: ") + e.what(); });
    }
    delete m_PollThread;
    m_PollThread = nullptr;
}

void NetWorkingPollTCPSelect::addSocket(NetWorkingSocketData* record)
{
    int connectionID;
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        try {
            // Room on every list for every record, so that ending or closing a connection, on
            // whatever thread, never needs memory that may not be there.
            const std::size_t records = m_ActiveSocketMap.size() + m_OldSockets.size() + 1;
            m_NewSockets.reserve(records);
            m_PendingWrites.reserve(records);
            m_PendingEnds.reserve(records);
            m_OldSockets.reserve(records);
            connectionID = nextConnectionID();
            record->m_ConnectionID = connectionID;
            m_ActiveSocketMap[connectionID] = record;
        } catch (...) {
            netutil::closeSocket(record->m_Socket);
            delete record;
            throw;
        }
    }
    // The poll thread leaves the record alone until it is handed over (it may be sent to and ended
    // meanwhile, though), so nothing of it is read before onConnect has returned.
    try {
        if (record->m_Functions.onConnect)
            record->m_Functions.onConnect(connectionID, &record->m_PeerAddress, record->m_UserData, this);
    } catch (...) {
        handOver(record);
        throw;
    }
    handOver(record);
}

void NetWorkingPollTCPSelect::handOver(NetWorkingSocketData* record)
{
    Locked locked(*this);
    m_NewSockets.push_back(record);
}

int NetWorkingPollTCPSelect::getSocketCount()
{
    std::lock_guard<std::mutex> guard(m_Lock);
    return static_cast<int>(m_ActiveSocketMap.size());
}

int NetWorkingPollTCPSelect::send(char* buffer, int length, int connectionID, const sockaddr_in* address)
{
    (void)address;  // TCP sends to the connected peer
    const std::unique_ptr<char[]> owned(buffer);
    if (buffer && length > 0)
        submit(connectionID, buffer, static_cast<std::size_t>(length));
    return 0;
}

int NetWorkingPollTCPSelect::send(const std::string& text, int connectionID, const sockaddr_in* address)
{
    (void)address;
    submit(connectionID, text.data(), text.size());
    return 0;
}

void NetWorkingPollTCPSelect::submit(int connectionID, const char* data, std::size_t length)
{
    if (length == 0)
        return;
    bool overTotal = false;
    {
        Locked locked(*this);
        if (NetWorkingSocketData* record = findSocket(connectionID))
            append(record, data, length, overTotal);
    }
    if (overTotal)
        m_Owner->trimQueues();
}

void NetWorkingPollTCPSelect::queueToEach(const std::string& text, const std::vector<int>& sortedIDs)
{
    if (text.empty())
        return;
    bool overTotal = false;
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        netutil::forEachInIdOrder(
            m_ActiveSocketMap, sortedIDs,
            [&](const auto& entry) { append(entry.second, text.data(), text.size(), overTotal); },
            [](int) {});
    }
    if (overTotal)
        m_Owner->trimQueues();
}

void NetWorkingPollTCPSelect::queueToEach(const std::shared_ptr<const SharedBlock>& block,
                                          const std::vector<int>& sortedIDs)
{
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        netutil::forEachInIdOrder(
            m_ActiveSocketMap, sortedIDs, [&](const auto& entry) { append(entry.second, block); }, [](int) {});
    }
    // The block was counted when it was made.
    if (m_Owner->countQueued(0))
        m_Owner->trimQueues();
}

void NetWorkingPollTCPSelect::wakeUp()
{
    const Locked locked(*this);
}

void NetWorkingPollTCPSelect::append(NetWorkingSocketData* record, const char* data, std::size_t length,
                                     bool& overTotal)
{
    if (record->m_State != ConnectionState::Open || !admits(record, length))
        return;
    try {
        record->m_TCPPacketSendingList.append(data, length);
    } catch (...) {
        outOfMemory(record);
        return;
    }
    overTotal |= m_Owner->countQueued(length);
    queued(record);
}

void NetWorkingPollTCPSelect::append(NetWorkingSocketData* record, const std::shared_ptr<const SharedBlock>& block)
{
    // The block is not this connection's alone: it counts against the connection only once another
    // has sent it whole or let go of it (see admits).
    if (record->m_State != ConnectionState::Open || !admits(record, 0))
        return;
    try {
        record->m_TCPPacketSendingList.append(block);
    } catch (...) {
        outOfMemory(record);
        return;
    }
    queued(record);
}

bool NetWorkingPollTCPSelect::admits(NetWorkingSocketData* record, std::size_t ownBytes)
{
    const ReplyBuffer& queue = record->m_TCPPacketSendingList;
    // What counts against the queue is walked for only when the sum of all it holds passes the bound.
    if (queue.size() + ownBytes <= kMaxQueuedBytes || queue.heldBehind() + ownBytes <= kMaxQueuedBytes)
        return true;
    m_Owner->logText(
        [&] { return "closing connection " + std::to_string(record->m_ConnectionID) + ": its send queue is full"; });
    record->m_FinalText = &m_Owner->finalText(CloseReason::QueueFull);
    end(record, CloseMode::Now, true);
    return false;
}

void NetWorkingPollTCPSelect::outOfMemory(NetWorkingSocketData* record)
{
    // The queue is as it was; the connection whose bytes cannot be held is dropped.
    m_Owner->logText([&] { return "closing connection " + std::to_string(record->m_ConnectionID) + ": out of memory"; });
    end(record, CloseMode::Now, true);
}

void NetWorkingPollTCPSelect::queued(NetWorkingSocketData* record)
{
    // A socket that is full is written when it reports room again. While the poll thread sleeps it
    // has no byte of this connection in hand, and the sender writes at once instead of waking it.
    if (record->m_WatchingWritable)
        return;
    if (m_Sleeping && record->m_Registered)
        writeWhileAsleep(record);
    else
        schedule(record, &NetWorkingSocketData::m_WritePending, m_PendingWrites);
}

void NetWorkingPollTCPSelect::schedule(NetWorkingSocketData* record, bool NetWorkingSocketData::*pending,
                                       std::vector<NetWorkingSocketData*>& list)
{
    if (record->*pending)
        return;
    record->*pending = true;
    list.push_back(record);
}

void NetWorkingPollTCPSelect::closeConnection(int connectionID, CloseMode mode, const std::string& finalBlock)
{
    userClose(connectionID, mode, false, finalBlock);
}

void NetWorkingPollTCPSelect::closeSocket(int connectionID, bool afterSend)
{
    userClose(connectionID, afterSend ? CloseMode::AfterSend : CloseMode::Now, true, std::string());
}

void NetWorkingPollTCPSelect::userClose(int connectionID, CloseMode mode, bool report, const std::string& finalBlock)
{
    bool overTotal = false;
    {
        Locked locked(*this);
        NetWorkingSocketData* record = findSocket(connectionID);
        if (!record)
            return;
        // In one step with the close, so that no other thread's block comes after the final one.
        if (!finalBlock.empty())
            append(record, finalBlock.data(), finalBlock.size(), overTotal);
        end(record, mode, report);
    }
    if (overTotal)
        m_Owner->trimQueues();
}

std::size_t NetWorkingPollTCPSelect::largestQueue(int& connectionID, bool whole)
{
    std::lock_guard<std::mutex> guard(m_Lock);
    std::size_t largest = 0;
    for (const auto& entry : m_ActiveSocketMap) {
        const NetWorkingSocketData* record = entry.second;
        if (record->m_State == ConnectionState::Closed)
            continue;
        const ReplyBuffer& queue = record->m_TCPPacketSendingList;
        const std::size_t size = whole ? queue.size() : queue.heldBehind();
        if (size > largest) {
            largest = size;
            connectionID = entry.first;
        }
    }
    return largest;
}

void NetWorkingPollTCPSelect::dropQueue(int connectionID, const std::string& reason)
{
    Locked locked(*this);
    NetWorkingSocketData* record = findSocket(connectionID);
    if (!record || record->m_State == ConnectionState::Closed)
        return;
    m_Owner->logText([&] { return reason; });
    record->m_FinalText = &m_Owner->finalText(CloseReason::AllQueuesFull);
    end(record, CloseMode::Now, true);
}

void NetWorkingPollTCPSelect::setDrainStallTimeout(std::chrono::milliseconds timeout)
{
    std::lock_guard<std::mutex> guard(m_Lock);
    m_DrainStallTimeout = timeout;
}

void NetWorkingPollTCPSelect::end(NetWorkingSocketData* record, CloseMode mode, bool report)
{
    const ConnectionState from = record->m_State;
    if (from == ConnectionState::Closed || (from == ConnectionState::Draining && mode == CloseMode::AfterSend))
        return;
    if (from == ConnectionState::Open && !report)
        record->disconnectNotified = true;
    setState(record, mode == CloseMode::Now ? ConnectionState::Closed : ConnectionState::Draining);
    if (mode == CloseMode::AfterSend && m_Draining.size() > NetWorking::kMaxDrainingPerPoller) {
        NetWorkingSocketData* oldest = m_Draining.front();
        m_Owner->logText([&] {
            return "closing connection " + std::to_string(oldest->m_ConnectionID) + ": too many connections are closing";
        });
        end(oldest, CloseMode::Now, true);
    }
    schedule(record, &NetWorkingSocketData::m_EndPending, m_PendingEnds);
}

void NetWorkingPollTCPSelect::setState(NetWorkingSocketData* record, ConnectionState to)
{
    if (record->m_State == ConnectionState::Draining)
        forgetDraining(record);
    record->m_State = to;
    if (to == ConnectionState::Closed) {
        // Its own queued bytes no longer count; the poll thread drops them with the socket, and lets
        // go of its shared blocks then.
        m_Owner->uncountQueued(record->m_TCPPacketSendingList.ownSize());
    } else if (to == ConnectionState::Draining) {
        record->m_LastProgress = std::chrono::steady_clock::now();
        m_Draining.push_back(record);
    }
}

void NetWorkingPollTCPSelect::forgetDraining(NetWorkingSocketData* record)
{
    const auto it = std::find(m_Draining.begin(), m_Draining.end(), record);
    if (it != m_Draining.end())
        m_Draining.erase(it);
}

bool NetWorkingPollTCPSelect::wakeOwed()
{
    if (!m_Sleeping || m_WakeSent)
        return false;
    if (m_NewSockets.empty() && m_PendingWrites.empty() && m_PendingEnds.empty())
        return false;
    m_WakeSent = true;
    return true;
}

NetWorkingSocketData* NetWorkingPollTCPSelect::findSocket(int connectionID)
{
    auto it = m_ActiveSocketMap.find(connectionID);
    return it == m_ActiveSocketMap.end() ? nullptr : it->second;
}

// --- The poll thread ---------------------------------------------------------------------------

void NetWorkingPollTCPSelect::pollLoop()
{
    // A yield (see pollPass) puts the thread back by one of its turns: behind busy threads of the
    // client, a turn of the scheduler's default length (some milliseconds) would keep the poller's
    // connections waiting that long.
    netutil::askForShortTimeSlice();
    // Should the thread end before its stop, the accept thread hands it no more connections.
    struct Ending
    {
        std::atomic<bool>& serving;
        ~Ending() { serving = false; }
    } ending{m_Serving};
    netutil::runUntilStopped(
        m_Stop, "poll thread", [this] { pollPass(); }, [this](const std::string& text) { m_Owner->log(text); });
}

template <class Work>
void NetWorkingPollTCPSelect::guarded(NetWorkingSocketData* record, Work work)
{
    try {
        work();
    } catch (...) {
        // Memory ran out (or a callback failed): the connection whose work it was is dropped, and
        // the thread goes on with the others.
        std::lock_guard<std::mutex> guard(m_Lock);
        m_Owner->logText([&] { return "closing connection " + std::to_string(record->m_ConnectionID) + ": its work failed"; });
        end(record, CloseMode::Now, true);
    }
}

void NetWorkingPollTCPSelect::pollPass()
{
    workThroughLists();
    epoll_event events[kEventsPerWait];
    // After a pass with events the next ones are often there already: look before going to sleep.
    int count = m_HadEvents ? eventsAtHand(events, kEventsPerWait) : 0;
    const bool withoutSleeping = count > 0;
    if (!withoutSleeping)
        count = waitForEvents(events, kEventsPerWait);
    // Records stay allocated until freeClosedRecords at the end of the pass, and only this thread
    // frees them, so the pointers in the events stay valid.
    for (int i = 0; i < count; ++i) {
        if (!events[i].data.ptr) {
            netutil::drainWakeFd(m_WakeFd);
            continue;
        }
        NetWorkingSocketData* record = static_cast<NetWorkingSocketData*>(events[i].data.ptr);
        guarded(record, [&] { handleEvent(record, events[i].events); });
        // What the event's handlers ended or queued elsewhere is not kept waiting for the others.
        workThroughLists();
    }
    closeStalledDrains();
    freeClosedRecords();
    m_HadEvents = count > 0;
    // On a busy machine the poll threads that carry connections share their cores with other threads
    // (see NetWorking::pollers). One that never runs out of events would keep its core until the
    // scheduler's next tick (4 ms at 250 Hz) while the threads waiting for that core, a poller and
    // all its connections among them, get nothing; so one that found its events without sleeping
    // lets them go first (with none waiting, the yield switches nothing). One that slept for its
    // events has just had its turn.
    if (withoutSleeping)
        sched_yield();
}

int NetWorkingPollTCPSelect::eventsAtHand(epoll_event* events, int capacity)
{
    const int count = ::epoll_wait(m_EpollFd, events, capacity, 0);
    return count > 0 ? count : 0;
}

void NetWorkingPollTCPSelect::workThroughLists()
{
    {
        // Copied rather than swapped, so that the lists keep the room reserved for them; when the
        // copy cannot be made, the lists stay as they are for the next pass.
        std::lock_guard<std::mutex> guard(m_Lock);
        m_TakenSockets.assign(m_NewSockets.begin(), m_NewSockets.end());
        m_TakenEnds.assign(m_PendingEnds.begin(), m_PendingEnds.end());
        m_TakenWrites.assign(m_PendingWrites.begin(), m_PendingWrites.end());
        m_NewSockets.clear();
        m_PendingEnds.clear();
        m_PendingWrites.clear();
        for (NetWorkingSocketData* record : m_TakenEnds)
            record->m_EndPending = false;
        for (NetWorkingSocketData* record : m_TakenWrites)
            record->m_WritePending = false;
    }
    // A record not yet handed over (see addSocket) is dealt with when it is.
    for (NetWorkingSocketData* record : m_TakenSockets)
        guarded(record, [&] { watchNewSocket(record); });
    for (NetWorkingSocketData* record : m_TakenEnds) {
        if (record->m_Registered)
            guarded(record, [&] { settle(record); });
    }
    for (NetWorkingSocketData* record : m_TakenWrites) {
        if (record->m_Registered)
            guarded(record, [&] { flush(record); });
    }
    m_TakenSockets.clear();
    m_TakenEnds.clear();
    m_TakenWrites.clear();
}

int NetWorkingPollTCPSelect::waitForEvents(epoll_event* events, int capacity)
{
    int timeout;
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        if (!m_NewSockets.empty() || !m_PendingWrites.empty() || !m_PendingEnds.empty())
            return 0;
        m_Sleeping = true;
        m_WakeSent = false;
        // Draining connections are looked at once a second for a peer that takes nothing.
        timeout = m_Draining.empty() ? -1 : static_cast<int>(std::chrono::milliseconds(kStallCheckInterval).count());
    }
    if (m_Stop)
        return 0;
    int count = ::epoll_wait(m_EpollFd, events, capacity, timeout);
    const int error = netutil::lastError();
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        m_Sleeping = false;
    }
    if (count < 0) {
        count = 0;
        if (error != EINTR) {
            m_Owner->logText([&] { return "poll select throw: " + netutil::errorText(error); });
            // Do not spin on a failing epoll set.
            ::usleep(10000);
        }
    }
    return count;
}

void NetWorkingPollTCPSelect::watchNewSocket(NetWorkingSocketData* record)
{
    epoll_event event{};
    event.data.ptr = record;
    bool ended;
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        record->m_Registered = true;
        event.events = record->m_State == ConnectionState::Open ? kInput : 0u;
        if (::epoll_ctl(m_EpollFd, EPOLL_CTL_ADD, record->m_Socket, &event) != 0) {
            const int error = netutil::lastError();
            m_Owner->logText([&] { return "epoll_ctl throw: " + netutil::errorText(error); });
            end(record, CloseMode::Now, true);
        }
        ended = record->m_State != ConnectionState::Open;
    }
    // What happened to it before it was handed over.
    if (ended)
        settle(record);
    flush(record);
}

void NetWorkingPollTCPSelect::handleEvent(NetWorkingSocketData* record, unsigned events)
{
    const bool failed = (events & (EPOLLERR | EPOLLHUP)) != 0;
    if (events & EPOLLOUT)
        flush(record);
    if ((events & EPOLLIN) || failed)
        readSocket(record, failed);
}

void NetWorkingPollTCPSelect::readSocket(NetWorkingSocketData* record, bool failed)
{
    int fd;
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        if (record->m_State != ConnectionState::Open) {
            // A draining connection is no longer read; its peer has gone when its socket failed.
            if (failed)
                end(record, CloseMode::Now, true);
            return;
        }
        fd = record->m_Socket;
    }

    netutil::allocationPoint();
    std::unique_ptr<char[]> buffer(new char[kReceiveBlockSize]);
    ssize_t result;
    do {
        result = ::recv(fd, buffer.get(), kReceiveBlockSize, 0);
    } while (result < 0 && errno == EINTR);
    if (result < 0 && wouldBlock(netutil::lastError()))
        return;
    if (result > 0) {
        if (record->m_Functions.onReceive)
            record->m_Functions.onReceive(buffer.release(), static_cast<int>(result), record->m_ConnectionID,
                                          &record->m_PeerAddress, record->m_UserData);
        // The lines the handlers of this block produced leave in one write.
        flush(record);
        return;
    }
    // 0: the peer has ended its side; what is queued still goes out. An error ends the connection.
    std::lock_guard<std::mutex> guard(m_Lock);
    end(record, result == 0 ? CloseMode::AfterSend : CloseMode::Now, true);
}

void NetWorkingPollTCPSelect::flush(NetWorkingSocketData* record)
{
    iovec blocks[kBlocksPerWrite];
    bool full = false;
    for (int write = 0; write < kWritesInARow && !full; ++write) {
        int fd;
        int count;
        {
            std::lock_guard<std::mutex> guard(m_Lock);
            count = 0;
            if (record->m_State != ConnectionState::Closed)
                count = record->m_TCPPacketSendingList.gather(blocks, kBlocksPerWrite);
            if (count == 0) {
                flushed(record);
                return;
            }
            fd = record->m_Socket;
        }
        // Without the lock: see ReplyBuffer.
        int error = 0;
        const ssize_t sent = sendBlocks(fd, blocks, count, error);
        std::lock_guard<std::mutex> guard(m_Lock);
        if (record->m_State == ConnectionState::Closed)
            return;  // dropped meanwhile
        full = !wrote(record, sent, error, totalLength(blocks, count));
        // Everything is out (the common case): no third look under the lock.
        if (!full && record->m_TCPPacketSendingList.empty()) {
            flushed(record);
            return;
        }
    }
    std::lock_guard<std::mutex> guard(m_Lock);
    flushed(record);
}

void NetWorkingPollTCPSelect::flushed(NetWorkingSocketData* record)
{
    if (record->m_State == ConnectionState::Closed)
        return;
    const bool left = !record->m_TCPPacketSendingList.empty();
    if (!left && record->m_State == ConnectionState::Draining)
        closeDescriptor(record);
    else if (left != record->m_WatchingWritable)
        watch(record, left);
}

void NetWorkingPollTCPSelect::writeWhileAsleep(NetWorkingSocketData* record)
{
    iovec blocks[kBlocksPerWrite];
    const int count = record->m_TCPPacketSendingList.gather(blocks, kBlocksPerWrite);
    int error = 0;
    const ssize_t sent = sendBlocks(record->m_Socket, blocks, count, error);
    wrote(record, sent, error, totalLength(blocks, count));
    // The rest is the poll thread's: it watches the socket for room (it alone changes its epoll set).
    if (record->m_State == ConnectionState::Open && !record->m_TCPPacketSendingList.empty())
        schedule(record, &NetWorkingSocketData::m_WritePending, m_PendingWrites);
}

bool NetWorkingPollTCPSelect::wrote(NetWorkingSocketData* record, ssize_t sent, int error, std::size_t offered)
{
    if (sent < 0 && !wouldBlock(error)) {
        m_Owner->logText([&] {
            return "ERROR: while tcp_resend send errorCode: " + std::to_string(error) + ", errorMsg: " +
                   netutil::errorText(error);
        });
        // Dropping the block would glue later lines onto a partly sent one: end the connection.
        end(record, CloseMode::Now, true);
        return false;
    }
    if (sent <= 0)
        return false;
    m_Owner->uncountQueued(record->m_TCPPacketSendingList.consume(static_cast<std::size_t>(sent)));
    if (record->m_State == ConnectionState::Draining)
        record->m_LastProgress = std::chrono::steady_clock::now();
    return static_cast<std::size_t>(sent) == offered;
}

void NetWorkingPollTCPSelect::settle(NetWorkingSocketData* record)
{
    bool report;
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        // A draining connection that emptied its queue may be closed already.
        if (record->m_Socket != kClosedSocket) {
            if (record->m_State == ConnectionState::Closed || record->m_TCPPacketSendingList.empty())
                closeDescriptor(record);
            else
                watch(record, record->m_WatchingWritable);  // no longer for input
        }
        report = !record->disconnectNotified;
        record->disconnectNotified = true;
    }
    if (report && record->m_Functions.onDisconnect)
        record->m_Functions.onDisconnect(record->m_ConnectionID, &record->m_PeerAddress, record->m_UserData);
}

void NetWorkingPollTCPSelect::watch(NetWorkingSocketData* record, bool writable)
{
    epoll_event event{};
    event.data.ptr = record;
    event.events = (record->m_State == ConnectionState::Open ? kInput : 0u) | (writable ? kOutput : 0u);
    if (::epoll_ctl(m_EpollFd, EPOLL_CTL_MOD, record->m_Socket, &event) != 0) {
        const int error = netutil::lastError();
        m_Owner->logText([&] { return "epoll_ctl throw: " + netutil::errorText(error); });
        end(record, CloseMode::Now, true);
        return;
    }
    record->m_WatchingWritable = writable;
}

void NetWorkingPollTCPSelect::closeDescriptor(NetWorkingSocketData* record)
{
    if (record->m_State != ConnectionState::Closed)
        setState(record, ConnectionState::Closed);
    // Closing the descriptor also takes it out of the epoll set.
    discardInput(record->m_Socket);
    if (record->m_FinalText && !record->m_FinalText->empty()) {
        // Why the connection ends, after what its socket took already, if it takes that much more.
        int error = 0;
        iovec text{const_cast<char*>(record->m_FinalText->data()), record->m_FinalText->size()};
        sendBlocks(record->m_Socket, &text, 1, error);
    }
    netutil::closeSocket(record->m_Socket);
    record->m_Socket = kClosedSocket;
    record->m_TCPPacketSendingList.clear();
    const auto it = m_ActiveSocketMap.find(record->m_ConnectionID);
    NET_ASSERT(m_Owner, it != m_ActiveSocketMap.end());
    if (it != m_ActiveSocketMap.end())
        m_ActiveSocketMap.erase(it);
    m_OldSockets.push_back(record);
}

void NetWorkingPollTCPSelect::closeStalledDrains()
{
    const auto now = std::chrono::steady_clock::now();
    if (now < m_NextStallCheck)
        return;
    m_NextStallCheck = now + kStallCheckInterval;
    std::lock_guard<std::mutex> guard(m_Lock);
    const std::vector<NetWorkingSocketData*> draining = m_Draining;
    for (NetWorkingSocketData* record : draining) {
        if (now - record->m_LastProgress >= m_DrainStallTimeout) {
            m_Owner->logText([&] {
                return "closing connection " + std::to_string(record->m_ConnectionID) +
                       ": its peer took nothing for a while";
            });
            end(record, CloseMode::Now, true);
        }
    }
}

void NetWorkingPollTCPSelect::freeClosedRecords()
{
    std::lock_guard<std::mutex> guard(m_Lock);
    const auto kept = std::remove_if(m_OldSockets.begin(), m_OldSockets.end(), [](NetWorkingSocketData* record) {
        // Still on a list: freed in a later pass.
        if (record->m_WritePending || record->m_EndPending)
            return false;
        delete record;
        return true;
    });
    m_OldSockets.erase(kept, m_OldSockets.end());
}

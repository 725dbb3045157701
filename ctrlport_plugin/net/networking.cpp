#include "net/networking.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <system_error>
#include <utility>

#include "net/networking_poll_tcp_select.h"

namespace netutil {

void closeSocket(int fd)
{
    if (fd >= 0)
        ::close(fd);
}

int lastError()
{
    return errno;
}

std::string errorText(int error)
{
    char buffer[256];
    // The GNU strerror_r returns the text, which may or may not live in the buffer.
    return std::string(strerror_r(error, buffer, sizeof(buffer)));
}

int createWakeFd()
{
    return ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

void signalWakeFd(int fd)
{
    if (fd < 0)
        return;
    const uint64_t one = 1;
    ssize_t written;
    do {
        written = ::write(fd, &one, sizeof(one));
    } while (written < 0 && errno == EINTR);
    // EAGAIN means the counter is already non-zero: the thread wakes anyway.
}

void drainWakeFd(int fd)
{
    if (fd < 0)
        return;
    uint64_t value;
    ssize_t got;
    do {
        got = ::read(fd, &value, sizeof(value));
    } while (got < 0 && errno == EINTR);
}

namespace {

// The system's struct sched_attr in its first form, which every kernel since 3.14 takes (the C library
// declares neither it nor the two calls before version 2.41).
struct SchedulingAttributes
{
    uint32_t size;
    uint32_t sched_policy;
    uint64_t sched_flags;
    int32_t sched_nice;
    uint32_t sched_priority;
    uint64_t sched_runtime;
    uint64_t sched_deadline;
    uint64_t sched_period;
};

}  // namespace

int usableCores()
{
    cpu_set_t cores;
    CPU_ZERO(&cores);
    if (::sched_getaffinity(0, sizeof(cores), &cores) != 0)
        return CPU_SETSIZE;
    return std::max(1, CPU_COUNT(&cores));
}

void askForShortTimeSlice()
{
    SchedulingAttributes attr{};
    if (::syscall(SYS_sched_getattr, 0, &attr, sizeof(attr), 0) != 0 || attr.sched_policy != SCHED_OTHER)
        return;
    attr.size = sizeof(attr);
    attr.sched_flags = 0;
    attr.sched_runtime = 100 * 1000;  // nanoseconds
    ::syscall(SYS_sched_setattr, 0, &attr, 0);
}

namespace {
std::atomic<int> g_allocationFaults{0};
}  // namespace

void failAllocations(int count)
{
    g_allocationFaults = count;
}

void allocationPoint()
{
    int left = g_allocationFaults.load();
    while (left > 0) {
        if (g_allocationFaults.compare_exchange_weak(left, left - 1))
            throw std::bad_alloc();
    }
}

void pauseAfterFailure()
{
    ::usleep(10000);
}

std::string assertionText(const char* expression, const char* file, int line)
{
    // Report the path from the plug-in's folder on, whatever the build folder was.
    std::string path(file);
    const std::string root = "ctrlport_plugin/";
    const std::string::size_type at = path.rfind(root);
    if (at != std::string::npos)
        path = path.substr(at);
    return "Assertion \"" + std::string(expression) + "\" failed at " + path + ":" + std::to_string(line) + "; ";
}

std::unique_ptr<NetWorkingSocketData> newSocketRecord(int fd)
{
    try {
        return std::unique_ptr<NetWorkingSocketData>(new NetWorkingSocketData);
    } catch (...) {
        closeSocket(fd);
        throw;
    }
}

}  // namespace netutil

NetWorkingSocketData::NetWorkingSocketData()
    : m_Socket(kClosedSocket),
      m_LocalAddress(),
      m_PeerAddress(),
      m_Functions(),
      m_UserData(nullptr),
      m_ConnectionID(0),
      m_State(ConnectionState::Open),
      disconnectNotified(false),
      m_Registered(false),
      m_WatchingWritable(false),
      m_WritePending(false),
      m_EndPending(false),
      m_LastProgress(),
      m_FinalText(nullptr)
{
}

NetWorking::NetWorking(const NetWorkingFunctions* functions, NetWorkingType type, int userConnections)
    : m_NetWorkingFunctions(functions ? *functions : NetWorkingFunctions()),
      m_NetWorkingType(type),
      m_MaxConnections(userConnections + kPollerCount * static_cast<int>(kMaxDrainingPerPoller)),
      m_AcceptThread(nullptr),
      m_Stop(false),
      m_WakeFd(netutil::createWakeFd()),
      m_QueuedBytes(0)
{
    NET_ASSERT(this, m_NetWorkingType == NETWORKING_TCP);
    if (m_WakeFd < 0)
        throw std::system_error(netutil::lastError(), std::generic_category(), "wake-up descriptor");
    try {
        m_AcceptThread = new boost::thread(ThreadSpawn<NetWorking>(this, &NetWorking::acceptLoop));
        for (int i = 0; i < kPollerCount; ++i) {
            NetWorkingPollTCPSelect* poller = new NetWorkingPollTCPSelect(this);
            std::lock_guard<std::mutex> guard(m_Lock);
            m_Pollers.push_back(poller);
        }
    } catch (...) {
        shutdown();
        throw;
    }
}

NetWorking::~NetWorking()
{
    shutdown();
}

void NetWorking::shutdown()
{
    m_Stop = true;
    netutil::signalWakeFd(m_WakeFd);
    if (m_AcceptThread) {
        try {
            m_AcceptThread->join();
        } catch (const std::exception& e) {
            log(std::string("boost thread: ") + e.what());
        }
        delete m_AcceptThread;
        m_AcceptThread = nullptr;
    }

    // The accept thread has ended, so nothing else touches the lists any more.
    std::vector<NetWorkingPollTCPSelect*> pollers;
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        pollers.swap(m_Pollers);
    }
    for (NetWorkingPollTCPSelect* poller : pollers)
        poller->stop();
    for (NetWorkingPollTCPSelect* poller : pollers)
        delete poller;

    std::lock_guard<std::mutex> guard(m_Lock);
    netutil::freeSocketRecords(m_ListenerMap, m_ClosedListeners);
    netutil::closeSocket(m_WakeFd);
    m_WakeFd = -1;
}

int NetWorking::listen(const NetWorkingSocketFunctions* callbacks, void* userData, const std::string& ip,
                       unsigned short port, bool probeOnly)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        log("socket throw: " + netutil::errorText(netutil::lastError()));
        return -1;
    }

    sockaddr_in address;
    std::memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr(ip.c_str());
    address.sin_port = htons(port);
    if (address.sin_addr.s_addr == INADDR_NONE) {
        log("bind convert throw: " + netutil::errorText(EINVAL));
        netutil::closeSocket(fd);
        return -1;
    }

    setSocketReUseAddr(fd);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        log("bind throw: " + netutil::errorText(netutil::lastError()));
        netutil::closeSocket(fd);
        return -1;
    }
    setSocketReceiveBuffer(fd, kSocketReceiveBufferSize);
    if (::listen(fd, 128) != 0) {
        log("listen throw: " + netutil::errorText(netutil::lastError()));
        netutil::closeSocket(fd);
        return -1;
    }
    if (probeOnly) {
        netutil::closeSocket(fd);
        return 1;
    }

    std::unique_ptr<NetWorkingSocketData> record = netutil::newSocketRecord(fd);
    record->m_Socket = fd;
    // With port 0 the system picks the port; keep the address actually bound.
    socklen_t length = sizeof(record->m_LocalAddress);
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&record->m_LocalAddress), &length) != 0)
        record->m_LocalAddress = address;
    if (callbacks)
        record->m_Functions = *callbacks;
    record->m_UserData = userData;
    record->m_ConnectionID = fd;

    {
        std::lock_guard<std::mutex> guard(m_Lock);
        NetWorkingSocketData*& slot = m_ListenerMap[fd];
        if (slot)
            m_ClosedListeners.push_back(slot);
        slot = record.release();
    }
    netutil::signalWakeFd(m_WakeFd);
    return fd;
}

bool NetWorking::setSocketReUseAddr(int fd)
{
    const int on = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0) {
        log("setSocketReUseAddr throw: " + netutil::errorText(netutil::lastError()));
        return false;
    }
    return true;
}

bool NetWorking::setSocketReceiveBuffer(int fd, int size)
{
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size)) != 0) {
        log("setSocketReceiveBuffer throw: " + netutil::errorText(netutil::lastError()));
        return false;
    }
    return true;
}

void NetWorking::log(const std::string& message) const
{
    if (!m_NetWorkingFunctions.onLog)
        return;
    try {
        m_NetWorkingFunctions.onLog(message);
    } catch (...) {
        // A failing log must not take a socket thread down.
    }
}

std::vector<NetWorkingPollTCPSelect*> NetWorking::pollers() const
{
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Pollers;
}

void NetWorking::acceptLoop()
{
    netutil::runUntilStopped(
        m_Stop, "accept thread", [this] { acceptPass(); }, [this](const std::string& text) { log(text); });
}

static void waitForWake(int wakeFd, int milliseconds)
{
    pollfd wake = {wakeFd, POLLIN, 0};
    if (::poll(&wake, 1, milliseconds) > 0)
        netutil::drainWakeFd(wakeFd);
}

void NetWorking::acceptPass()
{
    std::vector<pollfd> fds;
    std::vector<NetWorkingSocketData*> listeners;
    fds.push_back(pollfd{m_WakeFd, POLLIN, 0});
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        for (auto& entry : m_ListenerMap) {
            fds.push_back(pollfd{entry.first, POLLIN, 0});
            listeners.push_back(entry.second);
        }
    }
    if (listeners.empty()) {
        // Nothing to watch: wait for a listener or the stop.
        waitForWake(m_WakeFd, 100);
        return;
    }

    const int result = ::poll(fds.data(), fds.size(), 100);
    if (result == 0)
        return;
    if (result < 0) {
        const int error = netutil::lastError();
        if (error != EINTR) {
            log("listen select throw: " + netutil::errorText(error));
            waitForWake(m_WakeFd, 20);
        }
        return;
    }
    if (fds[0].revents)
        netutil::drainWakeFd(m_WakeFd);

    // No lock is held while a connection is accepted and admitted: the listeners stay until the
    // accept thread has ended, and admission takes the user's locks.
    bool cannotTake = false;
    for (std::size_t i = 0; i < listeners.size() && !m_Stop; ++i) {
        const short events = fds[i + 1].revents;
        if (events & (POLLERR | POLLHUP | POLLNVAL))
            log("listener socket error");
        if (!(events & POLLIN))
            continue;
        NetWorkingPollTCPSelect* poller = choosePoller();
        cannotTake |= !poller || !acceptConnection(listeners[i], poller);
    }
    // With every socket taken, or without a free descriptor, the pending connection stays in the
    // backlog and its listener readable: do not spin on it.
    if (cannotTake)
        waitForWake(m_WakeFd, 20);
}

bool NetWorking::acceptConnection(NetWorkingSocketData* listener, NetWorkingPollTCPSelect* poller)
{
    sockaddr_in peer;
    std::memset(&peer, 0, sizeof(peer));
    socklen_t length = sizeof(peer);
    int fd;
    do {
        fd = ::accept4(listener->m_Socket, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int error = netutil::lastError();
        // The peer may have given up between poll and accept.
        if (error == EAGAIN || error == EWOULDBLOCK || error == ECONNABORTED)
            return true;
        log("accept throw: " + netutil::errorText(error));
        return !(error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM);
    }
    setSocketReceiveBuffer(fd, kSocketReceiveBufferSize);
    // Replies leave as soon as they are written, not after the peer's delayed acknowledgement of the
    // previous segment. Without it nothing breaks, only slows down.
    const int on = 1;
    if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) != 0)
        log("setSocketNoDelay throw: " + netutil::errorText(netutil::lastError()));
    // Urgent data stays in the stream: telnet's Synch sends its IAC urgent and its Data Mark in
    // band, and the input filter drops the two as one command.
    if (::setsockopt(fd, SOL_SOCKET, SO_OOBINLINE, &on, sizeof(on)) != 0)
        log("setSocketOobInline throw: " + netutil::errorText(netutil::lastError()));

    std::unique_ptr<NetWorkingSocketData> record = netutil::newSocketRecord(fd);
    record->m_Socket = fd;
    record->m_LocalAddress = listener->m_LocalAddress;
    record->m_PeerAddress = peer;
    record->m_Functions = listener->m_Functions;
    record->m_UserData = listener->m_UserData;

    poller->addSocket(record.release());
    return true;
}

NetWorkingPollTCPSelect* NetWorking::choosePoller()
{
    // Pollers beyond the cores that can run them at once would only take turns with the others,
    // and every turn is a switch of the core: those stay asleep.
    const int carrying = std::min(static_cast<int>(kPollerCount), netutil::usableCores());
    std::lock_guard<std::mutex> guard(m_Lock);
    NetWorkingPollTCPSelect* chosen = nullptr;
    int best = 65535;
    int total = 0;
    int candidates = 0;
    for (NetWorkingPollTCPSelect* poller : m_Pollers) {
        const int count = poller->getSocketCount();
        total += count;
        if (candidates == carrying || !poller->serving())
            continue;
        ++candidates;
        if (count < best) {
            best = count;
            chosen = poller;
        }
    }
    return total < m_MaxConnections ? chosen : nullptr;
}

const std::string& NetWorking::finalText(CloseReason reason) const
{
    return reason == CloseReason::QueueFull ? m_NetWorkingFunctions.queueFullText
                                            : m_NetWorkingFunctions.allQueuesFullText;
}

std::shared_ptr<const SharedBlock> NetWorking::shareBlock(std::string bytes)
{
    return std::make_shared<const SharedBlock>(std::move(bytes), m_QueuedBytes);
}

bool NetWorking::countQueued(std::size_t bytes)
{
    return (m_QueuedBytes += bytes) > kMaxQueuedTotal;
}

void NetWorking::uncountQueued(std::size_t bytes)
{
    m_QueuedBytes -= bytes;
}

void NetWorking::trimQueues()
{
    // One trimmer at a time, so that two do not both close a connection where one would do.
    std::lock_guard<std::mutex> guard(m_TrimLock);
    const std::vector<NetWorkingPollTCPSelect*> all = pollers();
    // A closed connection's shared blocks leave the account only when its poll thread lets go of
    // them: count down what each close frees instead of waiting for the account.
    const std::size_t queued = m_QueuedBytes;
    std::size_t excess = queued > kMaxQueuedTotal ? queued - kMaxQueuedTotal : 0;
    while (excess > 0) {
        NetWorkingPollTCPSelect* owner = nullptr;
        int connectionID = 0;
        std::size_t largest = 0;
        // Those that are behind first; when every connection keeps up with the others, the one that
        // holds the most.
        for (const bool whole : {false, true}) {
            for (NetWorkingPollTCPSelect* poller : all) {
                int id = 0;
                const std::size_t size = poller->largestQueue(id, whole);
                if (size > largest) {
                    largest = size;
                    connectionID = id;
                    owner = poller;
                }
            }
            if (owner)
                break;
        }
        if (!owner)
            return;
        excess -= std::min(excess, largest);
        owner->dropQueue(connectionID, "closing connection " + std::to_string(connectionID) +
                                           ": the send queues of all connections are full");
    }
}

#pragma once

// The telnet plug-in's small TCP server layer: listening sockets, one accept thread and ten poller
// threads that own the accepted connections (as many of them take new ones as the process has cores
// to run them at once; see NetWorking::pollers). It moves blocks of bytes and connection ids and
// knows nothing of the telnet protocol.

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <boost/thread/thread.hpp>

#include "net/reply_buffer.h"
#include "net/thread_spawn.h"

class NetWorkingPollTCPSelect;

// What the layer reports about itself. onLog receives every log text of the layer, on whichever
// thread of the layer produced it (the accept thread, a poll thread, a sender's thread), so it must
// be safe to call from several threads at once, and take no lock of the layer's callers (a poll
// thread may hold its own lock while it logs); an empty onLog drops the texts.
struct NetWorkingFunctions
{
    std::function<void(const std::string& message)> onLog;
    // Sent, where the socket still takes it, to a connection that is closed because its own queue
    // (queueFullText) or all queues together (allQueuesFullText) passed their bound, after what was
    // queued has been dropped; empty: nothing is sent.
    std::string queueFullText;
    std::string allQueuesFullText;
};

enum class CloseReason
{
    QueueFull,
    AllQueuesFull
};

enum NetWorkingType
{
    NETWORKING_TCP = 1
};

// The three callbacks of a listener and of every connection accepted through it; a null callback is
// not called. onReceive's buffer was allocated with new[] and belongs to the callee from then on.
struct NetWorkingSocketFunctions
{
    void (*onReceive)(char* buffer, int length, int connectionID, const sockaddr_in* peer, void* userData);
    void (*onConnect)(int connectionID, const sockaddr_in* peer, void* userData, NetWorkingPollTCPSelect* poller);
    void (*onDisconnect)(int connectionID, const sockaddr_in* peer, void* userData);
};

// Marks a record whose socket has been closed. Descriptor 0 is a valid socket when the client has
// closed its standard input, so it cannot serve as the mark.
constexpr int kClosedSocket = -1;

// The life of a connection. Open: read, and takes blocks to send. Draining: its last block is queued
// (the user closed it after sending, or the peer ended its side); it is no longer read, takes nothing
// more, and closes once its queue has gone out. Closed: its socket is closed or about to be, by its poll
// thread; whatever was queued is dropped. A connection only ever moves forward.
enum class ConnectionState
{
    Open,
    Draining,
    Closed
};

// The record of one socket, listener or connection. A connection's fields are guarded by the lock of
// the poller that owns it; its descriptor is closed only by that poller's thread, and written by
// another thread only under that lock while the poller sleeps.
struct NetWorkingSocketData
{
    NetWorkingSocketData();
    NetWorkingSocketData(const NetWorkingSocketData&) = delete;
    NetWorkingSocketData& operator=(const NetWorkingSocketData&) = delete;

    int m_Socket;
    sockaddr_in m_LocalAddress;
    sockaddr_in m_PeerAddress;
    NetWorkingSocketFunctions m_Functions;
    // The bytes not yet sent.
    ReplyBuffer m_TCPPacketSendingList;
    void* m_UserData;
    // For a listener its descriptor, for a connection the id its poller assigned.
    int m_ConnectionID;
    ConnectionState m_State;
    // onDisconnect has run or must not run (the user ended the connection).
    bool disconnectNotified;

    // Kept by the poller:
    // the poll thread watches the socket (it is in the poller's epoll set);
    bool m_Registered;
    // it is watched for writability (the socket took less than it was offered);
    bool m_WatchingWritable;
    // it is on the poller's list of connections to write, or of connections that changed state;
    bool m_WritePending;
    bool m_EndPending;
    // when a draining connection's socket last took a byte;
    std::chrono::steady_clock::time_point m_LastProgress;
    // what its socket is sent when it closes (NetWorking::finalText), or null.
    const std::string* m_FinalText;
};

// Lock order: the NetWorking lock, then a poller's lock, then the connection-id counter's mutex;
// the queue-trimming lock comes before all of them. No lock of the layer is held while a
// connection's callback runs (onLog may be called under one).
class NetWorking
{
public:
    static const int kPollerCount = 10;
    static const int kSocketReceiveBufferSize = 262144;
    // The queues of all connections together hold at most this many bytes (a shared block counted
    // once); past it the connections furthest behind are closed.
    static const std::size_t kMaxQueuedTotal = 64 * 1024 * 1024;
    // A poller keeps at most this many draining connections; the oldest is closed first.
    static const std::size_t kMaxDrainingPerPoller = 21;
    // Starts the accept thread and the ten pollers, all of them or none: throws
    // boost::thread_resource_error when a thread cannot be created, std::system_error when a
    // descriptor cannot be made (every thread started before is stopped again).
    // The layer holds at most `userConnections` (the user's own limit of open connections) and the
    // draining ones at once; further connections wait in the listen backlog until one has gone.
    NetWorking(const NetWorkingFunctions* functions, NetWorkingType type, int userConnections);
    // Stops and joins every thread and closes every socket; no callback runs afterwards.
    ~NetWorking();
    NetWorking(const NetWorking&) = delete;
    NetWorking& operator=(const NetWorking&) = delete;

    // Opens a listening socket on a dotted IPv4 address. Returns its descriptor (>= 0), 1 when
    // probeOnly is set and the address could be listened on (the socket is closed again), -1 on
    // failure (logged; nothing is left open).
    int listen(const NetWorkingSocketFunctions* callbacks, void* userData, const std::string& ip,
               unsigned short port, bool probeOnly);

    bool setSocketReUseAddr(int fd);
    bool setSocketReceiveBuffer(int fd, int size);
    void log(const std::string& message) const;
    // Logs the text that text() builds; when memory has run out, nothing is logged (a thread of the
    // layer that logs its failure must not fail again for it).
    template <class Text>
    void logText(Text text) const noexcept;

    // The pollers in creation order. The accept thread hands each connection to the least loaded of
    // the first serving pollers, as many as the cores the accept thread may run on (netutil::usableCores,
    // at most kPollerCount): the others sleep and cost nothing.
    std::vector<NetWorkingPollTCPSelect*> pollers() const;

    NetWorkingType type() const { return m_NetWorkingType; }
    // The user's text for a connection closed for the reason (NetWorkingFunctions).
    const std::string& finalText(CloseReason reason) const;
    // A block for several connections' queues (NetWorkingPollTCPSelect::queueToEach), held once and
    // counted once in the account of queued bytes while a queue holds it.
    std::shared_ptr<const SharedBlock> shareBlock(std::string bytes);

    // The account of queued bytes over all pollers. countQueued tells whether the total is now past
    // kMaxQueuedTotal; then the caller, holding no poller's lock, calls trimQueues, which closes the
    // connections furthest behind until what they free brings the total within the bound.
    bool countQueued(std::size_t bytes);
    void uncountQueued(std::size_t bytes);
    void trimQueues();

private:
    void acceptLoop();
    void acceptPass();
    // False when the system is out of descriptors or memory.
    bool acceptConnection(NetWorkingSocketData* listener, NetWorkingPollTCPSelect* poller);
    // The first of the least loaded pollers that carry connections (see pollers()); none while
    // m_MaxConnections are held.
    NetWorkingPollTCPSelect* choosePoller();
    void shutdown();

    const NetWorkingFunctions m_NetWorkingFunctions;
    const NetWorkingType m_NetWorkingType;
    // The connections held at once, open or draining or closing.
    const int m_MaxConnections;
    std::vector<NetWorkingPollTCPSelect*> m_Pollers;
    std::map<int, NetWorkingSocketData*> m_ListenerMap;
    std::vector<NetWorkingSocketData*> m_ClosedListeners;
    mutable std::mutex m_Lock;
    boost::thread* m_AcceptThread;
    std::atomic<bool> m_Stop;
    // Written to wake the accept thread (a new listener, the stop).
    int m_WakeFd;
    std::atomic<std::size_t> m_QueuedBytes;
    std::mutex m_TrimLock;
};

namespace netutil {
// Closes a descriptor; EINTR does not leave it open on Linux, so it is not retried.
void closeSocket(int fd);
int lastError();
std::string errorText(int error);
// An eventfd for waking a thread out of poll(2), and the two halves of its use.
int createWakeFd();
void signalWakeFd(int fd);
void drainWakeFd(int fd);
// The cores the calling thread may run on (its affinity), at least 1; very many when they cannot be
// told.
int usableCores();
// Asks the scheduler for short turns (0.1 ms instead of its default of some milliseconds) for the
// calling thread, keeping its policy and nice value; kernels before Linux 6.12 take no notice.
void askForShortTimeSlice();
// Logs a broken invariant of the layer and goes on.
std::string assertionText(const char* expression, const char* file, int line);
// A new record for the socket fd; fd is closed when the record cannot be made.
std::unique_ptr<NetWorkingSocketData> newSocketRecord(int fd);
// The fault hook of the layer's tests: the next `count` passes through a fault point fail as if
// memory had run out. The fault points: a poll thread's receive buffer and every log text.
void failAllocations(int count);
// Throws std::bad_alloc while failures are asked for.
void allocationPoint();
// Pauses a thread whose pass failed, so that it does not spin while memory is short.
void pauseAfterFailure();
// A socket thread's body: runs pass() until stop is set. An exception ends only its pass; it is
// logged as "<thread> error: <what>" (or "<thread> error"; nothing when that text cannot be made)
// and the next pass follows after a pause.
template <class Pass, class Log>
void runUntilStopped(const std::atomic<bool>& stop, const char* thread, Pass pass, Log log)
{
    while (!stop) {
        try {
            pass();
            continue;
        } catch (const std::exception& e) {
            try {
                log(std::string(thread) + " error: " + e.what());
            } catch (...) {
            }
        } catch (...) {
            try {
                log(std::string(thread) + " error");
            } catch (...) {
            }
        }
        pauseAfterFailure();
    }
}
// Closes the sockets of the open records and frees them, then frees the records already closed;
// both containers end empty.
template <class ClosedRecords>
void freeSocketRecords(std::map<int, NetWorkingSocketData*>& open, ClosedRecords& closed)
{
    for (auto& entry : open) {
        closeSocket(entry.second->m_Socket);
        delete entry.second;
    }
    open.clear();
    for (NetWorkingSocketData* record : closed)
        delete record;
    closed.clear();
}
}  // namespace netutil

template <class Text>
void NetWorking::logText(Text text) const noexcept
{
    try {
        netutil::allocationPoint();
        log(text());
    } catch (...) {
    }
}

#define NET_ASSERT(logger, expression)                                                          \
    do {                                                                                        \
        if (!(expression))                                                                      \
            (logger)->log(netutil::assertionText(#expression, __FILE__, __LINE__));             \
    } while (0)

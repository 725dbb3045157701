#pragma once

// The telnet plug-in's small TCP server layer: listening sockets, one accept thread and ten poller
// threads that own the accepted connections. It moves blocks of bytes and connection ids and knows
// nothing of the telnet protocol.

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <ctime>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <boost/thread/recursive_mutex.hpp>
#include <boost/thread/thread.hpp>

#include "net/thread_spawn.h"

class NetWorkingPollTCPSelect;

// What the layer reports about itself. onLog receives every log text of the layer, on whichever
// thread of the layer produced it (the accept thread, a poll thread, a sender's thread), so it must
// be safe to call from several threads at once; an empty onLog drops the texts.
struct NetWorkingFunctions
{
    std::function<void(const std::string& message)> onLog;
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

// The record of one socket, listener or connection. A connection's fields are guarded by the lock of
// the poller that owns it.
struct NetWorkingSocketData
{
    typedef std::pair<char*, int> Block;

    NetWorkingSocketData();
    ~NetWorkingSocketData();  // frees the queued blocks
    NetWorkingSocketData(const NetWorkingSocketData&) = delete;
    NetWorkingSocketData& operator=(const NetWorkingSocketData&) = delete;

    void clearSendingList();

    int m_Socket;
    sockaddr_in m_LocalAddress;
    sockaddr_in m_PeerAddress;
    NetWorkingSocketFunctions m_Functions;
    // Blocks not yet sent, in sending order; each buffer was allocated with new[] and is owned here.
    std::deque<Block> m_TCPPacketSendingList;
    void* m_UserData;
    // For a listener its descriptor, for a connection the id its poller assigned.
    int m_ConnectionID;
    time_t m_RemovalTime;
    // The connection closes once its queue is empty and is no longer read.
    bool closeAfterSend;
    // onDisconnect has run or must not run.
    bool disconnectNotified;

    // Bytes held in m_TCPPacketSendingList and not yet written.
    std::size_t m_QueuedBytes;
    // Bytes of the first queued block already written.
    std::size_t m_HeadOffset;
    // The socket took less than it was offered: write again once the system reports it writable.
    bool m_WaitWritable;
    // A closing connection's peer has ended its side; the socket is no longer watched for input.
    bool m_InputEnded;
    // Set by any thread that wants the connection gone; the poll thread closes it at its next pass.
    bool m_CloseRequested;
    // When a close-after-send gives up waiting for the peer and closes anyway.
    std::chrono::steady_clock::time_point m_CloseDeadline;
};

class NetWorking
{
public:
    static const int kPollerCount = 10;
    static const int kSocketReceiveBufferSize = 262144;

    // Starts the accept thread and the ten pollers. Throws boost::thread_resource_error when a
    // thread cannot be created.
    NetWorking(const NetWorkingFunctions* functions, NetWorkingType type);
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

    // The pollers in creation order (the accept thread hands each connection to the least loaded).
    std::vector<NetWorkingPollTCPSelect*> pollers() const;

    NetWorkingType type() const { return m_NetWorkingType; }

private:
    void acceptLoop();
    void acceptPass();
    // False when the system is out of descriptors or memory.
    bool acceptConnection(NetWorkingSocketData* listener);
    NetWorkingPollTCPSelect* choosePoller();
    void shutdown();

    const NetWorkingFunctions m_NetWorkingFunctions;
    const NetWorkingType m_NetWorkingType;
    std::vector<NetWorkingPollTCPSelect*> m_Pollers;
    std::map<int, NetWorkingSocketData*> m_ListenerMap;
    std::vector<NetWorkingSocketData*> m_ClosedListeners;
    mutable boost::recursive_mutex m_Lock;
    boost::thread* m_AcceptThread;
    std::atomic<bool> m_Stop;
    // Written to wake the accept thread (a new listener, the stop).
    int m_WakeFd;
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
// Logs a broken invariant of the layer and goes on.
std::string assertionText(const char* expression, const char* file, int line);
// A new record for the socket fd; fd is closed when the record cannot be made.
std::unique_ptr<NetWorkingSocketData> newSocketRecord(int fd);
// A socket thread's body: runs pass() until stop is set. An exception ends only its pass; it is
// logged as "<thread> error: <what>" (or "<thread> error") and the next pass follows.
template <class Pass, class Log>
void runUntilStopped(const std::atomic<bool>& stop, const std::string& thread, Pass pass, Log log)
{
    while (!stop) {
        try {
            pass();
        } catch (const std::exception& e) {
            log(thread + " error: " + e.what());
        } catch (...) {
            log(thread + " error");
        }
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

#define NET_ASSERT(logger, expression)                                                          \
    do {                                                                                        \
        if (!(expression))                                                                      \
            (logger)->log(netutil::assertionText(#expression, __FILE__, __LINE__));             \
    } while (0)

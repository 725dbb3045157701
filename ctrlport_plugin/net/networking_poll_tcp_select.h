#pragma once

// One poller thread and the TCP connections it owns: reads them in blocks of at most 1500 bytes,
// sends to them, ends them (see ConnectionState) and reports, once, a connection that left the open
// state without its user asking.
//
// Any thread appends to a connection's reply buffer, or ends a connection, under the lock. The poll
// thread reads, closes and is the only thread that changes its epoll set; it writes after each event
// it handled (so the lines that the handlers of a received block produce leave in one write) and
// before it sleeps, and it writes without holding the lock (see ReplyBuffer). Other threads put what
// they change on the poller's lists (connections to write, connections whose state changed) and wake
// it; but while it sleeps, a sender writes itself to a connection whose socket is not watched for
// room, holding the lock, rather than pay for a wake-up (a notification's fan-out would wake every
// poller), and leaves what the socket did not take to the poll thread, which then watches the socket
// for room. The poll
// thread closes descriptors only under the lock, so no thread writes to a number that was closed and
// taken again.
// A socket that takes less than it is offered is watched for writability until its queue is empty;
// a pass touches only what is ready or listed.
//
// Bounds: what counts against a connection's queue is at most kMaxQueuedBytes: its own bytes and
// the shared blocks that another connection has sent whole, or that it alone still holds (a block
// that connections keeping up with each other send counts against none of them); all queues
// together hold at most NetWorking::kMaxQueuedTotal (each shared block counted once), and a poller keeps at most NetWorking::kMaxDrainingPerPoller draining
// connections (the oldest is closed first); a draining connection whose peer takes no byte for the
// stall time (kDrainStallTimeout) is closed.

#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <boost/thread/thread.hpp>

#include "net/networking.h"

enum class CloseMode
{
    // Stop reading, send what is queued, then close.
    AfterSend,
    // Drop what is queued and close.
    Now
};

class NetWorkingPollTCPSelect
{
public:
    static const int kReceiveBlockSize = 1500;
    // A connection whose queue would grow past this many bytes is closed.
    static const std::size_t kMaxQueuedBytes = 4 * 1024 * 1024;
    static constexpr std::chrono::seconds kDrainStallTimeout{10};

    // Makes the epoll set and the wake-up and starts the poll thread, or throws (std::system_error,
    // boost::thread_resource_error) leaving nothing open or running.
    explicit NetWorkingPollTCPSelect(NetWorking* owner);
    // Stops and joins the poll thread, then closes every connection without callbacks.
    ~NetWorkingPollTCPSelect();
    NetWorkingPollTCPSelect(const NetWorkingPollTCPSelect&) = delete;
    NetWorkingPollTCPSelect& operator=(const NetWorkingPollTCPSelect&) = delete;

    // Stops and joins the poll thread; no callback runs afterwards. The destructor calls it too;
    // NetWorking stops every poller before it destroys the first, since a command handled on one
    // poll thread may send through another poller.
    void stop();

    // Takes ownership of a freshly accepted connection, assigns its id and calls onConnect on the
    // calling thread, without a lock; the connection is read only after onConnect has returned.
    void addSocket(NetWorkingSocketData* record);
    int getSocketCount();
    // False once the poll thread has ended without being stopped.
    bool serving() const { return m_Serving; }

    // The bytes go out after everything queued before them. Connections that are not open, and
    // unknown ids, take nothing; one whose queue would grow past kMaxQueuedBytes is closed.
    int send(char* buffer, int length, int connectionID, const sockaddr_in* address);
    int send(const std::string& text, int connectionID, const sockaddr_in* address);
    // The same text to each of these connections (ids in ascending order) under one lock, without
    // waking the poll thread: wakeUp() follows, once the caller has queued everything it fans out.
    void queueToEach(const std::string& text, const std::vector<int>& sortedIDs);
    // The same for a shared block (NetWorking::shareBlock): each queue holds a reference, not a copy.
    void queueToEach(const std::shared_ptr<const SharedBlock>& block, const std::vector<int>& sortedIDs);
    void wakeUp();

    // Ends a connection on its user's request: finalBlock (if any) is queued last, then the connection
    // closes as the mode says. No onDisconnect follows.
    void closeConnection(int connectionID, CloseMode mode = CloseMode::AfterSend,
                         const std::string& finalBlock = std::string());
    // The same, but reported through onDisconnect.
    void closeSocket(int connectionID, bool afterSend);

    // For NetWorking::trimQueues: the most that counts against one of this poller's queues (see
    // ReplyBuffer::heldBehind), or that one holds at all (`whole`), and whose queue it is (0 when none
    // holds anything), and closing that connection with the text for full queues.
    std::size_t largestQueue(int& connectionID, bool whole);
    void dropQueue(int connectionID, const std::string& reason);

    // How long a draining connection may take no byte before it is closed (tests shorten it).
    void setDrainStallTimeout(std::chrono::milliseconds timeout);

private:
    class Locked;

    void handOver(NetWorkingSocketData* record);
    // Queues bytes for an open connection (others take nothing); one whose queue would grow past
    // its bound is closed instead. Sets overTotal when all queues together are past their bound
    // (then the caller trims, holding no lock). Lock held.
    void append(NetWorkingSocketData* record, const char* data, std::size_t length, bool& overTotal);
    void append(NetWorkingSocketData* record, const std::shared_ptr<const SharedBlock>& block);
    // Whether the connection's queue may take `ownBytes` more: what counts against it stays within
    // kMaxQueuedBytes. If not, it is closed with the text for a full queue. Lock held.
    bool admits(NetWorkingSocketData* record, std::size_t ownBytes);
    void outOfMemory(NetWorkingSocketData* record);
    // Has the bytes just queued written or scheduled. Lock held.
    void queued(NetWorkingSocketData* record);
    // Appends under the lock, wakes the poll thread and trims the queues if needed.
    void submit(int connectionID, const char* data, std::size_t length);
    void userClose(int connectionID, CloseMode mode, bool report, const std::string& finalBlock);
    // Ends a connection (see ConnectionState), `report`ed unless its user asked for it; the poll thread
    // settles it. Lock held.
    void end(NetWorkingSocketData* record, CloseMode mode, bool report);
    // The one writer of a connection's state, which end() and closeDescriptor() share, and the one
    // place where a queue leaves the account of queued bytes. The account (NetWorking::countQueued)
    // holds the own bytes of the queues of the connections that are not closed, and once each shared
    // block that a queue still holds: append adds the own bytes it queues, wrote takes off the own
    // bytes that the socket took, setState takes off the own bytes left when the connection closes
    // (the queue itself is dropped with the socket), and a shared block counts itself from when it is
    // made until the last queue lets go of it. Lock held.
    void setState(NetWorkingSocketData* record, ConnectionState to);
    void forgetDraining(NetWorkingSocketData* record);
    // Puts the record on a list of the poll thread unless it is on it. Lock held.
    void schedule(NetWorkingSocketData* record, bool NetWorkingSocketData::*pending,
                  std::vector<NetWorkingSocketData*>& list);
    // Whether the poll thread sleeps with work on its lists and has not been woken; then it counts
    // as woken from now on. Lock held.
    bool wakeOwed();
    NetWorkingSocketData* findSocket(int connectionID);

    // The poll thread:
    void pollLoop();
    void pollPass();
    // Runs one connection's work on the poll thread; should it fail (memory ran out), that
    // connection alone is dropped.
    template <class Work>
    void guarded(NetWorkingSocketData* record, Work work);
    // Watches the new sockets, acts on the changed states, writes the queued bytes.
    void workThroughLists();
    // Waits for events unless a list has work; returns how many arrived.
    int waitForEvents(epoll_event* events, int capacity);
    // The events that are there already, without waiting.
    int eventsAtHand(epoll_event* events, int capacity);
    void watchNewSocket(NetWorkingSocketData* record);
    void handleEvent(NetWorkingSocketData* record, unsigned events);
    void readSocket(NetWorkingSocketData* record, bool failed);
    // Writes what is queued until the socket takes no more, then watches it for writability while
    // bytes are left; a draining connection whose queue is empty closes.
    void flush(NetWorkingSocketData* record);
    // After the writes of flush: a draining connection whose queue is out closes; writability is
    // watched while bytes are left. Lock held.
    void flushed(NetWorkingSocketData* record);
    // Another thread's write of an open connection while the poll thread sleeps; what the socket does
    // not take is put on the poll thread's list. Lock held.
    void writeWhileAsleep(NetWorkingSocketData* record);
    // What a write of `offered` bytes returned: the sent bytes leave the queue, an error ends the
    // connection. Whether the socket took everything. Lock held.
    bool wrote(NetWorkingSocketData* record, ssize_t sent, int error, std::size_t offered);
    // The poll thread's side of a changed state: stop reading or close, and report.
    void settle(NetWorkingSocketData* record);
    // What epoll watches of the connection: input while it is open, writability as asked. Poll thread,
    // lock held.
    void watch(NetWorkingSocketData* record, bool writable);
    // Closes the socket (a connection not yet closed becomes so), drops the queue and moves the record
    // to m_OldSockets. Poll thread, lock held.
    void closeDescriptor(NetWorkingSocketData* record);
    void closeStalledDrains();
    // Frees the closed records that no list holds any more.
    void freeClosedRecords();

    std::vector<NetWorkingSocketData*> m_OldSockets;
    std::map<int, NetWorkingSocketData*> m_ActiveSocketMap;
    NetWorking* const m_Owner;
    const NetWorkingType m_NetWorkingType;
    std::mutex m_Lock;
    boost::thread* m_PollThread;
    std::atomic<bool> m_Stop;
    int m_EpollFd;
    // Written to wake the poll thread out of epoll_wait, once per sleep.
    int m_WakeFd;

    // Guarded by m_Lock:
    // accepted connections not yet watched, connections with bytes to write, connections whose state
    // changed; each record is on a list at most once (its pending flag).
    std::vector<NetWorkingSocketData*> m_NewSockets;
    std::vector<NetWorkingSocketData*> m_PendingWrites;
    std::vector<NetWorkingSocketData*> m_PendingEnds;
    // The draining connections, oldest first.
    std::vector<NetWorkingSocketData*> m_Draining;
    // The poll thread waits in epoll_wait; it has been woken.
    bool m_Sleeping;
    bool m_WakeSent;
    std::chrono::milliseconds m_DrainStallTimeout;

    // The poll thread's own: the lists it works through (kept for their memory), the next look at
    // the draining connections.
    std::vector<NetWorkingSocketData*> m_TakenSockets;
    std::vector<NetWorkingSocketData*> m_TakenEnds;
    std::vector<NetWorkingSocketData*> m_TakenWrites;
    std::chrono::steady_clock::time_point m_NextStallCheck;
    // The last pass handled events.
    bool m_HadEvents;
    std::atomic<bool> m_Serving;
};

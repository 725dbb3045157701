#pragma once

// One poller thread and the TCP connections it owns: reads them in blocks of at most 1500 bytes,
// sends to them, closes them at once or after their queue has drained, and reports a connection the
// peer closed, once.
//
// Sending works like a line server's reply buffer. On the poll thread, send() only appends to the
// connection's queue, and the poll thread writes what is queued, as many blocks as the socket takes
// in one call, right after the received block has been handled (so the lines of a command leave in
// one write, without waking anybody) and before it waits again. Another thread (the client's, with
// notifications and answers) writes at once while the queue is empty, holding the lock, and
// otherwise appends and wakes the poll thread, at most once per pass (once per fan-out: sendToEach).
// Sockets never block, so a peer that stops reading delays nobody; the queue takes what it has not
// taken, up to kMaxQueuedBytes.
//
// Descriptors are closed only by the poll thread (or by the destructor after it joined), under the
// lock, so no thread ever uses a descriptor number that another thread has closed and the client may
// have reused. Other threads that want a connection gone mark it and wake the poll thread. Queued
// blocks and records of removed connections are freed only by the poll thread, so it writes from
// them without holding the lock; meanwhile its queue is not empty, so nobody else writes.

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/thread/recursive_mutex.hpp>
#include <boost/thread/thread.hpp>

#include "net/networking.h"

class NetWorkingPollTCPSelect
{
public:
    static const int kReceiveBlockSize = 1500;
    // A connection whose queue would grow past this many bytes is closed.
    static const std::size_t kMaxQueuedBytes = 4 * 1024 * 1024;

    explicit NetWorkingPollTCPSelect(NetWorking* owner);
    // Stops and joins the poll thread, then closes every connection without callbacks.
    ~NetWorkingPollTCPSelect();
    NetWorkingPollTCPSelect(const NetWorkingPollTCPSelect&) = delete;
    NetWorkingPollTCPSelect& operator=(const NetWorkingPollTCPSelect&) = delete;

    // Stops and joins the poll thread; no callback runs afterwards. The destructor calls it too;
    // NetWorking stops every poller before it destroys the first, since a command handled on one
    // poll thread may send through another poller.
    void stop();

    // Takes ownership of a freshly accepted connection, assigns its id and calls onConnect (on the
    // calling thread, with this poller's lock held).
    void addSocket(NetWorkingSocketData* record);
    int getSocketCount();

    // Both take ownership of / copy the bytes and return 0; the bytes go out after everything sent
    // before them (see above). Unknown ids and connections asked to close are ignored; a connection
    // whose queue would grow past kMaxQueuedBytes is closed.
    int send(char* buffer, int length, int connectionID, const sockaddr_in* address);
    int send(const std::string& text, int connectionID, const sockaddr_in* address);
    // The same text to each of these connections of this poller (a notification's fan-out; ids in
    // ascending order), under one lock, waking the poll thread at most once (at the end of the
    // caller's WakeBatch, if any).
    void sendToEach(const std::string& text, const std::vector<int>& sortedIDs);

    // Closes at once, or with afterSend once the queue is empty (the socket is no longer read). The
    // connection's onDisconnect follows unless it already ran or closeConnection was used.
    void closeSocket(int connectionID, bool afterSend);
    // The user's way to close a connection: its queued bytes go out first, no onDisconnect follows.
    // Nothing sent after it goes out.
    void closeConnection(int connectionID);
    // Sends a connection's last block and closes it, in one step: no other thread's block can come
    // between the two.
    void sendFinal(const std::string& text, int connectionID);

    // How long a close-after-send waits for the peer to take the queue before it closes anyway.
    void setCloseAfterSendTimeout(std::chrono::milliseconds timeout);

    // While one lives, the wake-ups that sends on this thread owe are held back; at its end every
    // poller that got something queued is woken once. A fan-out thus wakes each poller once for all of
    // its connections that have a backlog, when every connection has its line.
    class WakeBatch
    {
    public:
        WakeBatch();
        ~WakeBatch();
        WakeBatch(const WakeBatch&) = delete;
        WakeBatch& operator=(const WakeBatch&) = delete;

    private:
        friend class NetWorkingPollTCPSelect;
        WakeBatch* const m_Outer;
        std::vector<NetWorkingPollTCPSelect*> m_Pollers;
    };

private:
    // The innermost WakeBatch of the calling thread, if any.
    static thread_local WakeBatch* s_WakeBatch;

    void pollLoop();
    void pollPass();
    // Removes the connections that other threads asked to close and the close-after-sends that
    // emptied their queue or ran out of time.
    void processCloseRequests();
    void readSocket(NetWorkingSocketData* record, bool exceptional);
    // Writes the queues of every connection that is not waiting for the socket to take more.
    void flushQueues();
    // Writes what is queued for one connection until the socket takes no more (then it waits for
    // writability) or the queue is empty (then a close-after-send completes).
    void tcpResend(NetWorkingSocketData* record);
    // The writing part of tcpResend (at most kWritesInARow writes); removes nothing.
    void writeQueue(NetWorkingSocketData* record);
    // Drops `sent` written bytes from the front of the queue.
    static void consumeQueue(NetWorkingSocketData* record, std::size_t sent);
    bool onPollThread() const;
    void removeSocket(NetWorkingSocketData* record);
    void removeOldSockets();
    void requestClose(NetWorkingSocketData* record);
    NetWorkingSocketData* findSocket(int connectionID);
    bool appendToQueue(NetWorkingSocketData* record, char* buffer, int length);
    // Both forms of send: `owned` holds the bytes when the caller handed them over, else they are
    // copied when they have to wait in the queue.
    void submit(int connectionID, const char* data, int length, std::unique_ptr<char[]> owned);
    // Whether a block may still be sent to the connection (not closing). Lock held.
    static bool takesBlocks(const NetWorkingSocketData* record);
    // Another thread's block: written at once when nothing waits before it, else queued for the poll
    // thread, which is woken. Lock held.
    void submitFromOtherThread(NetWorkingSocketData* record, const char* data, int length,
                               std::unique_ptr<char[]>& owned);
    // Another thread's block for a connection with an empty queue: written at once (with the lock
    // held), what the socket does not take queued.
    void sendNow(NetWorkingSocketData* record, const char* data, int length, std::unique_ptr<char[]>& owned);
    void wake();
    void signalWake();

    std::list<NetWorkingSocketData*> m_OldSockets;
    std::map<int, NetWorkingSocketData*> m_ActiveSocketMap;
    NetWorking* const m_Owner;
    const NetWorkingType m_NetWorkingType;
    boost::recursive_mutex m_Lock;
    boost::thread* m_PollThread;
    std::atomic<bool> m_Stop;
    // Written to wake the poll thread: a new connection, a queue that another thread filled, a close
    // request, the stop. m_WakePending is set from the first wake-up until the poll thread takes it,
    // so that a fan-out to many connections of this poller writes the descriptor once.
    int m_WakeFd;
    std::atomic<bool> m_WakePending;
    std::chrono::milliseconds m_CloseAfterSendTimeout;
};

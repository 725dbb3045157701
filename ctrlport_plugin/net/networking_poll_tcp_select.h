#pragma once

// One poller thread and the TCP connections it owns: reads them in blocks of at most 1500 bytes,
// sends to them (queueing what a socket does not take at once), closes them at once or after their
// queue has drained, and reports a connection the peer closed, once.
//
// Descriptors are closed only by the poll thread (or by the destructor after it joined), so no
// thread ever uses a descriptor number that another thread has closed and the client may have
// reused. Other threads that want a connection gone mark it and wake the poll thread. Records of
// removed connections are freed by the poll thread at the end of its pass, when nothing refers to
// them any more.

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <list>
#include <map>
#include <string>

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

    // Both take ownership of / copy the bytes and return 0. Sending never blocks: what the socket
    // does not take goes to the connection's queue. Unknown ids are ignored.
    int send(char* buffer, int length, int connectionID, const sockaddr_in* address);
    int send(const std::string& text, int connectionID, const sockaddr_in* address);

    // Closes at once, or with afterSend once the queue is empty (the socket is no longer read). The
    // connection's onDisconnect follows unless it already ran or closeConnection was used.
    void closeSocket(int connectionID, bool afterSend);
    // The user's way to close a connection: its queued bytes go out first, no onDisconnect follows.
    void closeConnection(int connectionID);

    // How long a close-after-send waits for the peer to take the queue before it closes anyway.
    void setCloseAfterSendTimeout(std::chrono::milliseconds timeout);

private:
    void pollLoop();
    void pollPass();
    // Removes the connections that other threads asked to close and the close-after-sends that
    // emptied their queue or ran out of time.
    void processCloseRequests();
    void readSocket(NetWorkingSocketData* record, bool exceptional);
    void tcpResend(NetWorkingSocketData* record);
    void removeSocket(NetWorkingSocketData* record);
    void removeOldSockets();
    void requestClose(NetWorkingSocketData* record);
    NetWorkingSocketData* findSocket(int connectionID);
    bool appendToQueue(NetWorkingSocketData* record, char* buffer, int length);
    void wake();

    std::list<NetWorkingSocketData*> m_OldSockets;
    std::map<int, NetWorkingSocketData*> m_ActiveSocketMap;
    NetWorking* const m_Owner;
    const NetWorkingType m_NetWorkingType;
    boost::recursive_mutex m_Lock;
    boost::thread* m_PollThread;
    std::atomic<bool> m_Stop;
    // Written to wake the poll thread: a new connection, a queue that became non-empty, a close
    // request, the stop.
    int m_WakeFd;
    std::chrono::milliseconds m_CloseAfterSendTimeout;
};

#pragma once

// A recording user of the networking layer and a few blocking loopback client helpers. Every wait
// has a deadline; nothing sleeps to synchronise.

#include <netinet/in.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "net/networking.h"
#include "net/networking_poll_tcp_select.h"

namespace nettest {

using std::chrono::milliseconds;
const milliseconds kDeadline(15000);
// The open connections a test's layer takes, as the plug-in's manager gives it.
const int kUserConnections = 201;

// Records every callback, in the order the layer made them.
class RecordingUser
{
public:
    RecordingUser();

    // The callbacks to hand to NetWorking::listen with this object as user data.
    const NetWorkingSocketFunctions* callbacks() const { return &m_Callbacks; }

    typedef std::function<void(int connectionID, const std::string& data, NetWorkingPollTCPSelect* poller)> DataHook;
    typedef std::function<void(int connectionID, NetWorkingPollTCPSelect* poller)> ConnectHook;

    // Called on the poll thread for every received block, after it was recorded.
    void setDataHook(DataHook hook);
    // Called on the accept thread at the end of onConnect (the poller's lock is held).
    void setConnectHook(ConnectHook hook);

    // Waits until the predicate, evaluated under the lock, holds; false at the deadline.
    bool waitUntil(const std::function<bool()>& predicate, milliseconds deadline = kDeadline);

    // Waits for the n-th connection (counting from 1) and returns its id, or 0 at the deadline.
    int waitForConnection(std::size_t n);
    bool waitForBytes(int connectionID, std::size_t bytes);
    bool waitForDisconnects(int connectionID, int count);

    std::vector<int> connections();
    NetWorkingPollTCPSelect* pollerOf(int connectionID);
    std::string received(int connectionID);
    std::vector<int> blockSizes(int connectionID);
    int disconnects(int connectionID);
    int totalDisconnects();
    sockaddr_in peerOf(int connectionID);

    // Guarded by the lock of waitUntil's predicates.
    std::mutex m_Lock;
    std::condition_variable m_Changed;
    std::vector<int> m_ConnectionOrder;
    std::map<int, NetWorkingPollTCPSelect*> m_Pollers;
    std::map<int, sockaddr_in> m_Peers;
    std::map<int, std::string> m_Received;
    std::map<int, std::vector<int>> m_BlockSizes;
    std::map<int, int> m_Disconnects;
    // Set when a callback arrived for an id that was never connected, or after a disconnect.
    bool m_Misordered;

private:
    static void receiveCallback(char* buffer, int length, int connectionID, const sockaddr_in* peer, void* userData);
    static void connectCallback(int connectionID, const sockaddr_in* peer, void* userData,
                                NetWorkingPollTCPSelect* poller);
    static void disconnectCallback(int connectionID, const sockaddr_in* peer, void* userData);

    NetWorkingSocketFunctions m_Callbacks;
    DataHook m_DataHook;
    ConnectHook m_ConnectHook;
};

// Collects the layer's log lines.
class LogRecorder
{
public:
    NetWorkingFunctions functions();
    std::vector<std::string> lines();
    bool contains(const std::string& text);
    // Waits until a line equal to text has been logged; false at the deadline.
    bool waitFor(const std::string& text, milliseconds deadline = kDeadline);

private:
    std::mutex m_Lock;
    std::condition_variable m_Added;
    std::vector<std::string> m_Lines;
};

// The port a listening descriptor is bound to.
unsigned short boundPort(int listenerFd);
// A blocking loopback client; receiveBuffer > 0 sets SO_RCVBUF before connecting. -1 on failure.
int connectTo(unsigned short port, int receiveBuffer = 0);
// Writes everything (blocking); false on an error.
bool writeAll(int fd, const std::string& data);
// Reads exactly n bytes; returns what arrived before EOF, an error or the deadline.
std::string readBytes(int fd, std::size_t n, milliseconds deadline = kDeadline);
// Reads until EOF or a connection error; sets eof when the stream ended (0 or a reset), false at the
// deadline.
std::string readToEnd(int fd, bool* eof, milliseconds deadline = kDeadline);
// Number of open sockets and event descriptors of this process (the kinds the layer opens).
int openDescriptorCount();
// Number of threads of this process that have not begun to exit.
int threadCount();

}  // namespace nettest

// The networking layer against real loopback peers on ephemeral ports.

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <future>
#include <memory>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "net_test_support.h"

using namespace nettest;

namespace {

// One numbered line per block, so that any loss, duplicate or reordering shows.
std::string numberedLine(int i, std::size_t width)
{
    std::string line = std::to_string(i) + ":";
    line.resize(width - 1, static_cast<char>('a' + i % 26));
    return line + "\n";
}

class NetWorkingTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        NetWorkingFunctions functions = m_Log.functions();
        functions.queueFullText = "queue full";
        m_Net.reset(new NetWorking(&functions, NETWORKING_TCP, nettest::kUserConnections));
        m_Listener = m_Net->listen(m_User.callbacks(), &m_User, "127.0.0.1", 0, false);
        ASSERT_GE(m_Listener, 0);
        m_Port = boundPort(m_Listener);
        ASSERT_NE(m_Port, 0);
    }

    void TearDown() override
    {
        m_Net.reset();
        for (int fd : m_Clients)
            ::close(fd);
        EXPECT_FALSE(m_User.m_Misordered) << "a callback came for an unknown or already lost connection";
    }

    // Small send buffers for the connections accepted from now on (they inherit the listener's),
    // so that the queue, not the system, holds what a slow peer has not taken yet.
    void limitSendBuffers()
    {
        const int size = 4096;
        ASSERT_EQ(::setsockopt(m_Listener, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size)), 0);
    }

    // Connects a client and waits until the layer has reported it; returns its id.
    int connectClient(int* clientFd, int receiveBuffer = 0)
    {
        const std::size_t before = m_User.connections().size();
        *clientFd = connectTo(m_Port, receiveBuffer);
        EXPECT_GE(*clientFd, 0);
        m_Clients.push_back(*clientFd);
        return m_User.waitForConnection(before + 1);
    }

    LogRecorder m_Log;
    RecordingUser m_User;
    std::unique_ptr<NetWorking> m_Net;
    int m_Listener = -1;
    unsigned short m_Port = 0;
    std::vector<int> m_Clients;
};

TEST(NetWorkingListen, RejectsWhatItCannotListenOnAndLeavesNothingOpen)
{
    LogRecorder log;
    NetWorkingFunctions functions = log.functions();
    NetWorking net(&functions, NETWORKING_TCP, nettest::kUserConnections);
    RecordingUser user;
    const int before = openDescriptorCount();

    EXPECT_EQ(net.listen(user.callbacks(), &user, "localhost", 0, false), -1);
    EXPECT_EQ(net.listen(user.callbacks(), &user, "255.255.255.255", 0, false), -1);
    EXPECT_EQ(net.listen(user.callbacks(), &user, "", 0, false), -1);
    EXPECT_TRUE(log.contains("bind convert throw: Invalid argument"));

    // A probe that works reports 1 and keeps nothing open.
    EXPECT_EQ(net.listen(user.callbacks(), &user, "127.0.0.1", 0, true), 1);
    EXPECT_EQ(openDescriptorCount(), before);

    // A port somebody already listens on.
    const int taken = net.listen(user.callbacks(), &user, "127.0.0.1", 0, false);
    ASSERT_GE(taken, 0);
    EXPECT_EQ(net.listen(user.callbacks(), &user, "127.0.0.1", boundPort(taken), false), -1);
    EXPECT_TRUE(log.contains("bind throw: Address already in use"));
    EXPECT_EQ(openDescriptorCount(), before + 1);
}

TEST_F(NetWorkingTest, DeliversBlocksOfAtMost1500BytesAndSendsBack)
{
    int client;
    const int id = connectClient(&client);
    ASSERT_GT(id, 0);
    const sockaddr_in peer = m_User.peerOf(id);
    EXPECT_EQ(peer.sin_family, AF_INET);
    EXPECT_EQ(ntohl(peer.sin_addr.s_addr), INADDR_LOOPBACK);

    std::string payload;
    for (int i = 0; payload.size() < 20000; ++i)
        payload += numberedLine(i, 37);
    ASSERT_TRUE(writeAll(client, payload));
    ASSERT_TRUE(m_User.waitForBytes(id, payload.size()));
    EXPECT_EQ(m_User.received(id), payload);
    for (int size : m_User.blockSizes(id))
        EXPECT_LE(size, 1500);

    NetWorkingPollTCPSelect* poller = m_User.pollerOf(id);
    poller->send(std::string("VXM Client\n\r"), id, nullptr);
    poller->send(std::string(), id, nullptr);  // nothing to send, nothing sent
    char* raw = new char[4];
    std::memcpy(raw, "ok\n\r", 4);
    poller->send(raw, 4, id, nullptr);
    EXPECT_EQ(readBytes(client, 16), "VXM Client\n\rok\n\r");

    // Unknown ids are ignored, and the given buffer is still freed (the leak checker would tell).
    poller->send(new char[8](), 8, id + 1000, nullptr);
    poller->closeSocket(id + 1000, false);
    poller->closeConnection(id + 1000);
}

TEST_F(NetWorkingTest, PeerCloseIsReportedOnceAndLaterSendsAreIgnored)
{
    int first, second;
    const int a = connectClient(&first);
    const int b = connectClient(&second);
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);

    ::close(first);
    m_Clients.erase(m_Clients.begin());
    ASSERT_TRUE(m_User.waitForDisconnects(a, 1));
    NetWorkingPollTCPSelect* poller = m_User.pollerOf(a);
    poller->send(std::string("too late\n\r"), a, nullptr);
    poller->closeConnection(a);
    poller->closeSocket(a, false);

    // The other connection still works; by the time its data has come through, a second report
    // for the closed one would have arrived too.
    ASSERT_TRUE(writeAll(second, "ping\n"));
    ASSERT_TRUE(m_User.waitForBytes(b, 5));
    m_User.pollerOf(b)->send(std::string("pong"), b, nullptr);
    EXPECT_EQ(readBytes(second, 4), "pong");
    EXPECT_EQ(m_User.disconnects(a), 1);
    EXPECT_EQ(m_User.disconnects(b), 0);
}

TEST_F(NetWorkingTest, PollThreadSurvivesMemoryRunningOutAndKeepsServing)
{
    int client;
    const int a = connectClient(&client);
    ASSERT_GT(a, 0);
    NetWorkingPollTCPSelect* poller = m_User.pollerOf(a);

    // The receive buffer for this block cannot be had, nor the text that logs why its connection
    // is dropped: that connection alone ends, reported once.
    netutil::failAllocations(2);
    ASSERT_TRUE(writeAll(client, "x\n"));
    ASSERT_TRUE(m_User.waitForDisconnects(a, 1));
    bool eof = false;
    readToEnd(client, &eof);
    EXPECT_TRUE(eof);
    netutil::failAllocations(0);

    // The same poll thread (the least loaded now) takes and serves the next connection.
    EXPECT_TRUE(poller->serving());
    int next;
    const int b = connectClient(&next);
    ASSERT_GT(b, 0);
    EXPECT_EQ(m_User.pollerOf(b), poller);
    ASSERT_TRUE(writeAll(next, "ping\n"));
    ASSERT_TRUE(m_User.waitForBytes(b, 5));
    poller->send(std::string("pong"), b, nullptr);
    EXPECT_EQ(readBytes(next, 4), "pong");
}

TEST_F(NetWorkingTest, CloseConnectionFlushesTheQueueAndNeverReportsADisconnect)
{
    // An empty queue: the peer sees the end of the stream at once.
    int client;
    const int a = connectClient(&client);
    ASSERT_GT(a, 0);
    NetWorkingPollTCPSelect* poller = m_User.pollerOf(a);
    poller->send(std::string("error id=1026 msg"), a, nullptr);
    poller->closeConnection(a);
    bool eof = false;
    EXPECT_EQ(readToEnd(client, &eof), "error id=1026 msg");
    EXPECT_TRUE(eof);

    // A full queue (the peer reads late): everything queued still arrives, then the end.
    limitSendBuffers();
    int slow;
    const int b = connectClient(&slow, 4096);
    ASSERT_GT(b, 0);
    ASSERT_EQ(m_User.pollerOf(b), poller) << "the emptied first poller takes the next connection";
    std::string expected;
    for (int i = 0; i < 20000; ++i) {
        const std::string line = numberedLine(i, 50);
        expected += line;
        poller->send(line, b, nullptr);
    }
    poller->closeConnection(b);
    // Nothing sent after the close goes out: the last block given before it stays the last.
    poller->send(std::string("after the end\n"), b, nullptr);
    // Data that arrives after the close request is not read any more.
    ASSERT_TRUE(writeAll(slow, "ignored\n"));
    const std::string got = readToEnd(slow, &eof);
    EXPECT_TRUE(eof);
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);

    // A third connection on the same poller: its first block is read in a later pass than the
    // removals above, which therefore had every chance to report.
    int third;
    const int c = connectClient(&third);
    ASSERT_EQ(m_User.pollerOf(c), poller);
    ASSERT_TRUE(writeAll(third, "x"));
    ASSERT_TRUE(m_User.waitForBytes(c, 1));
    EXPECT_EQ(m_User.totalDisconnects(), 0);
    EXPECT_EQ(m_User.received(b), "");
}

// Holds the calling thread to at most `count` of the cores it may run on, until destroyed.
class CoreLimit
{
public:
    explicit CoreLimit(int count)
    {
        ::sched_getaffinity(0, sizeof(m_Saved), &m_Saved);
        cpu_set_t fewer;
        CPU_ZERO(&fewer);
        for (int cpu = 0; cpu < CPU_SETSIZE && CPU_COUNT(&fewer) < count; ++cpu) {
            if (CPU_ISSET(cpu, &m_Saved))
                CPU_SET(cpu, &fewer);
        }
        ::sched_setaffinity(0, sizeof(fewer), &fewer);
        // What the thread was given in the end (all it had, should the system refuse).
        cpu_set_t now;
        CPU_ZERO(&now);
        ::sched_getaffinity(0, sizeof(now), &now);
        m_Count = std::min(CPU_COUNT(&now), static_cast<int>(NetWorking::kPollerCount));
    }
    ~CoreLimit() { ::sched_setaffinity(0, sizeof(m_Saved), &m_Saved); }
    int count() const { return m_Count; }

private:
    cpu_set_t m_Saved;
    int m_Count;
};

TEST_F(NetWorkingTest, NewConnectionGoesToTheFirstLeastLoadedPollerOfAsManyAsCores)
{
    // A layer started on three cores: three pollers carry the connections.
    const CoreLimit cores(3);
    const int carrying = cores.count();
    m_Net.reset();
    SetUp();
    const std::vector<NetWorkingPollTCPSelect*> pollers = m_Net->pollers();
    ASSERT_EQ(pollers.size(), 10u);

    // One connection on each carrying poller, the next back on the first.
    std::vector<int> ids;
    for (int i = 0; i <= carrying; ++i) {
        int client;
        ids.push_back(connectClient(&client));
        ASSERT_GT(ids.back(), 0);
        EXPECT_EQ(m_User.pollerOf(ids.back()), pollers[i % carrying]) << "connection " << i;
    }
    for (int i = carrying; i < 10; ++i)
        EXPECT_EQ(pollers[i]->getSocketCount(), 0) << "poller " << i;

    // Close those on the second and later pollers: the next goes to the second again.
    for (int i = 1; i < carrying; ++i)
        m_User.pollerOf(ids[i])->closeConnection(ids[i]);
    for (int i = 1; i < carrying; ++i) {
        bool eof = false;
        readToEnd(m_Clients[i], &eof);
        ASSERT_TRUE(eof);
    }
    ASSERT_EQ(pollers[0]->getSocketCount(), 2);
    for (int i = 1; i < 10; ++i)
        ASSERT_EQ(pollers[i]->getSocketCount(), 0);

    int client;
    const int next = connectClient(&client);
    EXPECT_EQ(m_User.pollerOf(next), pollers[carrying > 1 ? 1 : 0]);
}

TEST_F(NetWorkingTest, SlowReaderGetsEveryBlockInOrder)
{
    limitSendBuffers();
    int client;
    const int id = connectClient(&client, 4096);
    ASSERT_GT(id, 0);
    NetWorkingPollTCPSelect* poller = m_User.pollerOf(id);

    // Two senders at once: the poll thread that owns the connection (answering a block it read,
    // which queues without waking itself) and the client's thread; neither may block, and each
    // one's blocks keep their order. 2 x 1.5 MiB stays under the queue limit.
    auto sendLines = [&](char tag) {
        for (int i = 0; i < 12000; ++i)
            poller->send(std::string(1, tag) + numberedLine(i, 127), id, nullptr);
    };
    std::promise<void> answered;
    m_User.setDataHook([&](int, const std::string&, NetWorkingPollTCPSelect*) {
        sendLines('A');
        answered.set_value();
    });
    std::thread other(sendLines, 'B');
    ASSERT_TRUE(writeAll(client, "x"));
    ASSERT_EQ(answered.get_future().wait_for(kDeadline), std::future_status::ready);
    other.join();
    m_User.setDataHook(nullptr);

    const std::string got = readBytes(client, 2 * 12000 * 128);
    ASSERT_EQ(got.size(), 2u * 12000 * 128);
    int nextA = 0, nextB = 0;
    for (std::size_t at = 0; at < got.size(); at += 128) {
        const std::string line = got.substr(at, 128);
        int& next = line[0] == 'A' ? nextA : nextB;
        ASSERT_EQ(line.substr(1), numberedLine(next, 127)) << "at byte " << at;
        ++next;
    }
    EXPECT_EQ(nextA, 12000);
    EXPECT_EQ(nextB, 12000);
    EXPECT_EQ(m_User.disconnects(id), 0);
}

TEST_F(NetWorkingTest, QueueLimitClosesAPeerThatNeverReads)
{
    limitSendBuffers();
    int client;
    const int id = connectClient(&client, 4096);
    ASSERT_GT(id, 0);
    int healthy;
    const int other = connectClient(&healthy);
    NetWorkingPollTCPSelect* poller = m_User.pollerOf(id);

    const std::string block(64 * 1024, 'q');
    for (int i = 0; i < 200 && m_User.disconnects(id) == 0; ++i)  // up to 12.8 MiB
        poller->send(block, id, nullptr);
    ASSERT_TRUE(m_User.waitForDisconnects(id, 1));
    bool eof = false;
    const std::string got = readToEnd(client, &eof);
    EXPECT_TRUE(eof);
    EXPECT_LT(got.size(), 5u * 1024 * 1024);

    // Sends after the close go nowhere; the other connection is untouched.
    poller->send(block, id, nullptr);
    m_User.pollerOf(other)->send(std::string("still here"), other, nullptr);
    EXPECT_EQ(readBytes(healthy, 10), "still here");
    EXPECT_EQ(m_User.disconnects(id), 1);
    EXPECT_EQ(m_User.disconnects(other), 0);

    // A block past the bound ends a connection with the user's text, which its socket still takes.
    m_User.pollerOf(other)->send(std::string(NetWorkingPollTCPSelect::kMaxQueuedBytes + 1, 'z'), other, nullptr);
    EXPECT_EQ(readToEnd(healthy, &eof), "queue full");
    EXPECT_TRUE(eof);
}

TEST_F(NetWorkingTest, DrainingConnectionIsClosedWhenItsPeerTakesNothing)
{
    limitSendBuffers();
    int client;
    const int id = connectClient(&client, 4096);
    ASSERT_GT(id, 0);
    NetWorkingPollTCPSelect* poller = m_User.pollerOf(id);
    poller->setDrainStallTimeout(milliseconds(300));

    const std::string block(64 * 1024, 'w');
    for (int i = 0; i < 32; ++i)  // 2 MiB: far more than the socket buffers hold
        poller->send(block, id, nullptr);
    poller->closeConnection(id);
    ASSERT_TRUE(m_Log.waitFor("closing connection " + std::to_string(id) + ": its peer took nothing for a while"));
    bool eof = false;
    const std::string got = readToEnd(client, &eof);
    EXPECT_TRUE(eof);
    EXPECT_LT(got.size(), 32u * block.size());
}

TEST_F(NetWorkingTest, ResetPeerIsReportedOnce)
{
    int client;
    const int id = connectClient(&client);
    ASSERT_GT(id, 0);
    NetWorkingPollTCPSelect* poller = m_User.pollerOf(id);

    // Close with a reset instead of a normal end of stream.
    linger hard = {1, 0};
    ASSERT_EQ(::setsockopt(client, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard)), 0);
    ::close(client);
    m_Clients.clear();

    // Whichever comes first, the poller's read or a send, ends the connection, once; a send into
    // the reset socket would kill this process with SIGPIPE if it were not suppressed.
    const std::string line(1000, 'r');
    for (int i = 0; i < 1000 && m_User.disconnects(id) == 0; ++i)
        poller->send(line, id, nullptr);
    ASSERT_TRUE(m_User.waitForDisconnects(id, 1));

    int second;
    const int next = connectClient(&second);
    ASSERT_TRUE(writeAll(second, "y"));
    ASSERT_TRUE(m_User.waitForBytes(next, 1));
    EXPECT_EQ(m_User.disconnects(id), 1);
}

TEST_F(NetWorkingTest, SendToAPeerThatHasGoneEndsTheConnectionWithoutABrokenPipeSignal)
{
    // The peer resets the connection before the layer has even reported it, so writing the lines
    // fails (a reset, or EPIPE when written again), which must neither raise SIGPIPE (ending this
    // process) nor leave the connection open.
    std::mutex lock;
    std::condition_variable closed;
    bool peerClosed = false;
    m_User.setConnectHook([&](int id, NetWorkingPollTCPSelect* poller) {
        std::unique_lock<std::mutex> guard(lock);
        if (!closed.wait_for(guard, kDeadline, [&] { return peerClosed; }))
            return;
        for (int i = 0; i < 3; ++i)
            poller->send(std::string("notifyclientmoved clid=1\n\r"), id, nullptr);
    });
    const int client = connectTo(m_Port);
    ASSERT_GE(client, 0);
    linger hard = {1, 0};
    ASSERT_EQ(::setsockopt(client, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard)), 0);
    ::close(client);
    {
        std::lock_guard<std::mutex> guard(lock);
        peerClosed = true;
    }
    closed.notify_all();

    const int id = m_User.waitForConnection(1);
    ASSERT_GT(id, 0);
    ASSERT_TRUE(m_User.waitForDisconnects(id, 1));
    bool writeFailed = false;
    for (const std::string& line : m_Log.lines())
        writeFailed |= line.rfind("ERROR: while tcp", 0) == 0;
    EXPECT_TRUE(writeFailed);

    // Nothing more is reported for it once another connection of that poller has been served.
    m_User.setConnectHook(nullptr);
    int second;
    const int next = connectClient(&second);
    ASSERT_TRUE(writeAll(second, "z"));
    ASSERT_TRUE(m_User.waitForBytes(next, 1));
    EXPECT_EQ(m_User.disconnects(id), 1);
}

TEST(NetWorkingDescriptors, ServesDescriptorsAbove1024)
{
    rlimit limit;
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max < 1200)
        GTEST_SKIP() << "hard descriptor limit " << limit.rlim_max << " is below 1200";
    const rlimit saved = limit;
    limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, 1200);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);

    // Fill the low descriptors the way a busy client would.
    std::vector<int> fillers;
    for (;;) {
        const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        fillers.push_back(fd);
        if (fd >= 1030)
            break;
    }

    {
        RecordingUser user;
        NetWorkingFunctions functions;
        NetWorking net(&functions, NETWORKING_TCP, nettest::kUserConnections);
        const int listener = net.listen(user.callbacks(), &user, "127.0.0.1", 0, false);
        ASSERT_GE(listener, 1024);
        const int client = connectTo(boundPort(listener));
        ASSERT_GE(client, 1024);
        const int id = user.waitForConnection(1);
        ASSERT_GT(id, 0);

        ASSERT_TRUE(writeAll(client, "hello from above\n"));
        ASSERT_TRUE(user.waitForBytes(id, 17));
        EXPECT_EQ(user.received(id), "hello from above\n");
        user.pollerOf(id)->send(std::string("hi"), id, nullptr);
        EXPECT_EQ(readBytes(client, 2), "hi");
        ::close(client);
        EXPECT_TRUE(user.waitForDisconnects(id, 1));
    }

    for (int fd : fillers)
        ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &saved);
}

TEST(NetWorkingShutdown, JoinsEveryThreadWithBusyConnections)
{
    const int threadsBefore = threadCount();
    const int descriptorsBefore = openDescriptorCount();
    RecordingUser user;
    std::unique_ptr<NetWorking> net(new NetWorking(nullptr, NETWORKING_TCP, nettest::kUserConnections));
    EXPECT_EQ(threadCount(), threadsBefore + 11);
    const int listener = net->listen(user.callbacks(), &user, "127.0.0.1", 0, false);
    ASSERT_GE(listener, 0);
    const unsigned short port = boundPort(listener);

    // Echo everything back to peers that never read: the queues fill while the peers keep writing.
    // For every block a peer sends, pass a few bytes on to the next connection, which usually lives
    // on another poller (as a command answered on one poll thread may notify connections of other
    // pollers). Peers never read, so the queues fill, slowly enough to stay under their limit.
    user.setDataHook([&user](int id, const std::string& data, NetWorkingPollTCPSelect*) {
        if (NetWorkingPollTCPSelect* poller = user.pollerOf(id + 1))
            poller->send(data.substr(0, 16), id + 1, nullptr);
    });
    std::atomic<bool> stopWriters(false);
    std::vector<int> clients;
    std::vector<std::thread> writers;
    for (int i = 0; i < 12; ++i) {
        const int fd = connectTo(port, 4096);
        ASSERT_GE(fd, 0);
        clients.push_back(fd);
        writers.emplace_back([fd, &stopWriters] {
            const std::string chunk(8192, 'e');
            while (!stopWriters && writeAll(fd, chunk)) {
            }
        });
    }
    ASSERT_TRUE(user.waitUntil([&] {
        if (user.m_ConnectionOrder.size() < clients.size())
            return false;
        for (int id : user.m_ConnectionOrder)
            if (user.m_Received[id].size() < 1024 * 1024)
                return false;
        return true;
    }));

    auto destroyed = std::async(std::launch::async, [&net] { net.reset(); });
    ASSERT_EQ(destroyed.wait_for(kDeadline), std::future_status::ready) << "shutdown hangs";
    EXPECT_EQ(user.totalDisconnects(), 0) << "shutdown closes without callbacks";

    // The peers see their connections end, so the writers stop.
    stopWriters = true;
    for (std::thread& writer : writers)
        writer.join();
    for (int fd : clients)
        ::close(fd);
    EXPECT_EQ(threadCount(), threadsBefore);
    EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
}

}  // namespace

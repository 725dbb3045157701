// Connection ids on the plug-in's fixed port; this binary runs in its own network namespace and
// relies on being the only user of the layer in its process (ids are process-wide).

#include <unistd.h>

#include <memory>
#include <set>

#include <gtest/gtest.h>

#include "net_test_support.h"

using namespace nettest;

namespace {

const unsigned short kTelnetPort = 25639;

TEST(ConnectionIds, StartAtOneAndAreNeverReused)
{
    std::set<int> seen;
    int last = 0;
    // Two layers one after the other, as a reloaded plug-in start would make them: the counter goes on.
    for (int round = 0; round < 2; ++round) {
        RecordingUser user;
        std::unique_ptr<NetWorking> net(new NetWorking(nullptr, NETWORKING_TCP, nettest::kUserConnections));
        ASSERT_GE(net->listen(user.callbacks(), &user, "127.0.0.1", kTelnetPort, false), 0);
        for (int i = 0; i < 15; ++i) {
            const int client = connectTo(kTelnetPort);
            ASSERT_GE(client, 0);
            const int id = user.waitForConnection(i + 1);
            if (round == 0 && i == 0) {
                EXPECT_EQ(id, 1);
            }
            EXPECT_GT(id, last);
            EXPECT_TRUE(seen.insert(id).second) << "id " << id << " given twice";
            last = id;
            // Half of them go away at once; their ids stay used.
            if (i % 2 == 0) {
                ::close(client);
                ASSERT_TRUE(user.waitForDisconnects(id, 1));
            } else {
                user.pollerOf(id)->closeConnection(id);
                bool eof = false;
                readToEnd(client, &eof);
                EXPECT_TRUE(eof);
                ::close(client);
            }
        }
        net.reset();
        EXPECT_FALSE(user.m_Misordered);
    }
    EXPECT_EQ(last, 30);
}

TEST(ConnectionIds, AnyAddressListenerServesLoopback)
{
    RecordingUser user;
    NetWorking net(nullptr, NETWORKING_TCP, nettest::kUserConnections);
    ASSERT_GE(net.listen(user.callbacks(), &user, "0.0.0.0", kTelnetPort, false), 0);
    const int client = connectTo(kTelnetPort);
    ASSERT_GE(client, 0);
    const int id = user.waitForConnection(1);
    ASSERT_GT(id, 0);
    ASSERT_TRUE(writeAll(client, "help\n"));
    ASSERT_TRUE(user.waitForBytes(id, 5));
    EXPECT_EQ(user.received(id), "help\n");
    ::close(client);
}

}  // namespace

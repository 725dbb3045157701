// The list, variable, own-client update, mute, password and hash commands of ctrlport_plugin.so,
// loaded by the stand-in client and driven over a real telnet connection on loopback (the fixed
// port, in a network namespace of its own). Each case checks the exact lines the telnet client
// gets and, where it matters, the calls the stand-in client journals.
#include "loaded_plugin_test.h"
#include "openssl_sha1.h"

#include <QString>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

using fakehost::JournalEntry;

namespace {

// The bytes that operator new hands out in the whole process while counting is on: a reply line
// copied once per record shows as a sum that grows with the square of the records.
std::atomic<bool> g_countAllocations{false};
std::atomic<std::size_t> g_allocatedBytes{0};

void* allocate(std::size_t size)
{
    if (g_countAllocations.load(std::memory_order_relaxed))
        g_allocatedBytes.fetch_add(size, std::memory_order_relaxed);
    if (void* memory = std::malloc(size ? size : 1))
        return memory;
    throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size)
{
    return allocate(size);
}

void* operator new[](std::size_t size)
{
    return allocate(size);
}

void operator delete(void* memory) noexcept
{
    std::free(memory);
}

void operator delete[](void* memory) noexcept
{
    std::free(memory);
}

void operator delete(void* memory, std::size_t) noexcept
{
    std::free(memory);
}

void operator delete[](void* memory, std::size_t) noexcept
{
    std::free(memory);
}

namespace {

std::string telnetEscaped(const std::string& text)
{
    std::string result;
    for (const char c : text) {
        if (c == ' ')
            result += "\\s";
        else if (c == '/')
            result += "\\/";
        else if (c == '|')
            result += "\\p";
        else
            result += c;
    }
    return result;
}

bool contains(const std::vector<std::string>& calls, const std::string& call)
{
    for (const std::string& entry : calls) {
        if (entry == call)
            return true;
    }
    return false;
}

std::string joined(const std::vector<std::string>& calls)
{
    std::string text;
    for (const std::string& call : calls)
        text += "  " + call + "\n";
    return text;
}

// A line of the command and what the telnet client must get for it: the reply line (nullptr when
// none is due) and the number of the error line.
struct Case
{
    const char* line;
    const char* reply;
    unsigned error;
};

class CommandsTest : public LoadedPluginTest
{
protected:
    void SetUp() override
    {
        LoadedPluginTest::SetUp();
        if (HasFatalFailure())
            return;
        buildWorld();
        start();
        if (HasFatalFailure())
            return;
        ASSERT_TRUE(m_client.connectTo());
        ASSERT_TRUE(waitFor("selected schandlerid=1\n\r")) << m_client.received();
        m_client.clear();
    }

    void TearDown() override
    {
        m_client.close();
        LoadedPluginTest::TearDown();
    }

    // Connection 1 of the sample world (own client 1 "Me" in channel 1 "Lobby", client 2 in channel
    // 2 "Talk") with a third client, an unsubscribed third channel and values of every width.
    void buildWorld()
    {
        host->addSampleWorld();
        host->setServerConnectInfo(1, "127.0.0.1", 7000, "secret");
        host->setClientVariable(1, 2, 1, "Alice Smith");
        host->addClient(1, 3, 2, "Bob");
        host->addChannel(1, 3, 1, "Empty");
        host->setChannelVariable(1, 3, 26, "0");

        host->setClientVariable(1, 1, 32, "11");
        host->setClientVariable(1, 1, 4, "1");
        host->setClientVariable(1, 2, 32, "12");
        host->setClientVariable(1, 2, 38, "1");
        host->setClientVariable(1, 2, 39, "gone for lunch");
        host->setClientVariable(1, 2, 5, "65537");  // written as its low 16 bits
        host->setClientVariable(1, 2, 16, "-1");
        host->setClientVariable(1, 2, 42, "-5");
        host->setClientVariable(1, 2, 34, "6,8");
        host->setClientVariable(1, 2, 33, "9");
        host->setClientVariable(1, 2, 56, "-1");
        host->setClientVariable(1, 2, 58, "DE");
        host->setClientVariable(1, 3, 32, "13");
        host->setClientVariable(1, 3, 40, "1");
        host->setClientVariable(1, 3, 58, "FR");

        host->setChannelVariable(1, 2, 8, "1");
        host->setChannelVariable(1, 3, 8, "2");
        host->setChannelVariable(1, 2, 1, "chat here");
        host->setChannelVariable(1, 2, 11, "1");
        host->setChannelVariable(1, 2, 12, "-1");
        host->setChannelVariable(1, 2, 4, "4");
        host->setChannelVariable(1, 2, 5, "10");
        host->setChannelVariable(1, 2, 28, "-3");
        host->setChannelVariable(1, 2, 31, "-2");
        host->setChannelVariable(1, 2, 6, "-1");
        host->setChannelVariable(1, 2, 7, "-1");
        host->setChannelPassword(1, 2, "door");
    }

    bool waitFor(const std::string& text) { return LoadedPluginTest::waitFor(m_client, text); }

    // Sends a line and returns what arrived up to and including the first error line (or the
    // given end). The host calls made from here on are in calls().
    std::string run(const std::string& line, const std::string& end = std::string())
    {
        m_mark = host->nextSeq();
        m_client.clear();
        m_client.send(line + "\n");
        const bool complete = host->waitFor([&] {
            m_client.pump();
            if (!end.empty())
                return m_client.contains(end);
            const std::size_t error = m_client.received().find("error id=");
            return error != std::string::npos && m_client.received().find("\n\r", error) != std::string::npos;
        });
        EXPECT_TRUE(complete) << "no error line after " << line << ": " << m_client.received();
        const std::string text = m_client.received();
        m_client.clear();
        return text;
    }

    std::string errorLine(unsigned error) const
    {
        const std::string text = host->errorText(error);
        return "error id=" + std::to_string(error) + (text.empty() ? " msg" : " msg=" + telnetEscaped(text)) + "\n\r";
    }

    std::string expected(const Case& c) const
    {
        return (c.reply ? std::string(c.reply) + "\n\r" : std::string()) + errorLine(c.error);
    }

    void runCases(const std::vector<Case>& cases)
    {
        for (const Case& c : cases) {
            EXPECT_EQ(expected(c), run(c.line)) << c.line;
            EXPECT_EQ(0u, host->outstandingAllocations()) << c.line;
        }
    }

    // The host calls since the last run, as "name(arguments)", without the log and the error texts
    // of the error line; memory given back is named by the call that handed it out.
    std::vector<std::string> calls() const
    {
        std::vector<std::string> result;
        for (const JournalEntry& entry : host->journal()) {
            if (entry.seq < m_mark || entry.direction != JournalEntry::ToHost || entry.name == "logMessage" ||
                entry.name == "getErrorText")
                continue;
            std::string args = entry.args;
            if (entry.name == "freeHostMemory") {
                const std::size_t open = args.find(" (");
                args = open == std::string::npos ? args : args.substr(open + 2, args.size() - open - 3);
                if (args.compare(0, 13, "getErrorText(") == 0)
                    continue;
            }
            result.push_back(entry.name + "(" + args + ")");
        }
        return result;
    }

    // The return code of this telnet connection, as the last host call that carried one shows it.
    std::string returnCodeArgument() const
    {
        for (const std::string& call : calls()) {
            const std::size_t at = call.find("returnCode=\"" + m_prefix);
            if (at != std::string::npos)
                return call.substr(at + 12, call.find('"', at + 12) - at - 12);
        }
        return std::string();
    }

    TelnetTestClient m_client;
    std::uint64_t m_mark = 0;
};

TEST_F(CommandsTest, ClientListsWriteTheirKeysInTableOrder)
{
    runCases({
        {"clientlist",
         "clid=1 cid=1 client_database_id=11 client_nickname=Me client_type=0"
         "|clid=2 cid=2 client_database_id=12 client_nickname=Alice\\sSmith client_type=0"
         "|clid=3 cid=2 client_database_id=13 client_nickname=Bob client_type=1",
         0},
        // The groups come in their own order, whatever the order of the options.
        {"clientlist -country -away",
         "clid=1 cid=1 client_database_id=11 client_nickname=Me client_type=0 client_away=0 client_away_message "
         "client_country"
         "|clid=2 cid=2 client_database_id=12 client_nickname=Alice\\sSmith client_type=0 client_away=1 "
         "client_away_message=gone\\sfor\\slunch client_country=DE"
         "|clid=3 cid=2 client_database_id=13 client_nickname=Bob client_type=1 client_away=0 client_away_message "
         "client_country=FR",
         0},
        {"channelclientlist cid=2 -icon -groups -uid",
         "clid=2 cid=2 client_database_id=12 client_nickname=Alice\\sSmith client_type=0 "
         "client_unique_identifier=uid-alice client_servergroups=6,8 client_channel_group_id=9 client_icon_id=-1"
         "|clid=3 cid=2 client_database_id=13 client_nickname=Bob client_type=1 client_unique_identifier "
         "client_servergroups client_channel_group_id=0 client_icon_id=0",
         0},
        // 16-bit flags are the low bits of the client's int, the talk power is signed.
        {"channelclientlist cid=2 -voice",
         "clid=2 cid=2 client_database_id=12 client_nickname=Alice\\sSmith client_type=0 client_flag_talking=0 "
         "client_input_muted=1 client_output_muted=0 client_input_hardware=0 client_output_hardware=0 "
         "client_talk_power=-5 client_is_talker=0 client_is_priority_speaker=0 client_is_recording=0 "
         "client_is_channel_commander=0 client_is_muted=65535"
         "|clid=3 cid=2 client_database_id=13 client_nickname=Bob client_type=1 client_flag_talking=0 "
         "client_input_muted=0 client_output_muted=0 client_input_hardware=0 client_output_hardware=0 "
         "client_talk_power=0 client_is_talker=0 client_is_priority_speaker=0 client_is_recording=0 "
         "client_is_channel_commander=0 client_is_muted=0",
         0},
        // Words that are no option, and options of the other list, change nothing.
        {"channelclientlist cid=1 -topic whatever", "clid=1 cid=1 client_database_id=11 client_nickname=Me client_type=0",
         0},
        {"channelclientlist cid=3 -away", "", 0},
        {"channelclientlist", nullptr, 1539},
        {"channelclientlist cid=x", nullptr, 1540},
        {"channelclientlist cid=99", nullptr, fakehost::ErrorInvalidChannel},
    });
}

TEST_F(CommandsTest, EveryClientOptionAtOnce)
{
    const std::string reply = run("channelclientlist cid=1 -country -icon -groups -uid -voice -away");
    EXPECT_EQ("clid=1 cid=1 client_database_id=11 client_nickname=Me client_type=0 client_away=0 "
              "client_away_message client_flag_talking=1 client_input_muted=0 client_output_muted=0 "
              "client_input_hardware=0 client_output_hardware=0 client_talk_power=0 client_is_talker=0 "
              "client_is_priority_speaker=0 client_is_recording=0 client_is_channel_commander=0 client_is_muted=0 "
              "client_unique_identifier=uid-me client_servergroups client_channel_group_id=0 client_icon_id=0 "
              "client_country\n\r" +
                  errorLine(0),
              reply);
}

TEST_F(CommandsTest, LongListsAreBuiltInLinearTimeAndBoundedWithAnErrorLine)
{
    const int extra = 10000;
    for (int i = 0; i < extra; ++i)
        host->addClient(1, static_cast<uint16_t>(100 + i), 1, "c" + std::to_string(i));

    g_allocatedBytes = 0;
    g_countAllocations = true;
    const std::string reply = run("clientlist");
    g_countAllocations = false;
    const std::size_t records = static_cast<std::size_t>(std::count(reply.begin(), reply.end(), '|')) + 1;
    EXPECT_EQ(static_cast<std::size_t>(extra + 3), records);
    EXPECT_NE(std::string::npos, reply.find("|clid=10099 cid=1 client_database_id=0 client_nickname=c9999 "
                                            "client_type=0\n\r" + errorLine(0)))
        << reply.substr(reply.size() - std::min<std::size_t>(reply.size(), 200));
    // Copying the line built so far at each record would allocate thousands of times its length.
    EXPECT_LT(g_allocatedBytes.load(), 200 * reply.size());

    // Past what a connection's queue holds, the list is answered with an error line that says so.
    const std::string longName(500, 'n');
    for (int i = 0; i < extra; ++i)
        host->setClientVariable(1, static_cast<uint16_t>(100 + i), 1, longName);
    const std::string tooLong = run("clientlist");
    EXPECT_EQ(0u, tooLong.find("error id=1 ")) << tooLong.substr(0, 200);
    EXPECT_NE(std::string::npos, tooLong.find("extra_msg=the\\sreply\\sof\\s")) << tooLong.substr(0, 200);
    EXPECT_EQ("clid=1 cid=1\n\r" + errorLine(0), run("whoami"));
}

TEST_F(CommandsTest, OwnTalkingFlagComesFromTheOwnClient)
{
    EXPECT_EQ(expected({"", "clid=1 cid=1 client_database_id=11 client_nickname=Me client_type=0", 0}),
              run("channelclientlist cid=1"));
    EXPECT_EQ((std::vector<std::string>{
                  "getChannelClientList(sch=1 cid=1)",
                  "getChannelOfClient(sch=1 clid=1)",
                  "getClientVariableAsUInt64(sch=1 clid=1 var=32)",
                  "getClientVariableAsString(sch=1 clid=1 var=1)",
                  "freeHostMemory(getClientVariableAsString(sch=1 clid=1 var=1))",
                  "getClientVariableAsInt(sch=1 clid=1 var=40)",
                  "freeHostMemory(getChannelClientList(sch=1 cid=1))",
              }),
              calls());

    run("clientlist -voice");
    std::vector<std::string> made = calls();
    EXPECT_TRUE(contains(made, "getOwnClientVariableAsInt(sch=1 var=4)")) << joined(made);
    EXPECT_FALSE(contains(made, "getClientVariableAsInt(sch=1 clid=1 var=4)")) << joined(made);
    EXPECT_TRUE(contains(made, "getClientVariableAsInt(sch=1 clid=2 var=4)")) << joined(made);
    EXPECT_TRUE(contains(made, "getClientVariableAsInt(sch=1 clid=3 var=4)")) << joined(made);

    // When the client cannot name its own client, every flag comes from the client function.
    host->setSlotError(73, fakehost::ErrorNotConnected);
    const std::string reply = run("channelclientlist cid=1 -voice");
    EXPECT_NE(std::string::npos, reply.find("client_flag_talking=1")) << reply;
    made = calls();
    EXPECT_FALSE(contains(made, "getOwnClientVariableAsInt(sch=1 var=4)")) << joined(made);
    EXPECT_TRUE(contains(made, "getClientVariableAsInt(sch=1 clid=1 var=4)")) << joined(made);
}

TEST_F(CommandsTest, ChannelListsCountClientsOfSubscribedChannelsOnly)
{
    runCases({
        {"channellist",
         "cid=1 pid=0 channel_order=0 channel_name=Lobby channel_flag_are_subscribed=1 total_clients=1"
         "|cid=2 pid=0 channel_order=1 channel_name=Talk channel_flag_are_subscribed=1 total_clients=2"
         "|cid=3 pid=1 channel_order=2 channel_name=Empty channel_flag_are_subscribed=0",
         0},
        {"channellist -limits -icon -voice -flags -topic -away",
         "cid=1 pid=0 channel_order=0 channel_name=Lobby channel_topic channel_flag_default=0 channel_flag_password=0 "
         "channel_flag_permanent=0 channel_flag_semi_permanent=0 channel_codec=0 channel_codec_quality=0 "
         "channel_needed_talk_power=0 channel_icon_id=0 channel_maxclients=0 channel_maxfamilyclients=0 "
         "channel_flag_are_subscribed=1 total_clients=1"
         "|cid=2 pid=0 channel_order=1 channel_name=Talk channel_topic=chat\\shere channel_flag_default=1 "
         "channel_flag_password=65535 channel_flag_permanent=0 channel_flag_semi_permanent=0 channel_codec=4 "
         "channel_codec_quality=10 channel_needed_talk_power=-3 channel_icon_id=-2 channel_maxclients=-1 "
         "channel_maxfamilyclients=-1 channel_flag_are_subscribed=1 total_clients=2"
         "|cid=3 pid=1 channel_order=2 channel_name=Empty channel_topic channel_flag_default=0 "
         "channel_flag_password=0 channel_flag_permanent=0 channel_flag_semi_permanent=0 channel_codec=0 "
         "channel_codec_quality=0 channel_needed_talk_power=0 channel_icon_id=0 channel_maxclients=0 "
         "channel_maxfamilyclients=0 channel_flag_are_subscribed=0",
         0},
    });

    // The subscription is tested on the whole int: 65536 is subscribed although its low bits are 0.
    host->setChannelVariable(1, 3, 26, "65536");
    const std::string reply = run("channellist");
    EXPECT_NE(std::string::npos, reply.find("channel_name=Empty channel_flag_are_subscribed=0 total_clients=0\n\r"))
        << reply;
}

TEST_F(CommandsTest, HostFailureInTheMiddleOfAListSendsNothing)
{
    // Each failure answers only its error line; every list handed out is given back.
    host->setChannelVariableError(1, 3, 0, fakehost::ErrorInvalidChannel);
    runCases({{"channellist", nullptr, fakehost::ErrorInvalidChannel}});
    std::vector<std::string> made = calls();
    EXPECT_TRUE(contains(made, "freeHostMemory(getChannelList(sch=1))")) << joined(made);
    EXPECT_TRUE(contains(made, "freeHostMemory(getChannelClientList(sch=1 cid=2))")) << joined(made);
    EXPECT_FALSE(contains(made, "getChannelVariableAsInt(sch=1 cid=3 var=26)")) << joined(made);
    host->setChannelVariableError(1, 3, 0, 0);

    host->setClientVariableError(1, 2, 1, fakehost::ErrorInvalidClient);
    runCases({{"clientlist -away", nullptr, fakehost::ErrorInvalidClient},
              {"channelclientlist cid=2", nullptr, fakehost::ErrorInvalidClient}});
    made = calls();
    EXPECT_TRUE(contains(made, "freeHostMemory(getChannelClientList(sch=1 cid=2))")) << joined(made);
    EXPECT_FALSE(contains(made, "getClientVariableAsInt(sch=1 clid=2 var=40)")) << joined(made);
    host->setClientVariableError(1, 2, 1, 0);

    // A failing count of a subscribed channel's clients, and the lists themselves.
    host->setSlotError(94, fakehost::ErrorInvalidConnection);
    runCases({{"channellist", nullptr, fakehost::ErrorInvalidConnection}});
    host->setSlotError(94, 0);
    host->setSlotError(82, fakehost::ErrorNotConnected);
    host->setSlotError(93, fakehost::ErrorNotConnected);
    runCases({{"clientlist", nullptr, fakehost::ErrorNotConnected}, {"channellist", nullptr, fakehost::ErrorNotConnected}});
}

TEST_F(CommandsTest, VariablesByName)
{
    host->setServerVariableName("server_broken", 77);
    runCases({
        {"clientvariable clid=2 client_nickname client_country", "clid=2 client_nickname=Alice\\sSmith client_country=DE",
         0},
        {"clientvariable clid=1 client_nickname|clid=2 client_nickname",
         "clid=1 client_nickname=Me|clid=2 client_nickname=Alice\\sSmith", 0},
        // A value given with a name is ignored: the name alone counts.
        {"clientvariable clid=3 client_country=xx", "clid=3 client_country=FR", 0},
        {"clientvariable clid=5 no_such_var", "Unknown parameter 'no_such_var' to clientvariable", 1538},
        {"clientvariable clid=1 client_nickname|clid=2 no_such_var",
         "Unknown parameter 'no_such_var' to clientvariable", 1538},
        {"clientvariable client_nickname", nullptr, 1539},
        {"clientvariable clid=1 client_nickname|clid=x client_nickname", nullptr, 1540},
        {"clientvariable clid=70000 client_nickname", nullptr, 1540},
        {"clientvariable clid=99 client_nickname", nullptr, fakehost::ErrorInvalidClient},
        {"channelvariable cid=2 channel_name channel_topic|cid=3 channel_name",
         "cid=2 channel_name=Talk channel_topic=chat\\shere|cid=3 channel_name=Empty", 0},
        {"channelvariable cid=2 client_nickname", "Unknown parameter 'client_nickname' to channelvariable", 1538},
        {"channelvariable channel_name", nullptr, 1539},
        {"channelvariable cid=99 channel_name", nullptr, fakehost::ErrorInvalidChannel},
        {"servervariable server_name server_platform", "server_name=Sample\\sserver server_platform", 0},
        {"servervariable", "", 0},
        {"servervariable server_name nope", "Unknown parameter 'nope' to servervariable", 1538},
    });

    // A value the client cannot give counts as an unknown name for the server.
    host->setSlotError(99, fakehost::ErrorUnknownVariable);
    runCases({{"servervariable server_name", "Unknown parameter 'server_name' to servervariable", 1538}});
    host->setSlotError(99, 0);

    // A value that fails for one client stops the command before anything is sent.
    host->setClientVariableError(1, 2, 58, fakehost::ErrorInvalidClient);
    runCases({{"clientvariable clid=1 client_nickname|clid=2 client_country", nullptr, fakehost::ErrorInvalidClient}});
}

TEST_F(CommandsTest, ClientUpdateSetsAllowedVariablesAndWaitsForTheServer)
{
    // The error line is the server's answer to the flush, carrying the connection's return code.
    host->setFlushAnswer(fakehost::ErrorInvalidClient, "flood");
    EXPECT_EQ("error id=512 msg=" + telnetEscaped(host->errorText(512)) + " extra_msg=flood\n\r",
              run("clientupdate client_nickname=New\\sName client_away_message=a\\/b"));
    std::vector<std::string> made = calls();
    const std::string code = returnCodeArgument();
    EXPECT_EQ(m_prefix, code.substr(0, m_prefix.size())) << joined(made);
    EXPECT_EQ((std::vector<std::string>{
                  "lookupClientVariableID(name=\"client_nickname\")",
                  "setOwnClientVariableAsString(sch=1 var=1 value=\"New Name\")",
                  "lookupClientVariableID(name=\"client_away_message\")",
                  "setOwnClientVariableAsString(sch=1 var=39 value=\"a/b\")",
                  "flushOwnClientUpdates(sch=1 returnCode=\"" + code + "\")",
              }),
              made);
    EXPECT_EQ("New Name", host->clientVariable(1, 1, 1).value_or(""));
    host->setFlushAnswer(0);

    // A refused name: what came before it is flushed without a return code, so no second answer.
    runCases({{"clientupdate client_away=1 foo=1", "Unknown parameter 'foo' to clientupdate", 1538}});
    made = calls();
    EXPECT_TRUE(contains(made, "flushOwnClientUpdates(sch=1 returnCode=null)")) << joined(made);
    EXPECT_EQ("1", host->clientVariable(1, 1, 38).value_or(""));

    // A known name outside the allowed ones is refused before anything is set.
    runCases({{"clientupdate client_database_id=5", "Unknown parameter 'client_database_id' to clientupdate", 1538},
              // Nothing to send: the client says so, and the command is done.
              {"clientupdate", nullptr, 0}});

    runCases({{"clientupdate client_input_muted=1 client_output_muted=1 client_is_channel_commander=1", nullptr, 0}});
    EXPECT_EQ("1", host->clientVariable(1, 1, 57).value_or(""));

    // Host refusals: of a value (flushed without a return code), and of the flush itself.
    host->setSlotError(77, fakehost::ErrorNotConnected);
    runCases({{"clientupdate client_away=0", nullptr, fakehost::ErrorNotConnected}});
    EXPECT_TRUE(contains(calls(), "flushOwnClientUpdates(sch=1 returnCode=null)")) << joined(calls());
    host->setSlotError(77, 0);
    host->setSlotError(78, fakehost::ErrorInvalidConnection);
    runCases({{"clientupdate client_away=0", nullptr, fakehost::ErrorInvalidConnection}});
    host->setSlotError(78, 0);

    // Exactly one error line per command: the next command's reply comes next.
    runCases({{"hashpassword password=abc", "passwordhash=qZk+NkcGgWq6PiVxeFDCbJzQ2J0=", 0}});
}

TEST_F(CommandsTest, MuteAndUnmuteInOneCall)
{
    runCases({{"clientmute clid=2|clid=3", nullptr, 0}});
    EXPECT_EQ((std::vector<std::string>{"muteClients(sch=1 ids=[2,3] returnCode=null)"}), calls());
    EXPECT_TRUE(host->isMuted(1, 2));
    EXPECT_TRUE(host->isMuted(1, 3));

    // One bad record mutes nobody.
    runCases({{"clientunmute clid=2|clid=x", nullptr, 1540}, {"clientunmute", nullptr, 1539}});
    EXPECT_TRUE(calls().empty());
    EXPECT_TRUE(host->isMuted(1, 2));

    runCases({{"clientunmute clid=3", nullptr, 0}});
    EXPECT_FALSE(host->isMuted(1, 3));
    EXPECT_TRUE(host->isMuted(1, 2));

    // The client's refusal is the answer, not a success.
    runCases({{"clientmute clid=99", nullptr, fakehost::ErrorInvalidClient},
              {"clientunmute clid=2|clid=99", nullptr, fakehost::ErrorInvalidClient}});
}

TEST_F(CommandsTest, PasswordChecksAnswerLaterOnNewServers)
{
    runCases({
        {"verifyserverpassword password=secret", nullptr, 0},
        {"verifyserverpassword password=wrong", nullptr, fakehost::ErrorInvalidPassword},
        {"verifychannelpassword cid=2 password=door", nullptr, 0},
        {"verifychannelpassword cid=2 password=wall", nullptr, fakehost::ErrorInvalidPassword},
        {"verifychannelpassword cid=99 password=door", nullptr, fakehost::ErrorInvalidChannel},
        {"verifyserverpassword", nullptr, 1539},
        {"verifychannelpassword password=door", nullptr, 1539},
        {"verifychannelpassword cid=2", nullptr, 1539},
        {"verifychannelpassword cid=x password=door", nullptr, 1540},
    });

    // The error line of 0 came from the server's answer: it carried the connection's return code.
    run("verifychannelpassword cid=2 password=door");
    EXPECT_EQ(m_prefix, returnCodeArgument().substr(0, m_prefix.size())) << joined(calls());

    host->setServerVersion(1, 14690);
    runCases({{"verifyserverpassword password=wrong", nullptr, fakehost::ErrorInvalidPassword}});
    host->setServerVersion(1, 14689);
    runCases({{"verifyserverpassword password=secret", nullptr, 2},
              {"verifychannelpassword cid=2 password=door", nullptr, 2}});
    EXPECT_EQ((std::vector<std::string>{"getServerVersionNumber(sch=1)"}), calls());
    // One line each: the next command's reply follows at once.
    runCases({{"hashpassword password=", "passwordhash=2jmj7l5rSw0yVb\\/vlWAYkK\\/YBwk=", 0}});
}

TEST_F(CommandsTest, HashPassword)
{
    const std::string spaced = opensslSha1Base64("a b|c/d");
    ASSERT_EQ(28u, spaced.size());
    runCases({
        {"hashpassword password=", "passwordhash=2jmj7l5rSw0yVb\\/vlWAYkK\\/YBwk=", 0},
        {"hashpassword password", "passwordhash=2jmj7l5rSw0yVb\\/vlWAYkK\\/YBwk=", 0},
        {"hashpassword password=abc", "passwordhash=qZk+NkcGgWq6PiVxeFDCbJzQ2J0=", 0},
        {"hashpassword", nullptr, 1539},
    });
    EXPECT_EQ("2jmj7l5rSw0yVb/vlWAYkK/YBwk=", opensslSha1Base64(""));
    EXPECT_EQ("qZk+NkcGgWq6PiVxeFDCbJzQ2J0=", opensslSha1Base64("abc"));
    // The password is hashed as the client meant it: escapes undone first.
    EXPECT_EQ("passwordhash=" + telnetEscaped(spaced) + "\n\r" + errorLine(0),
              run("hashpassword password=a\\sb\\pc\\/d"));
}

TEST_F(CommandsTest, WithoutConnectionRecordOnlyTheHashAnswers)
{
    m_client.send("dummy_connectionlost\n");
    // Nothing is read, not even the parameters, and the client is not asked.
    for (const char* line : {"clientlist", "channelclientlist cid=x", "channellist", "clientvariable clid=x",
                             "channelvariable cid=1 channel_name", "servervariable server_name",
                             "clientupdate client_away=1", "clientmute clid=x", "clientunmute clid=2",
                             "verifyserverpassword", "verifychannelpassword cid=1 password=x"}) {
        EXPECT_EQ(errorLine(1792), run(line)) << line;
        EXPECT_TRUE(calls().empty()) << line << ":\n" << joined(calls());
    }
    runCases({{"hashpassword password=abc", "passwordhash=qZk+NkcGgWq6PiVxeFDCbJzQ2J0=", 0}});
}

TEST_F(CommandsTest, EveryCommandHasHelp)
{
    // A help text ends with the empty line after its last line feed, then the error line.
    const std::string end = "\n\r\n\r" + errorLine(0);
    const std::string help = run("help", end);
    for (const char* command : {"clientlist", "channelclientlist", "channellist", "clientvariable", "channelvariable",
                                "servervariable", "clientupdate", "clientmute", "clientunmute", "verifyserverpassword",
                                "verifychannelpassword", "hashpassword"}) {
        EXPECT_NE(std::string::npos, help.find("  " + std::string(command) + " ")) << command;
        const std::string text = run(std::string("help ") + command, end);
        EXPECT_EQ("Usage: " + std::string(command), text.substr(0, 7 + std::string(command).size())) << text;
        EXPECT_EQ(errorLine(0), text.substr(text.size() - errorLine(0).size())) << text;
    }
}

} // namespace

#include "fake_host.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>
#include <thread>

using namespace fakehost;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

const std::set<int> kNamedSlots = {4,   5,   6,   64,  65,  73,  74,  77,  78,  79,  80,  81,  82,
                                   83,  84,  85,  86,  93,  94,  95,  96,  99,  112, 135, 136, 176,
                                   177, 178, 180, 181, 182, 183, 187, 189, 190, 191, 192, 193};

class FakeHostTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        host = std::make_unique<FakeHost>(m_dir.path());
        host->addSampleWorld();
    }
    void TearDown() override { host.reset(); }

    bool startPlugin()
    {
        QString error;
        bool ok = host->start(QStringLiteral(VXM_TESTPLUGIN_FILE), "testplugin", &error);
        EXPECT_TRUE(ok) << error.toStdString();
        return ok;
    }
    // What the test plug-in reported, in order.
    std::vector<std::string> pluginLog() const
    {
        std::vector<std::string> out;
        for (const LogLine& l : host->logLines())
            if (l.channel == "TestPlugin")
                out.push_back(l.text);
        return out;
    }
    bool pluginLogged(const std::string& part) const
    {
        for (const std::string& line : pluginLog())
            if (line.find(part) != std::string::npos)
                return true;
        return false;
    }
    const HostFunctions& table() const { return host->hostFunctions(); }
    std::string folder() const { return QDir(m_dir.path()).absolutePath().toStdString() + "/"; }

    QTemporaryDir m_dir;
    std::unique_ptr<FakeHost> host;
};

// ---- Reserved entries ----

TEST_F(FakeHostTest, EveryReservedSlotTrapsWithItsOwnNumber)
{
    VxmReservedSlot entries[VXM_HOST_SLOT_COUNT];
    std::memcpy(entries, &table(), sizeof entries);
    for (int n = 0; n < VXM_HOST_SLOT_COUNT; ++n) {
        ASSERT_NE(entries[n], nullptr) << "slot " << n;
        if (kNamedSlots.count(n))
            continue;
        unsigned result = reinterpret_cast<unsigned (*)(void)>(entries[n])();
        EXPECT_NE(result, 0u) << "a trap must not report success";
        std::vector<std::string> faults = host->takeFaults();
        EXPECT_THAT(faults, ElementsAre("reserved: unexpected host slot " + std::to_string(n)));
    }
    // Named entries do not trap.
    table().getCurrentServerConnectionHandlerID();
    EXPECT_TRUE(host->faults().empty());
}

TEST_F(FakeHostTest, PluginCallingAReservedSlotIsCaught)
{
    ASSERT_TRUE(startPlugin());
    host->pluginCommand(1, "test", "slot 7");
    host->pluginCommand(1, "test", "slot 194");
    EXPECT_THAT(host->takeFaults(), ElementsAre(HasSubstr("unexpected host slot 7"), HasSubstr("unexpected host slot 194")));
    EXPECT_TRUE(pluginLogged("slot 7 returned 1"));
    auto traps = host->calls("reserved");
    ASSERT_EQ(traps.size(), 2u);
    EXPECT_EQ(traps[0].slot, 7);
    EXPECT_EQ(traps[1].slot, 194);
}

// ---- Memory handed to the plug-in ----

TEST_F(FakeHostTest, HostMemoryIsTrackedThroughTheTable)
{
    char* text = nullptr;
    ASSERT_EQ(table().getErrorText(512, &text), 0u);
    EXPECT_STREQ(text, "invalid client id");
    EXPECT_EQ(host->outstandingAllocations(), 1u);
    table().freeHostMemory(text);
    table().freeHostMemory(nullptr); // allowed
    EXPECT_EQ(host->outstandingAllocations(), 0u);
    EXPECT_TRUE(host->faults().empty());

    // Given back twice: the second time the host no longer knows it.
    ASSERT_EQ(table().getErrorText(0, &text), 0u);
    table().freeHostMemory(text);
    table().freeHostMemory(text);
    EXPECT_THAT(host->takeFaults(), ElementsAre(HasSubstr("was not handed out by the host")));

    // A block of someone else's.
    void* foreign = std::malloc(8);
    table().freeHostMemory(foreign);
    EXPECT_THAT(host->takeFaults(), ElementsAre(HasSubstr("was not handed out by the host")));
    std::free(foreign);
}

TEST_F(FakeHostTest, LeakAndForeignFreeOfAPluginAreCaught)
{
    ASSERT_TRUE(startPlugin());
    host->pluginCommand(1, "test", "foreign-free");
    EXPECT_THAT(host->takeFaults(), ElementsAre(HasSubstr("freeHostMemory")));
    host->pluginCommand(1, "test", "double-free");
    EXPECT_THAT(host->takeFaults(), ElementsAre(HasSubstr("given back already")));
    host->pluginCommand(1, "test", "leak");
    EXPECT_TRUE(host->faults().empty()) << "a leak shows only at unload";
    host->unload();
    EXPECT_THAT(host->takeFaults(), ElementsAre(AllOf(HasSubstr("1 block(s) of host memory not given back at unload"),
                                                      HasSubstr("getErrorText(0)"))));
    EXPECT_EQ(host->outstandingAllocations(), 0u);
}

// ---- Life cycle and events ----

TEST_F(FakeHostTest, PluginReceivesTableAndEventsInOrderAndUnloadsCleanly)
{
    ASSERT_TRUE(startPlugin());
    EXPECT_EQ(host->name(), "TestPlugin");
    EXPECT_EQ(host->requestAutoload(), 1);
    host->connectStatusChange(1, STATUS_CONNECTION_ESTABLISHED, 0);
    host->currentServerConnectionChanged(1);
    host->talkStatusChange(1, 1, 0, 2);
    host->incomingCtrlPortEvent(1, "notifytextmessage msg=hi");
    host->clientMove(1, 2, 2, 1, RETAIN_VISIBILITY, "moved");
    host->clientMoveTimeout(1, 2, 1, 0, LEAVE_VISIBILITY, "timeout");
    host->clientMoveMoved(1, 2, 0, 1, ENTER_VISIBILITY, 3, "Bob", "uid-bob", "go");
    host->clientKickFromChannel(1, 2, 1, 2, RETAIN_VISIBILITY, 3, "Bob", "uid-bob", "out");
    host->clientKickFromServer(1, 2, 2, 0, LEAVE_VISIBILITY, 3, "Bob", "uid-bob", "bye");
    host->pluginCommand(1, "other", "hello");
    EXPECT_EQ(host->serverError(1, "ok", 0, nullptr, ""), 0);
    EXPECT_EQ(host->serverPermissionError(1, "denied", 2568, "PR_x", 17), 1);
    host->serverStop(1, "maintenance");
    EXPECT_EQ(host->infoData(1, 2, PLUGIN_CLIENT), std::optional<std::string>("client 2 on 1"));
    EXPECT_EQ(host->infoData(1, 2, PLUGIN_CHANNEL), std::nullopt);
    host->configure();
    host->unload();

    const std::string f = folder();
    EXPECT_THAT(pluginLog(),
                ElementsAre("vxmplugin_setFunctionPointers",
                            "vxmplugin_init app=" + f + " config=" + f + "config/ plugins=" + f + "plugins/",
                            "vxmplugin_registerPluginID \"testplugin\" returnCode=PR_testplugin_1",
                            "vxmplugin_requestAutoload", "vxmplugin_onConnectStatusChangeEvent 1 4 0",
                            "vxmplugin_currentServerConnectionChanged 1", "vxmplugin_onTalkStatusChangeEvent 1 1 0 2",
                            "vxmplugin_onIncomingCtrlPortEvent 1 \"notifytextmessage msg=hi\"",
                            "vxmplugin_onClientMoveEvent 1 2 2 1 1 \"moved\"",
                            "vxmplugin_onClientMoveTimeoutEvent 1 2 1 0 2 \"timeout\"",
                            "vxmplugin_onClientMoveMovedEvent 1 2 0 1 0 3 \"Bob\" \"uid-bob\" \"go\"",
                            "vxmplugin_onClientKickFromChannelEvent 1 2 1 2 1 3 \"Bob\" \"uid-bob\" \"out\"",
                            "vxmplugin_onClientKickFromServerEvent 1 2 2 0 2 3 \"Bob\" \"uid-bob\" \"bye\"",
                            "vxmplugin_onPluginCommandEvent 1 \"other\" \"hello\"",
                            "vxmplugin_onServerErrorEvent 1 \"ok\" 0 null \"\"",
                            "vxmplugin_onServerPermissionErrorEvent 1 \"denied\" 2568 \"PR_x\" 17",
                            "vxmplugin_onServerStopEvent 1 \"maintenance\"", "vxmplugin_infoData 1 2 2",
                            "vxmplugin_freeMemory", "vxmplugin_infoData 1 2 1", "vxmplugin_configure",
                            "vxmplugin_shutdown"));
    for (const JournalEntry& e : host->journal())
        EXPECT_TRUE(e.clientThread) << e.text();
    EXPECT_TRUE(host->faults().empty());
    EXPECT_FALSE(host->isLoaded());

    // A host call after shutdown is a fault (a plug-in thread that outlived shutdown).
    table().getCurrentServerConnectionHandlerID();
    EXPECT_THAT(host->takeFaults(), ElementsAre(HasSubstr("called after vxmplugin_shutdown")));
}

TEST_F(FakeHostTest, LoadRefusesWhatIsNoPlugin)
{
    QString error;
    EXPECT_FALSE(host->load(m_dir.filePath(QStringLiteral("missing.so")), &error));
    EXPECT_THAT(error.toStdString(), HasSubstr("cannot load"));
    EXPECT_FALSE(host->isLoaded());
}

// ---- Requests answered later ----

TEST_F(FakeHostTest, ForwardedCommandIsAnsweredLaterOnTheClientThread)
{
    ASSERT_TRUE(startPlugin());
    CommandAnswer answer;
    answer.lines = {"notifyserverinfo name=Sample\\sserver", "notifyserverinfo more=1"};
    answer.error = 0;
    host->setCommandAnswer("serverinfo", answer);
    host->pluginCommand(1, "test", "forward serverinfo");
    // Nothing arrives from inside the request.
    EXPECT_TRUE(pluginLogged("forward returned 0 returnCode=PR_testplugin_2"));
    EXPECT_FALSE(pluginLogged("vxmplugin_onIncomingCtrlPortEvent"));
    ASSERT_TRUE(host->drainAnswers());
    std::vector<std::string> log = pluginLog();
    auto at = std::find(log.begin(), log.end(), "forward returned 0 returnCode=PR_testplugin_2");
    ASSERT_NE(at, log.end());
    EXPECT_THAT(std::vector<std::string>(at + 1, log.end()),
                ElementsAre("vxmplugin_onIncomingCtrlPortEvent 1 \"notifyserverinfo name=Sample\\sserver\"",
                            "vxmplugin_onIncomingCtrlPortEvent 1 \"notifyserverinfo more=1\"",
                            "vxmplugin_onServerErrorEvent 1 \"ok\" 0 \"PR_testplugin_2\" \"\""));

    // A refused command fails at once and is never answered.
    CommandAnswer refused;
    refused.refuse = 1538;
    host->setCommandAnswer("clientkick clid=2", refused);
    host->pluginCommand(1, "test", "forward clientkick clid=2");
    EXPECT_TRUE(pluginLogged("forward returned 1538"));
    ASSERT_TRUE(host->drainAnswers());
    EXPECT_EQ(host->calls("vxmplugin_onServerErrorEvent").size(), 1u);

    // An unscripted command ends with error 0 and no lines; a scripted error carries its text.
    CommandAnswer failing;
    failing.error = 768;
    failing.extraMessage = "no such channel";
    host->setCommandAnswer("channelinfo", failing);
    host->pluginCommand(1, "test", "forward channelinfo cid=9");
    ASSERT_TRUE(host->drainAnswers());
    EXPECT_EQ(pluginLog().back(),
              "vxmplugin_onServerErrorEvent 1 \"invalid channel id\" 768 \"PR_testplugin_4\" \"no such channel\"");
    EXPECT_TRUE(host->faults().empty());
}

TEST_F(FakeHostTest, OwnUpdatesAndPasswordChecksAreAnsweredAsEvents)
{
    ASSERT_TRUE(startPlugin());
    host->pluginCommand(1, "test", "flush Newname");
    EXPECT_TRUE(pluginLogged("flush returned 0"));
    EXPECT_EQ(host->clientVariable(1, 1, 1), std::optional<std::string>("Newname"));
    // Nothing left to send: 3, and no answer.
    EXPECT_EQ(table().flushOwnClientUpdates(1, "PR_none"), 3u);

    host->setServerConnectInfo(1, "127.0.0.1", 7000, "secret");
    host->setChannelPassword(1, 2, "chan");
    EXPECT_EQ(table().verifyServerPassword(1, "wrong", "PR_a"), 0u);
    EXPECT_EQ(table().verifyServerPassword(1, "secret", "PR_b"), 0u);
    EXPECT_EQ(table().verifyChannelPassword(1, 2, "chan", "PR_c"), 0u);
    EXPECT_EQ(table().verifyChannelPassword(1, 99, "chan", "PR_d"), unsigned(ErrorInvalidChannel));
    EXPECT_EQ(table().verifyServerPassword(42, "secret", "PR_e"), unsigned(ErrorInvalidConnection));
    ASSERT_TRUE(host->drainAnswers());
    std::vector<std::string> errors;
    for (const std::string& line : pluginLog())
        if (line.rfind("vxmplugin_onServerErrorEvent", 0) == 0)
            errors.push_back(line);
    EXPECT_THAT(errors, ElementsAre("vxmplugin_onServerErrorEvent 1 \"ok\" 0 \"PR_testplugin_2\" \"\"",
                                    "vxmplugin_onServerErrorEvent 1 \"invalid password\" 781 \"PR_a\" \"\"",
                                    "vxmplugin_onServerErrorEvent 1 \"ok\" 0 \"PR_b\" \"\"",
                                    "vxmplugin_onServerErrorEvent 1 \"ok\" 0 \"PR_c\" \"\""));
}

TEST_F(FakeHostTest, AnswersNeverReachAPluginThatShutDown)
{
    ASSERT_TRUE(startPlugin());
    CommandAnswer answer;
    answer.lines = {"notifyclientlist clid=1"};
    host->setCommandAnswer("clientlist", answer);
    // Without a return code the result lines still come, but no error event.
    EXPECT_EQ(table().sendCtrlPortCommand(1, "clientlist", nullptr), 0u);
    ASSERT_TRUE(host->drainAnswers());
    EXPECT_EQ(host->calls("vxmplugin_onIncomingCtrlPortEvent").size(), 1u);
    EXPECT_TRUE(host->calls("vxmplugin_onServerErrorEvent").empty());

    // Queued before shutdown, delivered after it: dropped, not sent into the stopped plug-in.
    host->pluginCommand(1, "test", "forward clientlist");
    host->shutdown();
    ASSERT_TRUE(host->drainAnswers());
    EXPECT_EQ(host->calls("vxmplugin_onIncomingCtrlPortEvent").size(), 1u);
    EXPECT_TRUE(host->calls("vxmplugin_onServerErrorEvent").empty());
    EXPECT_EQ(host->calls("answer").size(), 1u);
    host->unload();

    // Queued before an unload: dropped there, never delivered to the plug-in loaded after it.
    ASSERT_TRUE(startPlugin());
    host->pluginCommand(1, "test", "forward clientlist");
    host->unload();
    ASSERT_TRUE(startPlugin());
    ASSERT_TRUE(host->drainAnswers());
    EXPECT_EQ(host->calls("vxmplugin_onIncomingCtrlPortEvent").size(), 1u);
    EXPECT_EQ(host->calls("answer").size(), 2u);
    host->unload();
    EXPECT_TRUE(host->faults().empty());
}

TEST_F(FakeHostTest, ExportsCalledOffTheClientThreadAreFaults)
{
    ASSERT_TRUE(startPlugin());
    std::thread other([&]() { host->connectStatusChange(1, STATUS_CONNECTING, 0); });
    other.join();
    EXPECT_THAT(host->takeFaults(), ElementsAre(HasSubstr("called off the client thread")));
    // The plug-in's log call from that thread is journaled as another thread's.
    auto logs = host->calls("logMessage");
    ASSERT_FALSE(logs.empty());
    EXPECT_FALSE(logs.back().clientThread);
    EXPECT_EQ(logs.back().threadIndex, 1);
}

TEST_F(FakeHostTest, PluginCommandsAndInfoRequestsAreRecorded)
{
    ASSERT_TRUE(startPlugin());
    host->pluginCommand(1, "test", "broadcast 1&&Editor, Game");
    host->pluginCommand(1, "test", "info 5");
    ASSERT_TRUE(host->drainAnswers());
    auto commands = host->pluginCommands();
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].sch, 1u);
    EXPECT_EQ(commands[0].pluginID, "testplugin");
    EXPECT_EQ(commands[0].command, "1&&Editor, Game");
    EXPECT_EQ(commands[0].targetMode, PLUGINCOMMAND_TARGET_SERVER);
    EXPECT_FALSE(commands[0].hasTargetIDs);
    EXPECT_EQ(commands[0].returnCode, std::optional<std::string>("PR_testplugin_2"));
    auto requests = host->infoUpdateRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].type, PLUGIN_CLIENT);
    EXPECT_EQ(requests[0].id, 5u);

    // A plug-in id other than the registered one, and target mode 2 without ids, are faults.
    const vxm_uint16 ids[] = {2, 0};
    table().sendPluginCommand(1, "testplugin", "x", PLUGINCOMMAND_TARGET_CLIENT, ids, nullptr);
    EXPECT_TRUE(host->faults().empty());
    EXPECT_THAT(host->pluginCommands().back().targetIDs, ElementsAre(2));
    table().sendPluginCommand(1, "someone", "x", PLUGINCOMMAND_TARGET_CLIENT, nullptr, nullptr);
    EXPECT_THAT(host->takeFaults(),
                ElementsAre(HasSubstr("is not the registered id"), HasSubstr("target mode 2 without an id array")));
}

// ---- The world as the plug-ins see it ----

TEST_F(FakeHostTest, WorldAnswersThroughTheTable)
{
    host->addChannel(1, 3, 1, "Sub");
    host->addClient(1, 3, 3, "Carol");
    host->setClientVariable(1, 3, 38, "1");
    host->setClientVariable(1, 3, 39, "back soon");

    vxm_uint16* clients = nullptr;
    ASSERT_EQ(table().getClientList(1, &clients), 0u);
    EXPECT_EQ(std::vector<vxm_uint16>(clients, clients + 4), (std::vector<vxm_uint16>{1, 2, 3, 0}));
    table().freeHostMemory(clients);
    ASSERT_EQ(table().getChannelClientList(1, 3, &clients), 0u);
    EXPECT_EQ(clients[0], 3);
    EXPECT_EQ(clients[1], 0);
    table().freeHostMemory(clients);
    vxm_uint64* channels = nullptr;
    ASSERT_EQ(table().getChannelList(1, &channels), 0u);
    EXPECT_EQ(std::vector<vxm_uint64>(channels, channels + 4), (std::vector<vxm_uint64>{1, 2, 3, 0}));
    table().freeHostMemory(channels);

    int away = -1;
    EXPECT_EQ(table().getClientVariableAsInt(1, 3, 38, &away), 0u);
    EXPECT_EQ(away, 1);
    int notNumber = 0;
    EXPECT_EQ(table().getClientVariableAsInt(1, 3, 39, &notNumber), unsigned(ErrorVariableNotNumeric));
    vxm_uint64 unset = 7;
    EXPECT_EQ(table().getClientVariableAsUInt64(1, 3, 32, &unset), 0u);
    EXPECT_EQ(unset, 0u);
    EXPECT_EQ(table().getClientVariableAsInt(1, 99, 38, &away), unsigned(ErrorInvalidClient));
    EXPECT_EQ(table().getClientVariableAsInt(9, 3, 38, &away), unsigned(ErrorInvalidConnection));
    host->setClientVariableError(1, 3, 39, 1539);
    char* text = nullptr;
    EXPECT_EQ(table().getClientVariableAsString(1, 3, 39, &text), 1539u);
    EXPECT_EQ(text, nullptr);

    vxm_uint64 parent = 9;
    EXPECT_EQ(table().getParentChannel(1, 3, &parent), 0u);
    EXPECT_EQ(parent, 1u);
    char path[512], password[512];
    EXPECT_EQ(table().getChannelConnectInfo(1, 3, path, password, sizeof path), 0u);
    EXPECT_STREQ(path, "Lobby/Sub");
    EXPECT_STREQ(password, "");
    char host4[4];
    char pw4[4];
    vxm_uint16 port = 0;
    EXPECT_EQ(table().getServerConnectInfo(1, host4, &port, pw4, sizeof host4), 0u);
    EXPECT_STREQ(host4, "127");
    EXPECT_EQ(port, 7000);

    size_t id = 0;
    EXPECT_EQ(table().lookupClientVariableID("client_away_message", &id), 0u);
    EXPECT_EQ(id, 39u);
    EXPECT_EQ(table().lookupChannelVariableID("channel_flag_are_subscribed", &id), 0u);
    EXPECT_EQ(id, 26u);
    EXPECT_EQ(table().lookupClientVariableID("no_such_thing", &id), unsigned(ErrorUnknownVariable));

    EXPECT_EQ(table().getErrorText(123456, &text), unsigned(ErrorUndefined));
    EXPECT_EQ(text, nullptr);

    const vxm_uint16 mute[] = {2, 3, 0};
    EXPECT_EQ(table().muteClients(1, mute, nullptr), 0u);
    EXPECT_TRUE(host->isMuted(1, 2) && host->isMuted(1, 3));
    EXPECT_FALSE(host->isMuted(1, 1));

    host->setSlotError(82, 1800);
    EXPECT_EQ(table().getClientList(1, &clients), 1800u);
    host->setSlotError(82, 0);

    char small[8];
    table().getConfigPath(small, sizeof small);
    EXPECT_EQ(std::strlen(small), 7u);
    EXPECT_EQ(table().getServerVersionNumber(1), 20000u);
    EXPECT_EQ(table().getServerVersionNumber(5), 0u);
    EXPECT_EQ(host->outstandingAllocations(), 0u);
    EXPECT_TRUE(host->faults().empty());
}

TEST_F(FakeHostTest, ConnectionsOwnClientAndServerThroughTheTable)
{
    host->addConnection(2); // not connected yet
    host->addConnection(3, 9);
    host->addClient(3, 9, 0, "Nine");
    host->setClientVariable(3, 9, 4, "1");
    host->setServerVariable(3, 1, "Third server");

    vxm_uint64* list = nullptr;
    ASSERT_EQ(table().getServerConnectionHandlerList(&list), 0u);
    EXPECT_EQ(std::vector<vxm_uint64>(list, list + 4), (std::vector<vxm_uint64>{1, 2, 3, 0}));
    table().freeHostMemory(list);
    host->removeConnection(2);
    ASSERT_EQ(table().getServerConnectionHandlerList(&list), 0u);
    EXPECT_EQ(std::vector<vxm_uint64>(list, list + 3), (std::vector<vxm_uint64>{1, 3, 0}));
    table().freeHostMemory(list);

    vxm_uint16 own = 0;
    EXPECT_EQ(table().getOwnClientID(3, &own), 0u);
    EXPECT_EQ(own, 9);
    host->setOwnClientID(3, 0);
    EXPECT_EQ(table().getOwnClientID(3, &own), unsigned(ErrorNotConnected));
    EXPECT_EQ(table().setOwnClientVariableAsString(3, 1, "x"), unsigned(ErrorNotConnected));
    EXPECT_EQ(table().getOwnClientID(2, &own), unsigned(ErrorInvalidConnection));
    host->setOwnClientID(3, 9);
    int talking = 0;
    EXPECT_EQ(table().getOwnClientVariableAsInt(3, 4, &talking), 0u);
    EXPECT_EQ(talking, 1);

    char* text = nullptr;
    ASSERT_EQ(table().getServerVariableAsString(3, 1, &text), 0u);
    EXPECT_STREQ(text, "Third server");
    table().freeHostMemory(text);
    ASSERT_EQ(table().getServerVariableAsString(3, 2, &text), 0u);
    EXPECT_STREQ(text, "");
    table().freeHostMemory(text);

    host->setCurrentConnection(3);
    EXPECT_EQ(table().getCurrentServerConnectionHandlerID(), 3u);
    const vxm_uint16 nine[] = {9, 0};
    table().muteClients(3, nine, nullptr);
    EXPECT_TRUE(host->isMuted(3, 9));
    EXPECT_EQ(table().unmuteClients(3, nine, nullptr), 0u);
    EXPECT_FALSE(host->isMuted(3, 9));
    const vxm_uint16 unknown[] = {77, 0};
    EXPECT_EQ(table().unmuteClients(3, unknown, nullptr), unsigned(ErrorInvalidClient));
    EXPECT_TRUE(host->faults().empty());
    EXPECT_EQ(host->outstandingAllocations(), 0u);
}

TEST_F(FakeHostTest, WaitForCallLooksOnlyFromTheGivenEntry)
{
    ASSERT_TRUE(startPlugin());
    host->pluginCommand(1, "test", "forward first");
    ASSERT_TRUE(host->waitForCall("vxmplugin_onServerErrorEvent", "PR_testplugin_2", 5000));
    const std::uint64_t mark = host->nextSeq();
    EXPECT_FALSE(host->waitForCall("vxmplugin_onServerErrorEvent", "", 50, mark));
    host->pluginCommand(1, "test", "forward second");
    EXPECT_TRUE(host->waitForCall("vxmplugin_onServerErrorEvent", "PR_testplugin_3", 5000, mark));
    host->clearRecords();
    EXPECT_TRUE(host->journal().empty());
    EXPECT_TRUE(host->logLines().empty());
    EXPECT_EQ(host->returnCodes().size(), 3u); // return codes are not records of one step
}

// ---- Threads ----

TEST_F(FakeHostTest, HostCallsFromManyThreadsAtOnce)
{
    ASSERT_TRUE(startPlugin());
    host->pluginCommand(1, "test", "threads 8 60");
    // The world changes on the client thread while the plug-in's threads read it.
    for (int i = 0; i < 50; ++i) {
        host->addClient(1, static_cast<uint16>(10 + i), 1, "guest");
        host->moveClient(1, static_cast<uint16>(10 + i), 2);
        if (i % 2)
            host->removeClient(1, static_cast<uint16>(10 + i));
        QCoreApplication::processEvents();
    }
    ASSERT_TRUE(host->waitFor([&]() { return pluginLogged("threads done"); }, 60000));
    ASSERT_TRUE(host->drainAnswers(60000));
    host->unload();
    EXPECT_TRUE(host->faults().empty());
    size_t fromThreads = 0;
    for (const JournalEntry& e : host->journal())
        if (!e.clientThread)
            ++fromThreads;
    EXPECT_GT(fromThreads, 8u * 60u);
    // Every answer of a request made on a plug-in thread came on the client thread.
    for (const JournalEntry& e : host->calls("vxmplugin_onServerErrorEvent"))
        EXPECT_TRUE(e.clientThread);
    EXPECT_EQ(host->calls("vxmplugin_onServerErrorEvent").size(), 8u * 6u);
}

} // namespace

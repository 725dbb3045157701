// The application-list command: building and sending it on the plug-in's events, and the lists
// received from other users with their information-panel text.
#include <QSettings>
#include <cstdlib>
#include <gtest/gtest.h>

#include "client_folders.h"
#include "plugin_exports.h"
#include "received_lists.h"
#include "runwatch_manager.h"
#include "runwatcher_ops.h"

namespace {

// A loaded plug-in with broadcasting on, two server connections (own ids 7 and 3) and an empty
// catalogue, so that no scanner runs and lists are fed to the manager by hand.
class Plugin : public ::testing::Test {
protected:
    ClientFolders client;

    void SetUp() override
    {
        client.writeSettings("[Runwatcher]\nEnabled=true\n");
        client.host.setConnections({1, 2});
        client.host.ownIds = {{1, 7}, {2, 3}};
        ASSERT_EQ(runwatcher::init(), 0);
        ASSERT_NE(runwatchManager, nullptr);
        ASSERT_FALSE(runwatchManager->isScanning());
        runwatcher::registerPluginID("runwatcher-id");
    }
    void TearDown() override
    {
        runwatcher::shutdown();
        receivedLists.clear();
        EXPECT_EQ(client.host.outstandingMemory(), 0);
    }

    QList<SentCommand>& sent() { return client.host.sent; }
    QStringList commandsTo(vxm_uint64 sch) const
    {
        QStringList result;
        for (const SentCommand& c : client.host.sent) {
            if (c.sch == sch) {
                result << c.command;
            }
        }
        return result;
    }
};

TEST_F(Plugin, ScanResultsAreBroadcastOnlyWhenTheyChange)
{
    runwatchManager->onBroadcast("");  // the same as the initial empty list
    EXPECT_TRUE(sent().isEmpty());

    runwatchManager->onBroadcast("Alpha, Be\\#ta");
    ASSERT_EQ(sent().size(), 2);
    EXPECT_EQ(sent()[0].sch, 1u);
    EXPECT_EQ(sent()[0].command, "7&&Alpha, Be\\#ta");
    EXPECT_EQ(sent()[0].pluginID, "runwatcher-id");
    EXPECT_EQ(sent()[0].target, PLUGINCOMMAND_TARGET_SERVER);
    EXPECT_TRUE(sent()[0].ids.empty());
    EXPECT_TRUE(sent()[0].returnCode.isEmpty());
    EXPECT_EQ(sent()[1].sch, 2u);
    EXPECT_EQ(sent()[1].command, "3&&Alpha, Be\\#ta");

    runwatchManager->onBroadcast("Alpha, Be\\#ta");
    EXPECT_EQ(sent().size(), 2);
    runwatchManager->onBroadcast("Be\\#ta, Alpha");  // another order is another text
    EXPECT_EQ(sent().size(), 4);
}

TEST_F(Plugin, ConnectionsWithoutOwnIdOrWithoutListAreSkippedAndLogged)
{
    client.host.setConnections({1, 5, 2});  // no own id on connection 5
    client.host.setCurrentConnection(2);
    runwatchManager->onBroadcast("Alpha");
    EXPECT_EQ(commandsTo(1), QStringList{"7&&Alpha"});
    EXPECT_EQ(commandsTo(2), QStringList{"3&&Alpha"});
    EXPECT_TRUE(commandsTo(5).isEmpty());
    EXPECT_EQ(client.host.logLines(), QStringList{"1|Plugin|Error querying client ID"});

    client.host.setConnectionListError(1);
    runwatchManager->onBroadcast("Beta");
    EXPECT_EQ(sent().size(), 2);
    EXPECT_EQ(client.host.logLines().last(), "1|RunwatcherPlugin|Error querying scHandlerIDs list");
}

TEST_F(Plugin, NothingIsSentWhileThePluginIdIsUnknown)
{
    runwatcher::shutdown();
    ASSERT_EQ(pluginID, nullptr);
    runwatcher::init();
    runwatchManager->onBroadcast("Alpha");
    runwatcher::onClientEvent(1, 20, ENTER_VISIBILITY);
    runwatcher::onClientEvent(1, 7, RETAIN_VISIBILITY);
    EXPECT_TRUE(sent().isEmpty());

    runwatcher::registerPluginID("first");
    runwatcher::registerPluginID("second");  // replaces (and frees) the first copy
    EXPECT_STREQ(pluginID, "second");
    runwatcher::onConnectStatusChange(1, STATUS_CONNECTION_ESTABLISHED);
    ASSERT_EQ(sent().size(), 2);
    EXPECT_EQ(sent()[0].pluginID, "second");
    EXPECT_EQ(sent()[0].command, "7&&Alpha");
}

TEST_F(Plugin, SwitchingOffSendsAnEmptyListAndDropsQueuedResults)
{
    runwatchManager->onBroadcast("Alpha");
    sent().clear();
    runwatchManager->setEnabled(false);
    EXPECT_EQ(commandsTo(1), QStringList{"7&&"});
    EXPECT_EQ(commandsTo(2), QStringList{"3&&"});

    // A scan result that was queued before the switch went off.
    runwatchManager->onBroadcast("Alpha");
    EXPECT_EQ(sent().size(), 2);
    EXPECT_TRUE(runwatchManager->lastSent().isEmpty());

    // While off, events send nothing.
    runwatcher::onClientEvent(1, 20, ENTER_VISIBILITY);
    runwatcher::onClientEvent(1, 7, RETAIN_VISIBILITY);
    runwatcher::onConnectStatusChange(1, STATUS_CONNECTION_ESTABLISHED);
    EXPECT_EQ(sent().size(), 2);
}

TEST_F(Plugin, ConnectionEstablishedResendsANonEmptyListEverywhere)
{
    runwatcher::onConnectStatusChange(2, STATUS_CONNECTION_ESTABLISHED);
    EXPECT_TRUE(sent().isEmpty());
    runwatchManager->onBroadcast("Alpha");
    sent().clear();
    for (int status : std::initializer_list<int>{STATUS_CONNECTING, STATUS_CONNECTED, STATUS_CONNECTION_ESTABLISHING, 9}) {
        runwatcher::onConnectStatusChange(2, status);
    }
    EXPECT_TRUE(sent().isEmpty());
    runwatcher::onConnectStatusChange(2, STATUS_CONNECTION_ESTABLISHED);
    EXPECT_EQ(commandsTo(1), QStringList{"7&&Alpha"});
    EXPECT_EQ(commandsTo(2), QStringList{"3&&Alpha"});
}

TEST_F(Plugin, ClientEventsSendTheCurrentList)
{
    // A client coming into view gets the list, even an empty one, with a return code of ours.
    runwatcher::onClientEvent(1, 20, ENTER_VISIBILITY);
    ASSERT_EQ(sent().size(), 1);
    EXPECT_EQ(sent()[0].command, "7&&");
    EXPECT_EQ(sent()[0].target, PLUGINCOMMAND_TARGET_CLIENT);
    EXPECT_EQ(sent()[0].ids, std::vector<vxm_uint16>{20});
    EXPECT_FALSE(sent()[0].returnCode.isEmpty());

    runwatchManager->onBroadcast("Alpha");
    sent().clear();
    runwatcher::onClientEvent(1, 20, RETAIN_VISIBILITY);  // another client moved
    EXPECT_TRUE(sent().isEmpty());
    runwatcher::onClientEvent(1, 7, RETAIN_VISIBILITY);   // our own client moved
    ASSERT_EQ(sent().size(), 1);
    EXPECT_EQ(sent()[0].sch, 1u);
    EXPECT_EQ(sent()[0].command, "7&&Alpha");
    EXPECT_EQ(sent()[0].target, PLUGINCOMMAND_TARGET_SERVER);
    EXPECT_FALSE(sent()[0].returnCode.isEmpty());
    runwatcher::onClientEvent(1, 7, 3);                   // unknown visibility
    runwatcher::onClientEvent(9, 7, RETAIN_VISIBILITY);   // no own id on that connection
    EXPECT_EQ(sent().size(), 1);
}

TEST_F(Plugin, OnlyOwnReturnCodesAreClaimed)
{
    runwatcher::onClientEvent(1, 20, ENTER_VISIBILITY);
    runwatcher::onClientEvent(2, 7, ENTER_VISIBILITY);
    ASSERT_EQ(sent().size(), 2);
    const QByteArray first = sent()[0].returnCode;
    const QByteArray second = sent()[1].returnCode;
    ASSERT_NE(first, second);

    EXPECT_EQ(runwatcher::onServerError(nullptr), 0);
    EXPECT_EQ(runwatcher::onServerError(""), 0);
    EXPECT_EQ(runwatcher::onServerError("PR:ctrlport:17"), 0);  // another plug-in's request
    EXPECT_EQ(runwatcher::onServerError(second.constData()), 1);
    EXPECT_EQ(runwatcher::onServerError(first.constData()), 1);
    EXPECT_EQ(runwatcher::onServerError(first.constData()), 0);  // answered once only
}

TEST_F(Plugin, EventsAfterShutdownDoNothing)
{
    runwatchManager->onBroadcast("Alpha");
    sent().clear();
    runwatcher::shutdown();
    EXPECT_EQ(runwatchManager, nullptr);
    runwatcher::onConnectStatusChange(1, STATUS_CONNECTION_ESTABLISHED);
    runwatcher::onClientEvent(1, 20, ENTER_VISIBILITY);
    runwatcher::onClientEvent(1, 7, RETAIN_VISIBILITY);
    EXPECT_TRUE(sent().isEmpty());
}

TEST_F(Plugin, SecondInitKeepsTheManager)
{
    RunwatchManager* first = runwatchManager;
    EXPECT_EQ(runwatcher::init(), 0);
    EXPECT_EQ(runwatchManager, first);
}

// Lists received from others.

QString panelText(vxm_uint64 sch, vxm_uint64 id, int type = PLUGIN_CLIENT)
{
    char marker[] = "untouched";
    char* data = marker;
    runwatcher::infoData(sch, id, type, &data);
    if (data == marker) {
        return "<untouched>";
    }
    const QString text = QString::fromUtf8(data);
    runwatcher::freeMemory(data);
    return text;
}

TEST_F(Plugin, ReceivedListsAreStoredAndShownEscaped)
{
    runwatcher::onPluginCommand(1, "runwatcher", "12&&Tom & Jerry, <b>Quake</b>, Be\\#ta");
    EXPECT_EQ(client.host.infoUpdates, (QList<QPair<vxm_uint64, vxm_uint64>>{{1, 12}}));
    EXPECT_EQ(panelText(1, 12), "Tom &amp; Jerry, &lt;b&gt;Quake&lt;/b&gt;, Be\\#ta");
    // The panel renders BBCode: a peer's links, remote images and sizes show as text.
    runwatcher::onPluginCommand(1, "runwatcher", "12&&[url=http://x.example]Click me[/url], [img]http://x.example/p.png[/img], [size=40]Big");
    EXPECT_EQ(panelText(1, 12), "&#91;url=http://x.example&#93;Click me&#91;/url&#93;, "
                                "&#91;img&#93;http://x.example/p.png&#91;/img&#93;, &#91;size=40&#93;Big");

    runwatcher::onPluginCommand(1, "other name", "12&&");  // replaces; any sender name is taken
    EXPECT_EQ(panelText(1, 12), "");
    EXPECT_EQ(client.host.infoUpdates.size(), 3);

    EXPECT_EQ(panelText(1, 12, PLUGIN_CHANNEL), "<untouched>");
    EXPECT_EQ(panelText(1, 12, PLUGIN_SERVER), "<untouched>");
    EXPECT_EQ(panelText(1, 13), "<untouched>");
    EXPECT_EQ(panelText(2, 12), "<untouched>");
    EXPECT_EQ(panelText(1, 65536 + 12), "<untouched>");  // not a client id
}

TEST_F(Plugin, MalformedAndOwnListsAreIgnored)
{
    for (const char* command : {"0&&Alpha", "abc&&Alpha", "65536&&Alpha", "+5&&Alpha", " 5&&Alpha", "5 &&Alpha",
                                "&&Alpha", "5&&Alpha&&Beta", "5", "", "5&Alpha", "123456&&Alpha",
                                "7&&Alpha" /* our own id on connection 1 */}) {
        runwatcher::onPluginCommand(1, "runwatcher", command);
    }
    runwatcher::onPluginCommand(1, "runwatcher", nullptr);
    EXPECT_TRUE(client.host.infoUpdates.isEmpty());
    EXPECT_EQ(panelText(1, 5), "<untouched>");
    EXPECT_EQ(panelText(1, 7), "<untouched>");

    runwatcher::onPluginCommand(1, "runwatcher", "65535&&Alpha");
    EXPECT_EQ(panelText(1, 65535), "Alpha");
    runwatcher::onPluginCommand(2, "runwatcher", "7&&Beta");  // 7 is someone else on connection 2
    EXPECT_EQ(panelText(2, 7), "Beta");
}

TEST_F(Plugin, ListsAreForgottenWithTheirClientOrConnection)
{
    runwatcher::onPluginCommand(1, "runwatcher", "12&&Alpha");
    runwatcher::onPluginCommand(1, "runwatcher", "13&&Beta");
    runwatcher::onPluginCommand(2, "runwatcher", "12&&Gamma");
    runwatcher::onPluginCommand(3, "runwatcher", "12&&Delta");
    const int updates = client.host.infoUpdates.size();

    runwatcher::onClientEvent(1, 12, LEAVE_VISIBILITY);
    EXPECT_EQ(panelText(1, 12), "<untouched>");
    EXPECT_EQ(panelText(1, 13), "Beta");

    runwatcher::onConnectStatusChange(1, STATUS_DISCONNECTED);
    EXPECT_EQ(panelText(1, 13), "<untouched>");
    EXPECT_EQ(panelText(2, 12), "Gamma");

    runwatcher::onServerStop(2);
    EXPECT_EQ(panelText(2, 12), "<untouched>");
    EXPECT_EQ(panelText(3, 12), "Delta");
    EXPECT_EQ(client.host.infoUpdates.size(), updates);  // forgetting asks for no refresh

    // The store outlives a shutdown of the plug-in.
    runwatcher::shutdown();
    EXPECT_EQ(panelText(3, 12), "Delta");
}

TEST_F(Plugin, AFloodOfSendersPushesOutTheLeastRecentlyUpdatedList)
{
    runwatcher::onPluginCommand(2, "runwatcher", "1&&Other connection");
    for (int id = 101; id < 101 + kMaxListsPerConnection; ++id) {
        runwatcher::onPluginCommand(1, "runwatcher", (QByteArray::number(id) + "&&x").constData());
    }
    runwatcher::onPluginCommand(1, "runwatcher", "101&&updated");  // now 102 is the oldest
    runwatcher::onPluginCommand(1, "runwatcher", "5000&&new");
    EXPECT_EQ(panelText(1, 101), "updated");
    EXPECT_EQ(panelText(1, 102), "<untouched>");
    EXPECT_EQ(panelText(1, 103), "x");
    EXPECT_EQ(panelText(1, 5000), "new");
    EXPECT_EQ(panelText(2, 1), "Other connection");
}

TEST(ReceivedList, ControlAndFormatCharactersAreDroppedAndLengthIsCapped)
{
    EXPECT_EQ(sanitizeReceivedList(QString::fromUtf8("A\tB\nC\r\x01\x7f" "D\xc2\x85" "E")), "ABCDE");
    // Bidirectional overrides and isolates, zero-width and tag characters, line and paragraph separators.
    EXPECT_EQ(sanitizeReceivedList(QString::fromUtf8("A\u202EB\u200BC\u2028D\u2029E\u2066F\uFEFFG\U000E0041H")),
              "ABCDEFGH");

    const QString twoByte(3000, QChar(0x00E9));
    const QString capped = sanitizeReceivedList(twoByte);
    EXPECT_EQ(capped.toUtf8().size(), kMaxReceivedListBytes);
    EXPECT_EQ(capped.size(), kMaxReceivedListBytes / 2);
    EXPECT_EQ(sanitizeReceivedList("a" + twoByte).toUtf8().size(), kMaxReceivedListBytes - 1);

    // A character outside the basic plane is never split.
    const QString emoji = QString::fromUtf8("\xF0\x9F\x8E\xAE");
    QString text = QString(kMaxReceivedListBytes - 2, 'x') + emoji;
    EXPECT_EQ(sanitizeReceivedList(text), QString(kMaxReceivedListBytes - 2, 'x'));
    text = QString(kMaxReceivedListBytes - 4, 'x') + emoji + "y";
    EXPECT_EQ(sanitizeReceivedList(text), QString(kMaxReceivedListBytes - 4, 'x') + emoji);
}

TEST(InfoPanel, TitleIsStableAndTranslatedOnce)
{
    const char* title = runwatcher::infoTitle();
    EXPECT_STREQ(title, "Running Applications");
    EXPECT_EQ(runwatcher::infoTitle(), title);
}

}  // namespace

// The loaded plug-in in the stand-in client: the client's order of calls, the commands it sends on
// each event, a real catalogued program reported by the scanner, and lists from other users in the
// information panel.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <gtest/gtest.h>

#include "loaded_plugin_fixture.h"

using fakehost::FakeHost;
using fakehost::PluginCommand;

namespace {

const char* const kPluginID = "runwatcher_test_id";

class LoadedPlugin : public fakehost::LoadedPluginFixture {
protected:
    QTemporaryDir root;

    QString clientFolder() const { return root.path() + "/client"; }
    QString configFolder() const { return root.path() + "/client/config"; }

    // A client installation with the shipped catalogue and the given settings file.
    void prepare(const QByteArray& settings)
    {
        QDir(root.path()).mkpath("client/plugins/runwatcher_plugin");
        QDir(root.path()).mkpath("client/config");
        ASSERT_TRUE(QFile::copy(qEnvironmentVariable("VXM_SOURCE_DIR") + "/runwatcher_plugin/apps.ini",
                                clientFolder() + "/plugins/runwatcher_plugin/apps.ini"));
        QFile file(configFolder() + "/runwatcher.ini");
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(settings);
        file.close();
        host = std::make_unique<FakeHost>(clientFolder(), configFolder());
        host->addSampleWorld();      // connection 1: own client 1, Alice is client 2
        host->addConnection(2, 5);   // connection 2: own client 5
    }

    void start() { startPlugin(RUNWATCHER_PLUGIN_FILE, kPluginID); }

    std::vector<PluginCommand> commands() const { return host->pluginCommands(); }
    // The names of a list command; other catalogued programs of the user may run as well.
    static std::vector<std::string> names(const std::string& command)
    {
        std::vector<std::string> result;
        const QString list = QString::fromStdString(command).section("&&", 1);
        for (const QString& name : list.split(", ", Qt::SkipEmptyParts)) {
            result.push_back(name.toStdString());
        }
        return result;
    }
    // Broadcasts of a list (to a whole server, without a return code) with this text.
    size_t broadcasts(std::uint64_t sch, const std::string& text) const
    {
        size_t count = 0;
        for (const PluginCommand& c : host->pluginCommands()) {
            if (c.sch == sch && c.command == text && c.targetMode == 3 && !c.returnCode) {
                ++count;
            }
        }
        return count;
    }
};

TEST_F(LoadedPlugin, AnswersTheClientsQuestions)
{
    prepare("[Runwatcher]\nEnabled=false\n");
    start();
    EXPECT_EQ(host->name(), "Runwatcher");
    EXPECT_EQ(host->version(), "1.2");
    EXPECT_EQ(host->apiVersion(), 20);
    EXPECT_EQ(host->offersConfigure(), 2);
    EXPECT_FALSE(host->author().empty());
    EXPECT_NE(host->description().find("<b>Settings</b>"), std::string::npos);
    EXPECT_EQ(host->infoTitle(), std::optional<std::string>("Running Applications"));
    EXPECT_EQ(host->serverError(1, "ok", 0, nullptr), 0);
    EXPECT_EQ(host->serverError(1, "ok", 0, "someone else's code"), 0);
    EXPECT_TRUE(commands().empty());
}

TEST_F(LoadedPlugin, ReportsARunningCatalogedProgramAndSendsOnEveryEvent)
{
    // A small program under the executable name of a catalogued game.
    const QString program = root.path() + "/supertuxkart";
    ASSERT_TRUE(QFile::copy("/bin/sleep", program));
    QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcess game;
    game.start(program, {"120"});
    ASSERT_TRUE(game.waitForStarted(10000));

    prepare("[Runwatcher]\nEnabled=true\n");
    start();

    // The first scan, one interval after start, reports the game to every connection. Other
    // catalogued programs of the user may be in the list as well.
    std::string list;
    ASSERT_TRUE(host->waitFor(
        [&] {
            for (const PluginCommand& c : commands()) {
                const auto found = names(c.command);
                if (c.sch == 1 && std::find(found.begin(), found.end(), "SuperTuxKart") != found.end()) {
                    list = c.command.substr(3);
                    return broadcasts(2, "5&&" + list) == 1;
                }
            }
            return false;
        },
        15000));
    EXPECT_EQ(broadcasts(1, "1&&" + list), 1u);
    for (const PluginCommand& c : commands()) {
        EXPECT_EQ(c.pluginID, kPluginID);
    }

    // A connection that is established gets the list again, and so does every other connection.
    host->clearRecords();
    host->connectStatusChange(2, 3);
    EXPECT_TRUE(commands().empty());
    host->connectStatusChange(2, 4);
    EXPECT_EQ(broadcasts(1, "1&&" + list), 1u);
    EXPECT_EQ(broadcasts(2, "5&&" + list), 1u);

    // Another client moving sends nothing; our own client moving sends to its whole server.
    host->clearRecords();
    host->clientMove(1, 2, 2, 1, RETAIN_VISIBILITY);
    EXPECT_TRUE(commands().empty());
    host->clientMove(1, 1, 1, 2, RETAIN_VISIBILITY);
    ASSERT_EQ(commands().size(), 1u);
    EXPECT_EQ(commands()[0].sch, 1u);
    EXPECT_EQ(commands()[0].command, "1&&" + list);
    EXPECT_EQ(commands()[0].targetMode, 3);
    ASSERT_TRUE(commands()[0].returnCode.has_value());

    // The server's answer to our own request is ours; the claim shows in the journal.
    const std::uint64_t from = host->nextSeq();
    ASSERT_TRUE(host->drainAnswers());
    bool claimed = false;
    for (const auto& entry : host->calls("vxmplugin_onServerErrorEvent")) {
        if (entry.seq >= from) {
            EXPECT_EQ(entry.result, "1");
            claimed = true;
        }
    }
    EXPECT_TRUE(claimed);

    // Clients coming into view through any of the events get the list, one client at a time.
    host->clearRecords();
    host->clientMoveTimeout(1, 3, 0, 1, ENTER_VISIBILITY);
    host->clientMoveMoved(1, 4, 0, 1, ENTER_VISIBILITY, 2, "Alice", "uid");
    host->clientKickFromChannel(1, 2, 2, 1, ENTER_VISIBILITY, 1, "Me", "uid");
    host->clientKickFromServer(2, 6, 1, 0, LEAVE_VISIBILITY, 1, "Me", "uid");
    ASSERT_EQ(commands().size(), 3u);
    const std::vector<std::uint16_t> expectedTargets[] = {{3}, {4}, {2}};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(commands()[i].command, "1&&" + list);
        EXPECT_EQ(commands()[i].targetMode, 2);
        EXPECT_EQ(commands()[i].targetIDs, expectedTargets[i]);
    }
    ASSERT_TRUE(host->drainAnswers());

    // When the game ends the next scan sends the list without it, once per connection; the list
    // with the game went out by broadcast only once in all the scans since.
    host->clearRecords();
    game.kill();
    ASSERT_TRUE(game.waitForFinished(10000));
    const auto withoutGame = [&](std::uint64_t sch) {
        for (const PluginCommand& c : commands()) {
            const auto found = names(c.command);
            if (c.sch == sch && std::find(found.begin(), found.end(), "SuperTuxKart") == found.end()) {
                return true;
            }
        }
        return false;
    };
    ASSERT_TRUE(host->waitFor([&] { return withoutGame(1) && withoutGame(2); }, 15000));
    EXPECT_EQ(broadcasts(1, "1&&" + list), 0u);
    EXPECT_EQ(commands().size(), 2u);
}

TEST_F(LoadedPlugin, ShowsOtherUsersListsEscaped)
{
    prepare("[Runwatcher]\nEnabled=false\n");
    start();
    host->pluginCommand(1, "runwatcher_plugin", "2&&Tom & Jerry, <i>Quake</i>, Be\\#ta");
    const auto requests = host->infoUpdateRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].sch, 1u);
    EXPECT_EQ(requests[0].type, PLUGIN_CLIENT);
    EXPECT_EQ(requests[0].id, 2u);
    EXPECT_EQ(host->infoData(1, 2, PLUGIN_CLIENT),
              std::optional<std::string>("Tom &amp; Jerry, &lt;i&gt;Quake&lt;/i&gt;, Be\\#ta"));
    EXPECT_EQ(host->infoData(1, 2, PLUGIN_CHANNEL), std::nullopt);
    EXPECT_EQ(host->infoData(2, 2, PLUGIN_CLIENT), std::nullopt);

    // Our own id, malformed commands: ignored without a refresh.
    host->pluginCommand(1, "runwatcher_plugin", "1&&Spoofed");
    host->pluginCommand(1, "runwatcher_plugin", "2&&A&&B");
    host->pluginCommand(1, "runwatcher_plugin", "70000&&A");
    EXPECT_EQ(host->infoUpdateRequests().size(), 1u);
    EXPECT_EQ(host->infoData(1, 1, PLUGIN_CLIENT), std::nullopt);

    // The client leaving view, then the whole connection going away, forget the lists.
    host->pluginCommand(1, "runwatcher_plugin", "3&&Gamma");
    host->clientMove(1, 2, 2, 0, LEAVE_VISIBILITY);
    EXPECT_EQ(host->infoData(1, 2, PLUGIN_CLIENT), std::nullopt);
    EXPECT_EQ(host->infoData(1, 3, PLUGIN_CLIENT), std::optional<std::string>("Gamma"));
    host->connectStatusChange(1, 0);
    EXPECT_EQ(host->infoData(1, 3, PLUGIN_CLIENT), std::nullopt);
    EXPECT_TRUE(commands().empty());  // broadcasting is off: nothing goes out
}

TEST_F(LoadedPlugin, SendsNothingBeforeItKnowsItsId)
{
    prepare("[Runwatcher]\nEnabled=true\n");
    QString error;
    ASSERT_TRUE(host->load(RUNWATCHER_PLUGIN_FILE, &error)) << error.toStdString();
    host->setFunctionPointers();
    ASSERT_EQ(host->init(), 0);
    host->clientMove(1, 2, 2, 1, ENTER_VISIBILITY);
    host->connectStatusChange(1, 0);
    EXPECT_TRUE(commands().empty());
    host->registerPluginID(kPluginID);
    host->clientMove(1, 2, 2, 1, ENTER_VISIBILITY);
    ASSERT_EQ(commands().size(), 1u);
    EXPECT_EQ(commands()[0].command, "1&&");
    EXPECT_EQ(commands()[0].pluginID, kPluginID);
    ASSERT_TRUE(host->drainAnswers());
}

}  // namespace

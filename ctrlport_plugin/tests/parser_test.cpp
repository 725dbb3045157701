// The connection manager and the command parser over real sockets on loopback (the fixed port, in
// a network namespace of its own), with a scripted client behind them.
#include "parser.h"
#include "parser_test_host.h"
#include "telnet_test_client.h"

#include "ctrlportsettings.h"
#include "returncode.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

namespace {

std::string tempFolder()
{
    const char* folder = std::getenv("TMPDIR");
    return std::string(folder && *folder ? folder : "/tmp");
}

void makeFolders(const std::string& path)
{
    std::string partial;
    for (std::size_t i = 0; i < path.size(); ++i) {
        partial += path[i];
        if (path[i] == '/' && i > 0)
            ::mkdir(partial.c_str(), 0700);
    }
}

class ParserTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_appFolder = tempFolder() + "/app/";
        m_helpFolder = m_appFolder + "plugins/ctrlport_plugin/";
        makeFolders(m_helpFolder);
        m_host.setAppPath(m_appFolder);
        loggingEnabled = false;
        openRemote = false;
        setReturnCodePrefix("");
        int status = -1;
        m_parser.reset(new Parser(status));
        ASSERT_EQ(0, status);
        // Seconds on the monotonic clock, set by each case.
        m_parser->queryManager().setClock(
            [this] { return SteadyTime(std::chrono::seconds(m_clock.load())); });
    }

    void TearDown() override
    {
        m_parser.reset();
        setReturnCodePrefix("");
        loggingEnabled = false;
    }

    QueryManager& manager() { return m_parser->queryManager(); }

    // Connects and takes the greeting and the selection line.
    void open(TelnetTestClient& client)
    {
        ASSERT_TRUE(client.connectTo());
        ASSERT_TRUE(client.waitFor("selected schandlerid=1\n\r")) << client.received();
        client.clear();
    }

    // Sends one line and returns everything up to and including the line end of the error line.
    static std::string command(TelnetTestClient& client, const std::string& line)
    {
        client.clear();
        client.send(line + "\n");
        const bool complete = client.waitUntil(
            [&] {
                const std::size_t error = client.received().find("error id=");
                return error != std::string::npos && client.received().find("\n\r", error) != std::string::npos;
            },
            nullptr);
        EXPECT_TRUE(complete) << "no error line after " << line << ": " << client.received();
        return client.received();
    }

    // Runs maintenance until the condition holds (a run may skip when a lock is busy).
    bool maintainUntil(const std::function<bool()>& condition)
    {
        TelnetTestClient idle;
        return idle.waitUntil(condition, [this] { manager().runMaintenance(); });
    }

    void writeHelp(const std::string& topic, const std::string& text)
    {
        std::ofstream(m_helpFolder + topic + ".txt", std::ios::binary) << text;
    }

    ParserTestHost m_host;
    std::atomic<long> m_clock{1000};
    std::string m_appFolder;
    std::string m_helpFolder;
    std::unique_ptr<Parser> m_parser;
};

TEST_F(ParserTest, NewConnectionGetsGreetingThenSelection)
{
    TelnetTestClient client;
    ASSERT_TRUE(client.connectTo());
    ASSERT_TRUE(client.waitFor("selected schandlerid=1\n\r"));
    EXPECT_EQ(std::string(kGreeting) + "selected schandlerid=1\n\r", client.received());
}

TEST_F(ParserTest, LinesAreCutAtLineFeedsAndCleaned)
{
    TelnetTestClient client;
    open(client);
    EXPECT_EQ("selected schandlerid=2\n\rerror id=0 msg=ok\n\r", command(client, "use 2\r"));
    EXPECT_EQ("selected schandlerid=1\n\rerror id=0 msg=ok\n\r", command(client, "use\r 1"));

    // One command over three blocks is handled once, when its line feed arrives.
    client.clear();
    client.send("who");
    client.pump(50);
    client.send("am");
    client.pump(50);
    EXPECT_EQ("", client.received());
    EXPECT_EQ("clid=1 cid=5\n\rerror id=0 msg=ok\n\r", command(client, "i"));

    // CR NUL, the end of line of a telnet client in character mode, ends a line too.
    client.clear();
    client.send(std::string("whoami\r\0", 8));
    ASSERT_TRUE(client.waitFor("error id=0 msg=ok\n\r"));
    EXPECT_EQ("clid=1 cid=5\n\rerror id=0 msg=ok\n\r", client.received());

    // An empty line is no command; two commands in one block are answered in order.
    client.clear();
    client.send("\n\ncurrentschandlerid\nwhoami\n");
    ASSERT_TRUE(client.waitFor("clid=1 cid=5\n\rerror id=0 msg=ok\n\r"));
    EXPECT_EQ("schandlerid=1\n\rerror id=0 msg=ok\n\rclid=1 cid=5\n\rerror id=0 msg=ok\n\r", client.received());
}

TEST_F(ParserTest, TelnetCommandSequencesAreRemovedExactly)
{
    TelnetTestClient client;
    open(client);
    const std::string whoamiReply = "clid=1 cid=5\n\rerror id=0 msg=ok\n\r";
    // IAC WILL ECHO before a command.
    EXPECT_EQ(whoamiReply, command(client, std::string("\xFF\xFB\x01", 3) + "whoami"));
    // IAC IP (what a telnet client sends for an interrupt) is two bytes: the "w" survives.
    EXPECT_EQ(whoamiReply, command(client, std::string("\xFF\xF4", 2) + "whoami"));
    // A sequence cut by the block boundary does not leak its option byte into the next line.
    client.clear();
    client.send(std::string("\xFF\xFB", 2));
    client.pump(50);
    EXPECT_EQ(whoamiReply, command(client, std::string("\x01", 1) + "whoami"));
    // A subnegotiation is skipped whole, also across blocks.
    client.clear();
    client.send(std::string("\xFF\xFA\x18\x01", 4));
    client.pump(50);
    EXPECT_EQ(whoamiReply, command(client, std::string("XTERM\xFF\xF0", 7) + "whoami"));
}

TEST_F(ParserTest, BlockWithNulIsIgnoredAndIdleConnectionsAreClosed)
{
    TelnetTestClient quiet;
    TelnetTestClient chatty;
    TelnetTestClient nul;
    open(quiet);
    open(chatty);
    open(nul);

    m_clock = 1300;
    // A block with a NUL byte is neither a command nor activity; an empty line is activity. The
    // block fills one read of the server exactly, so the next command is a block of its own.
    nul.send(std::string(746, '\0') + "whoami\n" + std::string(747, '\0'));
    EXPECT_EQ("schandlerid=1\n\rerror id=0 msg=ok\n\r", command(nul, "currentschandlerid"));
    quiet.send(std::string("help\0\n", 6));  // the only block of this connection
    chatty.send("\n");
    quiet.pump(100);
    chatty.pump(0);
    EXPECT_EQ("", quiet.received());
    EXPECT_EQ("", chatty.received());

    m_clock = 1599;
    manager().runMaintenance();
    quiet.pump(50);
    EXPECT_FALSE(quiet.closedByPeer());

    m_clock = 1600;
    ASSERT_TRUE(maintainUntil([&] {
        quiet.pump();
        return quiet.closedByPeer();
    }));
    EXPECT_EQ("", quiet.received());  // closed without a message
    chatty.pump();
    EXPECT_FALSE(chatty.closedByPeer());

    // The closed client leaves the table at a later run.
    m_clock = 1601;
    ASSERT_TRUE(maintainUntil([&] { return manager().clientCount() == 2; }));
}

TEST_F(ParserTest, LineLengthIsCappedAt64KiB)
{
    TelnetTestClient client;
    open(client);
    const std::string longest = "use" + std::string(65536 - 3, ' ');
    EXPECT_EQ("selected schandlerid=1\n\rerror id=0 msg=ok\n\r", command(client, longest));

    client.clear();
    client.send(std::string(40000, 'x'));
    client.send(std::string(25537, 'x'));  // 65537 bytes and no line feed yet
    ASSERT_TRUE(client.waitForClose());
    EXPECT_EQ("error id=1538 msg=e1538", client.received());

    TelnetTestClient other;
    open(other);
    other.send(std::string(65537, 'y') + "\nwhoami\n");
    ASSERT_TRUE(other.waitForClose());
    EXPECT_EQ("error id=1538 msg=e1538", other.received());
}

TEST_F(ParserTest, AdmissionLimitsAndBans)
{
    std::vector<std::unique_ptr<TelnetTestClient>> clients;
    for (int i = 0; i < 201; ++i) {
        clients.emplace_back(new TelnetTestClient);
        open(*clients.back());
    }
    TelnetTestClient refused;
    ASSERT_TRUE(refused.connectTo());
    ASSERT_TRUE(refused.waitForClose());
    EXPECT_EQ(std::string(kGreeting) + "error id=515 msg=e515", refused.received());

    // A client that quits frees its slot at once; its record stays until maintenance.
    clients.back()->send("quit\n");
    ASSERT_TRUE(clients.back()->waitForClose());
    TelnetTestClient admitted;
    open(admitted);
    EXPECT_EQ(202u, manager().clientCount());
    TelnetTestClient refusedAgain;
    ASSERT_TRUE(refusedAgain.connectTo());
    ASSERT_TRUE(refusedAgain.waitForClose());
    EXPECT_EQ(std::string(kGreeting) + "error id=515 msg=e515", refusedAgain.received());

    m_clock = 1001;
    manager().banAddress("127.0.0.1");
    m_clock = 1101;
    TelnetTestClient banned;
    ASSERT_TRUE(banned.connectTo());
    ASSERT_TRUE(banned.waitForClose());
    EXPECT_EQ(std::string(kGreeting) + "error id=3329 msg=e3329 extra_msg=you\\smay\\sretry\\sin\\s500\\sseconds",
              banned.received());
}

TEST_F(ParserTest, QuitEndsWithTheBareErrorLine)
{
    TelnetTestClient client;
    open(client);
    client.send("quit\nwhoami\n");
    ASSERT_TRUE(client.waitForClose());
    EXPECT_EQ("error id=0 msg=ok", client.received());
    m_clock = 1001;
    ASSERT_TRUE(maintainUntil([&] { return manager().clientCount() == 0; }));
}

TEST_F(ParserTest, UseSelectsAmongTheClientsConnections)
{
    TelnetTestClient client;
    open(client);
    EXPECT_EQ("selected schandlerid=2\n\rerror id=0 msg=ok\n\r", command(client, "use schandlerid=2"));
    EXPECT_EQ("error id=1540 msg=e1540\n\r", command(client, "use two"));
    EXPECT_EQ("error id=1540 msg=e1540\n\r", command(client, "use schandlerid=two"));
    EXPECT_EQ("error id=1538 msg=e1538\n\r", command(client, "use 1 2"));
    EXPECT_EQ("error id=1799 msg=e1799\n\r", command(client, "use 99"));
    // The selection stayed on 2.
    m_host.setCurrentConnection(2);
    EXPECT_EQ("selected schandlerid=2\n\rerror id=0 msg=ok\n\r", command(client, "use"));

    // A failing list is the answer; nothing is read from it.
    m_host.setConnectionListError(1800);
    EXPECT_EQ("error id=1800 msg=e1800\n\r", command(client, "use 1"));
    EXPECT_EQ("error id=1800 msg=e1800\n\r", command(client, "serverconnectionhandlerlist"));
    m_host.setConnectionListError(0);
    EXPECT_EQ("schandlerid=1|schandlerid=2\n\rerror id=0 msg=ok\n\r", command(client, "serverconnectionhandlerlist"));
    m_host.setConnections({});
    EXPECT_EQ("\n\rerror id=0 msg=ok\n\r", command(client, "serverconnectionhandlerlist"));
    EXPECT_EQ(0, m_host.outstandingMemory());
    // This client has no getClientList: the empty slot refuses.
    EXPECT_EQ("error id=1538 msg=e1538\n\r", command(client, "clientlist"));

    // Without a record (a client may type the pseudo-command) the commands that need one refuse,
    // those of the selected server connection before they read a parameter.
    EXPECT_EQ("", [&] {
        client.clear();
        client.send("dummy_connectionlost\n");
        client.pump(100);
        return client.received();
    }());
    for (const char* line : {"whoami", "serverconnectinfo", "channelconnectinfo cid=x", "clientlist", "channellist",
                             "channelclientlist", "clientvariable clid=x", "channelvariable", "servervariable a",
                             "clientupdate a=1", "clientmute", "clientunmute clid=1", "verifyserverpassword",
                             "verifychannelpassword cid=x"})
        EXPECT_EQ("error id=1792 msg=e1792\n\r", command(client, line)) << line;
    for (const char* line : {"use", "clientnotifyregister schandlerid=1 event=any", "clientnotifyunregister"})
        EXPECT_EQ("error id=1794 msg=e1794\n\r", command(client, line)) << line;
    EXPECT_EQ("error id=1539 msg=e1539\n\r", command(client, "clientnotifyregister schandlerid=1"));
}

TEST_F(ParserTest, ConnectInfoAndErrorTexts)
{
    TelnetTestClient client;
    open(client);
    EXPECT_EQ("ip=192.0.2.7 port=7000\n\rerror id=0 msg=ok\n\r", command(client, "serverconnectinfo"));
    m_host.setServerPassword("se cret");
    EXPECT_EQ("ip=192.0.2.7 port=7000 password=se\\scret\n\rerror id=0 msg=ok\n\r",
              command(client, "serverconnectinfo"));
    EXPECT_EQ("path=Lobby\\/Quiet\\scorner\n\rerror id=0 msg=ok\n\r", command(client, "channelconnectinfo"));
    EXPECT_EQ("error id=768 msg=e768\n\r", command(client, "channelconnectinfo cid=6"));
    EXPECT_EQ("error id=1540 msg=e1540\n\r", command(client, "channelconnectinfo cid=abc"));

    // Error replies of the client's events: extra text and permission only when set; no text known.
    // Find this connection's id through a forwarded command's return code.
    setReturnCodePrefix("P_");
    command(client, "clientnotifyregister schandlerid=0 event=any");
    client.clear();
    client.send("serverinfo\n");
    TelnetTestClient wait;
    ASSERT_TRUE(wait.waitUntil([&] { return !m_host.forwarded().empty(); }, nullptr));
    const int id = std::stoi(m_host.forwarded().back().returnCode.substr(2));
    m_parser->sendErrorReply(id, 77, "", 0);
    m_parser->sendErrorReply(id, 2568, "need more", 4);
    ASSERT_TRUE(client.waitFor("failed_permid=4\n\r"));
    EXPECT_EQ("error id=77 msg\n\rerror id=2568 msg=e2568 extra_msg=need\\smore failed_permid=4\n\r",
              client.received());
}

TEST_F(ParserTest, HelpSendsFilesFromThePluginFolderOnly)
{
    writeHelp("help", "Commands:\n  whoami\n");
    writeHelp("lines", "a\nb\n");
    writeHelp("whoami", "who you are");
    TelnetTestClient client;
    open(client);
    EXPECT_EQ("Commands:\n\r  whoami\n\r\n\r\n\rerror id=0 msg=ok\n\r", command(client, "help"));
    EXPECT_EQ("a\n\rb\n\r\n\r\n\rerror id=0 msg=ok\n\r", command(client, "help lines"));
    EXPECT_EQ("who you are\n\r\n\rerror id=0 msg=ok\n\r", command(client, "help whoami extra"));
    writeHelp("../x", "outside");
    EXPECT_EQ("error id=1538 msg=e1538\n\r", command(client, "help ../x"));
    EXPECT_EQ("error id=1538 msg=e1538\n\r", command(client, "help a\\/b"));
    EXPECT_EQ("error id=1538 msg=e1538\n\r", command(client, "help a\\\\b"));
    EXPECT_EQ("error id=1538 msg=e1538\n\r", command(client, "help nosuchtopic"));
}

TEST_F(ParserTest, EveryCommandEndsWithAnErrorLine)
{
    TelnetTestClient client;
    open(client);
    // Help topics that name no regular file: reading a folder fails, a pipe would never end.
    ASSERT_EQ(0, ::mkdir((m_helpFolder + "folder.txt").c_str(), 0700));
    ASSERT_EQ(0, ::mkfifo((m_helpFolder + "pipe.txt").c_str(), 0600));
    EXPECT_EQ("error id=1538 msg=e1538\n\r", command(client, "help folder"));
    EXPECT_EQ("error id=1538 msg=e1538\n\r", command(client, "help pipe"));

    // A handler that fails inside: the client's error 1, a log line, and the connection goes on.
    m_host.setForwardThrows(true);
    EXPECT_EQ("error id=1 msg=e1\n\r", command(client, "serverinfo"));
    m_host.setForwardThrows(false);
    EXPECT_EQ("schandlerid=1\n\rerror id=0 msg=ok\n\r", command(client, "currentschandlerid"));
    const std::vector<std::string> texts = m_host.texts();
    EXPECT_NE(std::find(texts.begin(), texts.end(), "command failed: forwarding failed"), texts.end());
}

TEST_F(ParserTest, RegistrationsAreBoundedInNumberAndLength)
{
    TelnetTestClient client;
    open(client);
    const std::string ok = "error id=0 msg=ok\n\r";
    const std::string rejected = "error id=1538 msg=e1538\n\r";
    const std::string longest(kMaxEventNameLength, 'e');
    EXPECT_EQ(ok, command(client, "clientnotifyregister schandlerid=0 event=" + longest));
    EXPECT_EQ(rejected, command(client, "clientnotifyregister schandlerid=0 event=" + longest + "e"));
    for (std::size_t i = 1; i < kMaxRegistrations; ++i)
        ASSERT_EQ(ok, command(client, "clientnotifyregister schandlerid=" + std::to_string(i % 3) + " event=n" +
                                          std::to_string(i)));
    // Full: a new one is refused and not stored, one that exists still answers nothing.
    EXPECT_EQ(rejected, command(client, "clientnotifyregister schandlerid=1 event=notifyclientids"));
    EXPECT_EQ("The command 'clientgetids' requires you to register for a notification to receive an answer.\n\r"
              "For example you can use 'clientnotifyregister schandlerid=1 event=notifyclientids'\n\r"
              "schandlerid=1\n\rerror id=0 msg=ok\n\r",
              command(client, "clientgetids cluid=x\ncurrentschandlerid"));
    EXPECT_EQ("schandlerid=1\n\rerror id=0 msg=ok\n\r",
              command(client, "clientnotifyregister schandlerid=1 event=n1\ncurrentschandlerid"));
    // Unregistering makes room again.
    EXPECT_EQ(ok, command(client, "clientnotifyunregister"));
    EXPECT_EQ(ok, command(client, "clientnotifyregister schandlerid=1 event=notifyclientids"));
}

TEST_F(ParserTest, ForwardingNeedsRegistrationOnlyForTheTabledCommands)
{
    setReturnCodePrefix("PFX_");
    TelnetTestClient client;
    open(client);

    client.clear();
    client.send("clientgetids cluid=x\n");
    client.send("currentschandlerid\n");
    ASSERT_TRUE(client.waitFor("schandlerid=1\n\rerror id=0 msg=ok\n\r"));
    EXPECT_EQ("The command 'clientgetids' requires you to register for a notification to receive an answer.\n\r"
              "For example you can use 'clientnotifyregister schandlerid=1 event=notifyclientids'\n\r"
              "schandlerid=1\n\rerror id=0 msg=ok\n\r",
              client.received());
    EXPECT_TRUE(m_host.forwarded().empty());

    // A registration for another notification does not help; one for the right one does.
    EXPECT_EQ("error id=0 msg=ok\n\r", command(client, "clientnotifyregister schandlerid=1 event=notifyclientdblist"));
    client.clear();
    client.send("clientgetids cluid=x\ncurrentschandlerid\n");
    ASSERT_TRUE(client.waitFor("error id=0 msg=ok\n\r"));
    EXPECT_TRUE(client.contains("requires you to register"));
    EXPECT_EQ("error id=0 msg=ok\n\r", command(client, "clientnotifyregister schandlerid=0 event=notifyclientids"));

    client.clear();
    client.send("  clientgetids cluid=a\\sb  \ncurrentschandlerid\n");
    ASSERT_TRUE(client.waitFor("error id=0 msg=ok\n\r"));
    EXPECT_EQ("schandlerid=1\n\rerror id=0 msg=ok\n\r", client.received());  // no line for the forwarded one yet
    ASSERT_EQ(1u, m_host.forwarded().size());
    EXPECT_EQ(1u, m_host.forwarded()[0].schandlerid);
    EXPECT_EQ("clientgetids cluid=a\\sb", m_host.forwarded()[0].command);
    EXPECT_EQ(0u, m_host.forwarded()[0].returnCode.find("PFX_"));

    // Words outside both tables go out without a registration; case matters.
    client.clear();
    client.send("QUIT\ncurrentschandlerid\n");
    ASSERT_TRUE(client.waitFor("error id=0 msg=ok\n\r"));
    ASSERT_EQ(2u, m_host.forwarded().size());
    EXPECT_EQ("QUIT", m_host.forwarded()[1].command);

    // A refusal of the client is the error line; old servers do not get clientdbedit.
    m_host.setForwardResult(1801);
    EXPECT_EQ("error id=1801 msg=e1801\n\r", command(client, "serverinfo"));
    m_host.setForwardResult(0);
    m_host.setServerVersion(14813);
    EXPECT_EQ("error id=2 msg=e2\n\r", command(client, "clientdbedit cldbid=1"));
    EXPECT_EQ(3u, m_host.forwarded().size());

    // Registering twice answers nothing the second time; unregistering drops all.
    client.clear();
    client.send("clientnotifyregister schandlerid=0 event=notifyclientids\ncurrentschandlerid\n");
    ASSERT_TRUE(client.waitFor("error id=0 msg=ok\n\r"));
    EXPECT_EQ("schandlerid=1\n\rerror id=0 msg=ok\n\r", client.received());
    EXPECT_EQ("error id=0 msg=ok\n\r", command(client, "clientnotifyunregister schandlerid=1 event=notifyclientids"));
    client.clear();
    client.send("clientnotifyunregister\ncurrentschandlerid\n");
    ASSERT_TRUE(client.waitFor("error id=0 msg=ok\n\r"));
    EXPECT_EQ("schandlerid=1\n\rerror id=0 msg=ok\n\r", client.received());
    EXPECT_EQ("error id=1539 msg=e1539\n\r", command(client, "clientnotifyregister schandlerid=1"));
    EXPECT_EQ("error id=1540 msg=e1540\n\r", command(client, "clientnotifyregister schandlerid=x event=any"));
}

TEST_F(ParserTest, NotificationsReachEachRegisteredConnectionOnce)
{
    const char* registrations[] = {
        "clientnotifyregister schandlerid=1 event=notifytalkstatuschange",
        "clientnotifyregister schandlerid=1 event=any",
        "clientnotifyregister schandlerid=0 event=notifytalkstatuschange",
        "clientnotifyregister schandlerid=2 event=any",
        "clientnotifyregister schandlerid=1 event=notifyclientids",
        nullptr,
    };
    std::vector<std::unique_ptr<TelnetTestClient>> clients;
    for (const char* registration : registrations) {
        clients.emplace_back(new TelnetTestClient);
        open(*clients.back());
        if (registration)
            command(*clients.back(), registration);
    }
    // The first one has two matching registrations.
    command(*clients[0], "clientnotifyregister schandlerid=0 event=any");
    for (auto& client : clients)
        client->clear();

    const std::string line = "notifytalkstatuschange schandlerid=1 status=1 isreceivedwhisper=0 clid=2";
    EXPECT_EQ(0, m_parser->dispatchNotification(line));
    // Lines without a usable schandlerid reach nobody.
    m_parser->dispatchNotification("notifytalkstatuschange status=1");
    m_parser->dispatchNotification("notifytalkstatuschange");
    m_parser->dispatchNotification("notifytalkstatuschange schandlerid=x status=1");
    for (std::size_t i = 0; i < clients.size(); ++i) {
        // The answer to a later command comes after every notification sent before it.
        clients[i]->send("currentschandlerid\n");
        ASSERT_TRUE(clients[i]->waitFor("schandlerid=1\n\rerror id=0 msg=ok\n\r")) << i;
        const std::string expected = i < 3 ? line + "\n\r" : std::string();
        EXPECT_EQ(expected + "schandlerid=1\n\rerror id=0 msg=ok\n\r", clients[i]->received()) << i;
    }

    // A thousand commands at once while notifications come from another thread: the answers, which
    // leave many to a write, and the notifications, queued in between, each arrive whole, the answers
    // in the order of their commands.
    TelnetTestClient& busy = *clients[1];
    busy.clear();
    std::string burst, answers;
    for (int i = 0; i < 1000; ++i) {
        burst += i % 2 ? "whoami\n" : "currentschandlerid\n";
        answers += i % 2 ? "clid=1 cid=5\n\rerror id=0 msg=ok\n\r" : "schandlerid=1\n\rerror id=0 msg=ok\n\r";
    }
    std::thread notifier([&] {
        for (int i = 0; i < 300; ++i)
            m_parser->dispatchNotification(line);
    });
    busy.send(burst);
    notifier.join();
    const std::size_t total = answers.size() + 300 * (line.size() + 2);
    ASSERT_TRUE(busy.waitUntil([&] { return busy.received().size() >= total; }, nullptr));
    std::string rest = busy.received();
    int notifications = 0;
    for (std::size_t at; (at = rest.find(line + "\n\r")) != std::string::npos; ++notifications)
        rest.erase(at, line.size() + 2);
    EXPECT_EQ(notifications, 300);
    EXPECT_TRUE(rest == answers);
}

TEST_F(ParserTest, ReceivedLinesAreLoggedWithoutPasswords)
{
    loggingEnabled = true;
    TelnetTestClient client;
    open(client);
    command(client, "whoami");
    // verifychannelpassword answers with an error line of its own; wait for the second command's.
    client.clear();
    client.send("verifychannelpassword cid=5 password=s3cret|password=x other=1\ncurrentschandlerid\n");
    ASSERT_TRUE(client.waitFor("schandlerid=1\n\rerror id=0 msg=ok\n\r")) << client.received();
    client.send("dummy_connectionlost\n");
    command(client, "dummy_connectionestablished\ncurrentschandlerid");
    std::vector<std::string> received;
    for (const std::string& text : m_host.texts()) {
        if (text.compare(0, 10, "received: ") == 0)
            received.push_back(text);
    }
    EXPECT_EQ((std::vector<std::string>{"received: whoami",
                                        "received: verifychannelpassword cid=5 password=***|password=*** other=1",
                                        "received: currentschandlerid", "received: currentschandlerid"}),
              received);
}

TEST_F(ParserTest, DestructionWhileConnectionsAreBusy)
{
    std::vector<std::unique_ptr<TelnetTestClient>> clients;
    for (int i = 0; i < 8; ++i) {
        clients.emplace_back(new TelnetTestClient);
        open(*clients.back());
        command(*clients.back(), "clientnotifyregister schandlerid=0 event=any");
    }
    std::atomic<bool> stop{false};
    std::vector<std::thread> senders;
    for (auto& client : clients) {
        TelnetTestClient* target = client.get();
        senders.emplace_back([target, &stop] {
            std::string burst;
            for (int i = 0; i < 20; ++i)
                burst += "whoami\nuse 2\nserverinfo\n";
            while (!stop && target->send(burst))
                target->pump(0);
        });
    }
    for (int i = 0; i < 50; ++i)
        m_parser->dispatchNotification("notifyclientmoved schandlerid=1 clid=2");
    m_parser.reset();
    stop = true;
    for (std::thread& sender : senders)
        sender.join();
    SUCCEED();
}

} // namespace

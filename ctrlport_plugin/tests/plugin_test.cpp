// ctrlport_plugin.so loaded by the stand-in client and driven over real sockets on loopback (the
// fixed port, in a network namespace of its own). The client thread is the test's main thread; the
// stand-in answers forwarded commands on it, so waiting processes its events.
#include "loaded_plugin_test.h"

#include <QString>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

using fakehost::CommandAnswer;
using fakehost::FakeHost;

namespace {

// An error text as it stands in an error line.
std::string escaped(const std::string& text)
{
    std::string result;
    for (const char c : text)
        result += c == ' ' ? std::string("\\s") : std::string(1, c);
    return result;
}

class PluginTest : public LoadedPluginTest
{
protected:
    void SetUp() override
    {
        LoadedPluginTest::SetUp();
        if (!HasFatalFailure())
            host->addSampleWorld();
    }

    void open(TelnetTestClient& client)
    {
        ASSERT_TRUE(client.connectTo());
        ASSERT_TRUE(waitFor(client, "selected schandlerid=1\n\r")) << client.received();
        client.clear();
    }

    // Sends a line and waits for the text; returns everything received since the send.
    std::string exchange(TelnetTestClient& client, const std::string& line, const std::string& until)
    {
        client.clear();
        client.send(line + "\n");
        EXPECT_TRUE(waitFor(client, until)) << line << ": " << client.received();
        const std::string text = client.received();
        client.clear();
        return text;
    }

    // Lets every queued answer and line arrive: a command sent last is answered after them.
    std::string settle(TelnetTestClient& client)
    {
        host->drainAnswers();
        client.send("currentschandlerid\n");
        const std::string end = "schandlerid=1\n\rerror id=0 msg=ok\n\r";
        EXPECT_TRUE(waitFor(client, end)) << client.received();
        std::string text = client.received();
        client.clear();
        return text.substr(0, text.size() - end.size());
    }

    std::string escapedText(unsigned error) { return escaped(host->errorText(error)); }
};

TEST_F(PluginTest, ExportsDescribeThePlugin)
{
    start();
    EXPECT_EQ("CtrlPort", host->name());
    EXPECT_EQ("1.0", host->version());
    EXPECT_EQ(20, host->apiVersion());
    EXPECT_EQ(2, host->offersConfigure());
    EXPECT_EQ(1, host->requestAutoload());
    EXPECT_EQ("CtrlPort offers a local telnet interface on port 25639 to remotely control the Voxmere 3 client.",
              host->description());
    EXPECT_FALSE(host->author().empty());

    // A second start keeps the running parser and its connections.
    TelnetTestClient client;
    open(client);
    EXPECT_EQ(0, host->init());
    EXPECT_EQ("schandlerid=1\n\rerror id=0 msg=ok\n\r", exchange(client, "currentschandlerid", "msg=ok\n\r"));

    // The options dialog opens without a parent window and goes with the shutdown.
    host->configure();
    host->configure();
    host->shutdown();
    ASSERT_TRUE(client.waitForClose());
}

TEST_F(PluginTest, GreetingSelectionAndLocalCommands)
{
    start();
    TelnetTestClient client;
    ASSERT_TRUE(client.connectTo());
    ASSERT_TRUE(waitFor(client, "selected schandlerid=1\n\r"));
    EXPECT_EQ(std::string(kGreeting) + "selected schandlerid=1\n\r", client.received());

    host->addConnection(4, 9);
    host->addChannel(4, 3, 0, "Room");
    host->addClient(4, 9, 3, "Nine");
    EXPECT_EQ("selected schandlerid=4\n\rerror id=0 msg=ok\n\r", exchange(client, "use 4", "msg=ok\n\r"));
    EXPECT_EQ("error id=1799 msg=" + escapedText(1799) + "\n\r", exchange(client, "use 5", "\n\r"));
    EXPECT_EQ("clid=9 cid=3\n\rerror id=0 msg=ok\n\r", exchange(client, "whoami", "msg=ok\n\r"));
    EXPECT_EQ("selected schandlerid=1\n\rerror id=0 msg=ok\n\r", exchange(client, "use schandlerid=1", "msg=ok\n\r"));
    EXPECT_EQ("clid=1 cid=1\n\rerror id=0 msg=ok\n\r", exchange(client, "whoami", "msg=ok\n\r"));
    host->setCurrentConnection(4);
    EXPECT_EQ("schandlerid=4\n\rerror id=0 msg=ok\n\r", exchange(client, "currentschandlerid", "msg=ok\n\r"));
    EXPECT_EQ("schandlerid=1|schandlerid=4\n\rerror id=0 msg=ok\n\r",
              exchange(client, "serverconnectionhandlerlist", "msg=ok\n\r"));
    EXPECT_EQ("ip=127.0.0.1 port=7000\n\rerror id=0 msg=ok\n\r", exchange(client, "serverconnectinfo", "msg=ok\n\r"));
    const std::string help = exchange(client, "help", "msg=ok\n\r");
    EXPECT_NE(std::string::npos, help.find("clientnotifyregister")) << help;
    EXPECT_EQ("error id=1538 msg=" + escapedText(1538) + "\n\r", exchange(client, "help ../x", "\n\r"));

    client.clear();
    client.send("quit\n");
    ASSERT_TRUE(host->waitFor([&] {
        client.pump();
        return client.closedByPeer();
    }));
    EXPECT_EQ("error id=0 msg=ok", client.received());
}

TEST_F(PluginTest, ForwardedCommandsAndTheirAnswers)
{
    start();
    CommandAnswer answer;
    answer.lines = {"notifyclientids cluid=uid-alice clid=2"};
    answer.error = 0;
    host->setCommandAnswer("clientgetids", answer);

    TelnetTestClient asker, listener, bystander, other;
    open(asker);
    open(listener);
    open(bystander);
    open(other);

    // Without a registration: the hint, no error line, nothing forwarded.
    asker.send("clientgetids cluid=uid-alice\n");
    EXPECT_EQ("The command 'clientgetids' requires you to register for a notification to receive an answer.\n\r"
              "For example you can use 'clientnotifyregister schandlerid=1 event=notifyclientids'\n\r",
              settle(asker));
    EXPECT_TRUE(host->calls("sendCtrlPortCommand").empty());

    EXPECT_EQ("error id=0 msg=ok\n\r",
              exchange(asker, "clientnotifyregister schandlerid=1 event=notifyclientids", "\n\r"));
    EXPECT_EQ("error id=0 msg=ok\n\r", exchange(listener, "clientnotifyregister schandlerid=0 event=any", "\n\r"));
    EXPECT_EQ("error id=0 msg=ok\n\r",
              exchange(other, "clientnotifyregister schandlerid=2 event=notifyclientids", "\n\r"));

    asker.clear();
    asker.send("clientgetids cluid=uid-alice\n");
    ASSERT_TRUE(host->waitForCall("sendCtrlPortCommand"));
    const std::vector<fakehost::JournalEntry> calls = host->calls("sendCtrlPortCommand");
    ASSERT_EQ(1u, calls.size());
    const std::string args = calls[0].args;
    EXPECT_NE(std::string::npos, args.find("sch=1 command=\"clientgetids cluid=uid-alice\" returnCode=\"" + m_prefix))
        << args;
    EXPECT_FALSE(calls[0].clientThread);  // forwarded from the poller thread

    const std::string line = "notifyclientids schandlerid=1 cluid=uid-alice clid=2\n\r";
    EXPECT_EQ(line + "error id=0 msg=ok\n\r", settle(asker));
    EXPECT_EQ(line, settle(listener));
    EXPECT_EQ("", settle(bystander));
    EXPECT_EQ("", settle(other));

    // The client refuses: its error number is the error line at once.
    CommandAnswer refused;
    refused.refuse = 1541;
    host->setCommandAnswer("serverinfo", refused);
    EXPECT_EQ("error id=1541 msg=" + escapedText(1541) + "\n\r", exchange(asker, "serverinfo", "\n\r"));

    // An answer that ends in an error carries its extra message.
    CommandAnswer failing;
    failing.error = 512;
    failing.extraMessage = "no such client";
    host->setCommandAnswer("clientkick", failing);
    asker.clear();
    asker.send("clientkick clid=9\n");
    EXPECT_EQ("error id=512 msg=" + escapedText(512) + " extra_msg=no\\ssuch\\sclient\n\r", settle(asker));
}

TEST_F(PluginTest, ClientEventsBecomeNotifications)
{
    start();
    TelnetTestClient all, talk, none;
    open(all);
    open(talk);
    open(none);
    exchange(all, "clientnotifyregister schandlerid=0 event=any", "\n\r");
    exchange(talk, "clientnotifyregister schandlerid=1 event=notifytalkstatuschange", "\n\r");
    all.clear();
    talk.clear();

    host->connectStatusChange(1, 7, 70000);
    host->connectStatusChange(2, 4, 0);
    host->talkStatusChange(1, 1, 0, 2);
    host->currentServerConnectionChanged(1);
    host->incomingCtrlPortEvent(1, "notifyclientmoved ctid=2 reasonid=0 clid=2");
    host->incomingCtrlPortEvent(1, "notifyclientleftview");
    host->incomingCtrlPortEvent(1, nullptr);

    EXPECT_EQ("notifyconnectstatuschange schandlerid=1 status=invalid error=4464\n\r"
              "notifyconnectstatuschange schandlerid=2 status=connection_established error=0\n\r"
              "notifytalkstatuschange schandlerid=1 status=1 isreceivedwhisper=0 clid=2\n\r"
              "notifycurrentserverconnectionchanged schandlerid=1\n\r"
              "notifyclientmoved schandlerid=1 ctid=2 reasonid=0 clid=2\n\r"
              "notifyclientleftview schandlerid=1\n\r",
              settle(all));
    EXPECT_EQ("notifytalkstatuschange schandlerid=1 status=1 isreceivedwhisper=0 clid=2\n\r", settle(talk));
    EXPECT_EQ("", settle(none));
}

TEST_F(PluginTest, ErrorEventsAreClaimedOnlyWithOurPrefix)
{
    // Before the plug-in has its prefix no return code is its own.
    QString error;
    ASSERT_TRUE(host->load(QStringLiteral(CTRLPORT_PLUGIN_FILE), &error)) << error.toStdString();
    host->setFunctionPointers();
    ASSERT_EQ(0, host->init());
    EXPECT_EQ(0, host->serverError(1, "x", 0, "17"));
    EXPECT_EQ(0, host->serverError(1, "x", 0, nullptr));
    host->registerPluginID("ctrlport");
    m_prefix = host->returnCodes().at(0);

    TelnetTestClient client;
    open(client);
    exchange(client, "clientnotifyregister schandlerid=0 event=any", "\n\r");
    host->drainAnswers();
    client.clear();
    // The error events called above are in the journal too: wait for the answer to this command.
    const std::uint64_t mark = host->nextSeq();
    client.send("serverinfo\n");
    ASSERT_TRUE(host->waitForCall("vxmplugin_onServerErrorEvent", std::string(), 10000, mark));
    host->drainAnswers();
    std::string rest = settle(client);
    ASSERT_EQ("error id=0 msg=ok\n\r", rest);
    const std::string args = host->calls("sendCtrlPortCommand").at(0).args;
    const std::size_t codeStart = args.find("returnCode=\"") + 12;
    const std::string code = args.substr(codeStart, args.find('"', codeStart) - codeStart);
    ASSERT_EQ(0u, code.find(m_prefix));

    EXPECT_EQ(0, host->serverError(1, "x", 0, "someone_else_1"));
    EXPECT_EQ(0, host->serverError(1, "x", 0, m_prefix.c_str()));
    EXPECT_EQ(1, host->serverError(1, "x", 0, (m_prefix + "abc").c_str()));
    EXPECT_EQ(1, host->serverError(1, "x", 1541, (code + "trailing").c_str(), "extra text"));
    EXPECT_EQ(1, host->serverError(1, "x", 781, code.c_str(), nullptr));
    EXPECT_EQ(1, host->serverPermissionError(1, "x", 1538, code.c_str(), 12));
    EXPECT_EQ("error id=1541 msg=" + escapedText(1541) + " extra_msg=extra\\stext\n\r"
              "error id=781 msg=" + escapedText(781) + "\n\r"
              "error id=1538 msg=" + escapedText(1538) + " failed_permid=12\n\r",
              settle(client));
}

TEST_F(PluginTest, ShutdownClosesConnectionsAndAFailedStartLeavesNoParser)
{
    start();
    TelnetTestClient client;
    open(client);
    host->shutdown();
    ASSERT_TRUE(client.waitForClose());
    TelnetTestClient late;
    EXPECT_FALSE(late.connectTo());

    // The port is taken: the start fails and the events go nowhere.
    host->unload();
    host.reset();
    host.reset(new FakeHost(m_clientFolder));
    host->addSampleWorld();
    int fd = -1;
    {
        // Another listener on the port.
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(25639);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(0, ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address));
        ASSERT_EQ(0, ::listen(fd, 1));
    }
    QString error;
    EXPECT_FALSE(host->start(QStringLiteral(CTRLPORT_PLUGIN_FILE), "ctrlport", &error));
    EXPECT_EQ(1, host->initResult());
    host->connectStatusChange(1, 2, 0);
    m_prefix = host->returnCodes().at(0);
    EXPECT_EQ(1, host->serverError(1, "x", 0, (m_prefix + "3").c_str()));
    host->shutdown();
    ::close(fd);
}

} // namespace

/*
 * vxm_fakeclient: the stand-in Voxmere client as a program, for people and scripts.
 *
 *   vxm_fakeclient --plugin FILE [--id PLUGINID] [--config DIR] [--empty] [--echo] [--quiet] CLIENTFOLDER
 *
 * Loads the plug-in FILE and calls it as the client does (setFunctionPointers, init, registerPluginID
 * with PLUGINID, default "fakeclient"), then prints "fakeclient: ready" (or "fakeclient: ready
 * (vxmplugin_init returned N)") and reads control lines on standard input, one at a time, on the client
 * thread. CLIENTFOLDER is the client installation (getAppPath; plug-in folder CLIENTFOLDER/plugins/);
 * the configuration folder is DIR or CLIENTFOLDER/config. Unless --empty is given the world starts with
 * connection 1 (own client 1 "Me" in channel 1 "Lobby", client 2 "Alice" in channel 2 "Talk", server
 * version 20000), the current connection. --echo prints every journal entry as it is made. --quiet keeps
 * no journal, no records and no account of host memory (FakeHost::setQuiet), for load tests; "wait",
 * "journal", "log", "commands" and "inforequests" then have nothing to show.
 * End of input shuts the plug-in down like "shutdown"; closing windows does not end the program.
 *
 * Control lines (words separated by blanks; "..." takes the rest of the line; "#" starts a comment):
 *   echo TEXT...                          print TEXT (to synchronise a script)
 *   time LINE...                          run the control line LINE and print "time: MICROSECONDS at NS",
 *                                         NS being its start on the monotonic clock (CLOCK_MONOTONIC)
 *   connection SCH [OWNCLID]              add a server connection (own client id 0 = not connected)
 *   removeconnection SCH
 *   own SCH CLID                          set the own client id of a connection
 *   current SCH                           set the current connection (no event; see "event currentchanged")
 *   version SCH NUMBER                    the server version number
 *   connectinfo SCH HOST PORT [PASSWORD]  the server connect info (also the server password)
 *   servervar SCH VAR VALUE...
 *   channel SCH CID PARENT NAME...        add a channel
 *   channelvar SCH CID VAR VALUE...
 *   channelpassword SCH CID PASSWORD
 *   client SCH CLID CID NICKNAME...       add a client
 *   clientvar SCH CLID VAR VALUE...
 *   removeclient SCH CLID
 *   move SCH CLID CID [VISIBILITY [MESSAGE...]]
 *                                         move a client and inject the move event (visibility default 1)
 *   answer WORD ERROR [EXTRA...]          a forwarded command WORD ends with ERROR (and its extra message);
 *                                         clears its result lines
 *   answerline WORD LINE...               add a result line to the answer of WORD
 *   refuse WORD ERROR                     sendCtrlPortCommand of WORD fails at once with ERROR
 *   errortext NUMBER TEXT...              the text of an error number
 *   event connectstatus SCH STATUS [ERROR]
 *   event currentchanged SCH              set the current connection and inject the change
 *   event talkstatus SCH STATUS WHISPER CLID
 *   event ctrlport SCH LINE...
 *   event servererror SCH ERROR RETURNCODE|- [EXTRA...]      ("-" = no return code)
 *   event permissionerror SCH ERROR RETURNCODE|- PERMISSIONID
 *   event serverstop SCH [MESSAGE...]
 *   event move|movetimeout SCH CLID OLD NEW VISIBILITY [MESSAGE...]
 *   event moved|kickchannel|kickserver SCH CLID OLD NEW VISIBILITY ID NAME UID [MESSAGE...]
 *   event plugincommand SCH PLUGINNAME COMMAND...
 *   about                                 prints "about: NAME VERSION api=N autoload=N configure=N" and
 *                                         "description: TEXT"
 *   configure                             vxmplugin_configure without a parent window
 *   closewindows                          closes every open window, as its user would
 *   reload                                unloads the plug-in (vxmplugin_shutdown, the leak check, dlclose)
 *                                         and starts it again as at the start; prints "reload: ready" (or
 *                                         "reload: ready (vxmplugin_init returned N)", or "reload: cannot
 *                                         load the plug-in: ...", a fault); answers still queued for the
 *                                         old one are dropped
 *   infotitle                             prints "infotitle: TEXT" or "infotitle: (none)"
 *   infodata SCH ID TYPE                  prints "infodata: TEXT" or "infodata: (none)"
 *   wait NAME [TIMEOUTMS]                 wait for a journal entry NAME (a host function or export) made
 *                                         after the last successful wait; prints "wait: ok NAME" or
 *                                         "wait: timeout NAME" (default 10000 ms)
 *   drain                                 deliver every answer queued so far; prints "drain: ok"
 *   journal                               prints "journal: ENTRY" for every entry so far
 *   log                                   prints "log: LEVEL CHANNEL TEXT" for every logMessage
 *   commands                              prints "plugincommand: ..." for every sendPluginCommand
 *   inforequests                          prints "inforequest: SCH TYPE ID" for every requestInfoUpdate
 *   faults                                prints "fault: TEXT" for every fault, then "faults: N"
 *   shutdown | quit                       vxmplugin_shutdown, unload, print "faults: N" and exit
 *                                         (status 1 when any fault was recorded, else 0)
 * A line that cannot be read prints "error: ..." and changes nothing.
 */
#include "fake_host.h"
#include "offscreen_leak_suppressions.h"

#include <QApplication>
#include <QSocketNotifier>

#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

using namespace fakehost;

namespace {

void out(const std::string& line)
{
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// A control line: its words, and the text from a given word to the end.
class ControlLine {
public:
    explicit ControlLine(const std::string& text) : m_text(text)
    {
        size_t i = 0;
        while (i < text.size()) {
            while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
                ++i;
            if (i >= text.size())
                break;
            size_t start = i;
            while (i < text.size() && text[i] != ' ' && text[i] != '\t')
                ++i;
            m_words.push_back(text.substr(start, i - start));
            m_starts.push_back(start);
        }
    }
    size_t size() const { return m_words.size(); }
    const std::string& word(size_t n) const
    {
        if (n >= m_words.size())
            throw std::runtime_error("missing argument " + std::to_string(n));
        return m_words[n];
    }
    std::string rest(size_t n) const { return n < m_words.size() ? m_text.substr(m_starts[n]) : std::string(); }
    uint64 number(size_t n) const
    {
        const std::string& w = word(n);
        char* end = nullptr;
        unsigned long long v = std::strtoull(w.c_str(), &end, 10);
        if (w.empty() || *end || w[0] == '-')
            throw std::runtime_error("not a number: " + w);
        return v;
    }
    int integer(size_t n) const
    {
        const std::string& w = word(n);
        char* end = nullptr;
        long v = std::strtol(w.c_str(), &end, 10);
        if (w.empty() || *end)
            throw std::runtime_error("not a number: " + w);
        return static_cast<int>(v);
    }
    uint16 id16(size_t n) const { return static_cast<uint16>(number(n)); }

private:
    std::string m_text;
    std::vector<std::string> m_words;
    std::vector<size_t> m_starts;
};

class FakeClient {
public:
    FakeClient(FakeHost& host, const std::string& plugin, const std::string& id, bool echo)
        : m_host(host), m_plugin(plugin), m_id(id), m_notifier(STDIN_FILENO, QSocketNotifier::Read)
    {
        QObject::connect(&m_notifier, &QSocketNotifier::activated, [this]() { readInput(); });
        if (echo)
            QObject::connect(&m_host, &FakeHost::changed, [this]() { echoJournal(); });
    }

    // Loads the plug-in and starts it in the client's order, then prints "WHAT: ready" (with the
    // result of vxmplugin_init when it failed) or "WHAT: cannot load the plug-in: ...". False when
    // the plug-in could not be loaded.
    bool start(const std::string& what)
    {
        QString error;
        m_host.start(QString::fromLocal8Bit(m_plugin.c_str()), m_id, &error);
        if (!m_host.isLoaded()) {
            out(what + ": cannot load the plug-in: " + error.toStdString());
            return false;
        }
        const int init = m_host.initResult();
        out(init == 0 ? what + ": ready" : what + ": ready (vxmplugin_init returned " + std::to_string(init) + ")");
        return true;
    }

private:
    void readInput()
    {
        char buffer[4096];
        ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            m_eof = true;
            m_notifier.setEnabled(false);
        } else {
            m_input.append(buffer, static_cast<size_t>(n));
        }
        scheduleNext();
    }

    // One line per turn of the event loop, so that answers queued by a line come before the next line.
    void scheduleNext()
    {
        // One line per turn of the event loop; only one call is ever pending.
        if (m_scheduled)
            return;
        m_scheduled = true;
        QMetaObject::invokeMethod(
            &m_host,
            [this]() {
                m_scheduled = false;
                processNext();
            },
            Qt::QueuedConnection);
    }

    void processNext()
    {
        if (m_busy || m_done)
            return;
        size_t end = m_input.find('\n');
        std::string line;
        if (end != std::string::npos) {
            line = m_input.substr(0, end);
            m_input.erase(0, end + 1);
        } else if (m_eof) {
            if (m_input.empty()) {
                finish();
                return;
            }
            line.swap(m_input);
        } else {
            return;
        }
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        // The answers to the requests of earlier lines come first.
        m_host.deliverAnswers();
        m_busy = true;
        try {
            handle(line);
        } catch (const std::exception& e) {
            out(std::string("error: ") + e.what() + ": " + line);
        }
        m_busy = false;
        if (!m_done)
            scheduleNext();
    }

    void echoJournal()
    {
        for (const JournalEntry& e : m_host.journal()) {
            if (e.seq > m_echoed) {
                out("journal: " + e.text());
                m_echoed = e.seq;
            }
        }
    }

    void finish()
    {
        if (m_done)
            return;
        m_done = true;
        m_host.unload();
        std::vector<std::string> faults = m_host.faults();
        out("faults: " + std::to_string(faults.size()));
        QCoreApplication::exit(faults.empty() ? 0 : 1);
    }

    void handle(const std::string& text)
    {
        ControlLine l(text);
        if (l.size() == 0 || l.word(0)[0] == '#')
            return;
        const std::string& cmd = l.word(0);
        if (cmd == "echo") {
            out(l.rest(1));
        } else if (cmd == "time") {
            const auto start = std::chrono::steady_clock::now();
            handle(l.rest(1));
            const std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - start;
            const long long at = std::chrono::duration_cast<std::chrono::nanoseconds>(start.time_since_epoch()).count();
            char text[96];
            std::snprintf(text, sizeof text, "time: %.1f at %lld", took.count(), at);
            out(text);
        } else if (cmd == "connection") {
            m_host.addConnection(l.number(1), l.size() > 2 ? l.id16(2) : 0);
        } else if (cmd == "removeconnection") {
            m_host.removeConnection(l.number(1));
        } else if (cmd == "own") {
            m_host.setOwnClientID(l.number(1), l.id16(2));
        } else if (cmd == "current") {
            m_host.setCurrentConnection(l.number(1));
        } else if (cmd == "version") {
            m_host.setServerVersion(l.number(1), l.number(2));
        } else if (cmd == "connectinfo") {
            m_host.setServerConnectInfo(l.number(1), l.word(2), l.id16(3), l.size() > 4 ? l.word(4) : std::string());
        } else if (cmd == "servervar") {
            m_host.setServerVariable(l.number(1), l.number(2), l.rest(3));
        } else if (cmd == "channel") {
            m_host.addChannel(l.number(1), l.number(2), l.number(3), l.rest(4));
        } else if (cmd == "channelvar") {
            m_host.setChannelVariable(l.number(1), l.number(2), l.number(3), l.rest(4));
        } else if (cmd == "channelpassword") {
            m_host.setChannelPassword(l.number(1), l.number(2), l.size() > 3 ? l.word(3) : std::string());
        } else if (cmd == "client") {
            m_host.addClient(l.number(1), l.id16(2), l.number(3), l.rest(4));
        } else if (cmd == "clientvar") {
            m_host.setClientVariable(l.number(1), l.id16(2), l.number(3), l.rest(4));
        } else if (cmd == "removeclient") {
            m_host.removeClient(l.number(1), l.id16(2));
        } else if (cmd == "move") {
            uint64 sch = l.number(1);
            uint16 clid = l.id16(2);
            uint64 to = l.number(3);
            uint64 from = m_host.channelOfClient(sch, clid).value_or(0);
            int visibility = l.size() > 4 ? l.integer(4) : RETAIN_VISIBILITY;
            m_host.moveClient(sch, clid, to);
            m_host.clientMove(sch, clid, from, to, visibility, l.rest(5).c_str());
        } else if (cmd == "answer") {
            CommandAnswer answer = answerOf(l.word(1));
            answer.lines.clear();
            answer.error = static_cast<unsigned>(l.number(2));
            answer.extraMessage = l.rest(3);
            answer.refuse = 0;
            setAnswer(l.word(1), answer);
        } else if (cmd == "answerline") {
            CommandAnswer answer = answerOf(l.word(1));
            answer.lines.push_back(l.rest(2));
            setAnswer(l.word(1), answer);
        } else if (cmd == "refuse") {
            CommandAnswer answer = answerOf(l.word(1));
            answer.refuse = static_cast<unsigned>(l.number(2));
            setAnswer(l.word(1), answer);
        } else if (cmd == "errortext") {
            m_host.setErrorText(static_cast<unsigned>(l.number(1)), l.rest(2));
        } else if (cmd == "event") {
            event(l);
        } else if (cmd == "about") {
            std::string name = m_host.name();
            std::string version = m_host.version();
            int api = m_host.apiVersion();
            int autoload = m_host.requestAutoload();
            int configure = m_host.offersConfigure();
            out("about: " + name + " " + version + " api=" + std::to_string(api) +
                " autoload=" + std::to_string(autoload) + " configure=" + std::to_string(configure));
            out("description: " + m_host.description());
        } else if (cmd == "configure") {
            m_host.configure(nullptr, nullptr);
        } else if (cmd == "closewindows") {
            QApplication::closeAllWindows();
        } else if (cmd == "reload") {
            m_host.unload();
            start("reload");
        } else if (cmd == "infotitle") {
            auto title = m_host.infoTitle();
            out("infotitle: " + (title ? *title : std::string("(none)")));
        } else if (cmd == "infodata") {
            auto data = m_host.infoData(l.number(1), l.number(2), l.integer(3));
            out("infodata: " + (data ? *data : std::string("(none)")));
        } else if (cmd == "wait") {
            std::string name = l.word(1);
            int timeout = l.size() > 2 ? l.integer(2) : 10000;
            std::uint64_t found = 0;
            bool ok = m_host.waitFor(
                [&]() {
                    for (const JournalEntry& e : m_host.journal())
                        if (e.seq >= m_waitMark && e.name == name) {
                            found = e.seq;
                            return true;
                        }
                    return false;
                },
                timeout);
            if (ok)
                m_waitMark = found + 1;
            out(std::string(ok ? "wait: ok " : "wait: timeout ") + name);
        } else if (cmd == "drain") {
            out(m_host.drainAnswers() ? "drain: ok" : "drain: timeout");
        } else if (cmd == "journal") {
            for (const JournalEntry& e : m_host.journal())
                out("journal: " + e.text());
        } else if (cmd == "log") {
            for (const LogLine& line : m_host.logLines())
                out("log: " + std::to_string(line.level) + " " + line.channel + " " + line.text);
        } else if (cmd == "commands") {
            for (const PluginCommand& c : m_host.pluginCommands()) {
                std::string ids;
                for (uint16 id : c.targetIDs)
                    ids += (ids.empty() ? "" : ",") + std::to_string(id);
                out("plugincommand: sch=" + std::to_string(c.sch) + " plugin=" + c.pluginID +
                    " target=" + std::to_string(c.targetMode) + " ids=[" + ids + "] returnCode=" +
                    c.returnCode.value_or("-") + " command=" + c.command);
            }
        } else if (cmd == "inforequests") {
            for (const InfoUpdateRequest& r : m_host.infoUpdateRequests())
                out("inforequest: " + std::to_string(r.sch) + " " + std::to_string(r.type) + " " +
                    std::to_string(r.id));
        } else if (cmd == "faults") {
            std::vector<std::string> faults = m_host.faults();
            for (const std::string& f : faults)
                out("fault: " + f);
            out("faults: " + std::to_string(faults.size()));
        } else if (cmd == "shutdown" || cmd == "quit") {
            finish();
        } else {
            throw std::runtime_error("unknown control word");
        }
    }

    void event(const ControlLine& l)
    {
        const std::string& kind = l.word(1);
        uint64 sch = l.number(2);
        if (kind == "connectstatus") {
            m_host.connectStatusChange(sch, l.integer(3), l.size() > 4 ? static_cast<unsigned>(l.number(4)) : 0);
        } else if (kind == "currentchanged") {
            m_host.setCurrentConnection(sch);
            m_host.currentServerConnectionChanged(sch);
        } else if (kind == "talkstatus") {
            m_host.talkStatusChange(sch, l.integer(3), l.integer(4), l.id16(5));
        } else if (kind == "ctrlport") {
            m_host.incomingCtrlPortEvent(sch, l.rest(3).c_str());
        } else if (kind == "servererror" || kind == "permissionerror") {
            unsigned error = static_cast<unsigned>(l.number(3));
            std::string code = l.word(4);
            const char* returnCode = code == "-" ? nullptr : code.c_str();
            std::string message = m_host.errorText(error);
            if (kind == "servererror")
                m_host.serverError(sch, message.c_str(), error, returnCode, l.rest(5).c_str());
            else
                m_host.serverPermissionError(sch, message.c_str(), error, returnCode,
                                             static_cast<unsigned>(l.number(5)));
        } else if (kind == "serverstop") {
            m_host.serverStop(sch, l.rest(3).c_str());
        } else if (kind == "move" || kind == "movetimeout") {
            std::string message = l.rest(7);
            if (kind == "move")
                m_host.clientMove(sch, l.id16(3), l.number(4), l.number(5), l.integer(6), message.c_str());
            else
                m_host.clientMoveTimeout(sch, l.id16(3), l.number(4), l.number(5), l.integer(6), message.c_str());
        } else if (kind == "moved" || kind == "kickchannel" || kind == "kickserver") {
            uint16 clid = l.id16(3);
            uint64 from = l.number(4), to = l.number(5);
            int visibility = l.integer(6);
            uint16 by = l.id16(7);
            std::string name = l.word(8), uid = l.word(9), message = l.rest(10);
            if (kind == "moved")
                m_host.clientMoveMoved(sch, clid, from, to, visibility, by, name.c_str(), uid.c_str(), message.c_str());
            else if (kind == "kickchannel")
                m_host.clientKickFromChannel(sch, clid, from, to, visibility, by, name.c_str(), uid.c_str(),
                                             message.c_str());
            else
                m_host.clientKickFromServer(sch, clid, from, to, visibility, by, name.c_str(), uid.c_str(),
                                            message.c_str());
        } else if (kind == "plugincommand") {
            m_host.pluginCommand(sch, l.word(3).c_str(), l.rest(4).c_str());
        } else {
            throw std::runtime_error("unknown event");
        }
    }

    CommandAnswer answerOf(const std::string& word) { return m_answers[word]; }
    void setAnswer(const std::string& word, const CommandAnswer& answer)
    {
        m_answers[word] = answer;
        m_host.setCommandAnswer(word, answer);
    }

    FakeHost& m_host;
    const std::string m_plugin;
    const std::string m_id;
    QSocketNotifier m_notifier;
    std::string m_input;
    bool m_eof = false;
    bool m_busy = false;
    bool m_scheduled = false;
    bool m_done = false;
    std::uint64_t m_echoed = 0;
    std::uint64_t m_waitMark = 0;
    std::map<std::string, CommandAnswer> m_answers;
};

int usage()
{
    std::fprintf(stderr, "usage: vxm_fakeclient --plugin FILE [--id PLUGINID] [--config DIR] [--empty] [--echo] "
                         "[--quiet] CLIENTFOLDER\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    // Read our own options first: Qt would take "--plugin" for one of its own.
    std::string plugin, config, folder;
    std::string id = "fakeclient";
    bool empty = false, echo = false, quiet = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--plugin" && i + 1 < argc)
            plugin = argv[++i];
        else if (a == "--id" && i + 1 < argc)
            id = argv[++i];
        else if (a == "--config" && i + 1 < argc)
            config = argv[++i];
        else if (a == "--empty")
            empty = true;
        else if (a == "--echo")
            echo = true;
        else if (a == "--quiet")
            quiet = true;
        else if (a.rfind("-", 0) == 0 || !folder.empty())
            return usage();
        else
            folder = a;
    }
    if (plugin.empty() || folder.empty())
        return usage();

    if (!std::getenv("QT_QPA_PLATFORM") && !std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY"))
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    // Qt took the desk's locale; the numbers this client prints are read by scripts ("time: 13.9").
    std::setlocale(LC_NUMERIC, "C");
    // The client runs until its input ends or says "shutdown", whatever windows a plug-in closes.
    app.setQuitOnLastWindowClosed(false);

    FakeHost host(QString::fromLocal8Bit(folder.c_str()), QString::fromLocal8Bit(config.c_str()));
    host.setQuiet(quiet);
    if (!empty)
        host.addSampleWorld();
    FakeClient client(host, plugin, id, echo);
    if (!client.start("fakeclient"))
        return 2;
    return app.exec();
}

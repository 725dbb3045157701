// The command parser: receives every line of every telnet connection, answers the plug-in's own
// commands, forwards the others to the server through the client, and sends the client's
// notifications and answers on to the connections that registered for them.
//
// Threads: lines arrive on the poller thread that read them (under the connection's QueryClient
// lock), pseudo-lines also on the accept and timer threads; notifications and error replies come
// on the client's thread. The connection table has its own lock, which is never held while a line
// is sent or the client is called: ids and values are copied out first.
#ifndef CTRLPORT_PARSER_H
#define CTRLPORT_PARSER_H

#include "parameterparser.h"
#include "query.h"

#include <boost/thread/thread.hpp>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <set>
#include <string>
#include <vector>

// The port of the telnet interface.
constexpr int kCtrlPortPort = 25639;
// What one connection may register for: this many (server connection, notification) pairs, each
// name at most this long. Past either, clientnotifyregister answers 1538.
constexpr std::size_t kMaxRegistrations = 64;
constexpr std::size_t kMaxEventNameLength = 64;

// What the parser keeps of one telnet connection.
struct ConnectionRecord
{
    uint64_t m_selected = 0;
    // Server connection (0: every one) -> notification names ("any": every one).
    std::map<uint64_t, std::set<std::string>> m_registrations;
};

class Parser : public SCBody
{
public:
    // Starts the manager, the timer thread and the listener on 127.0.0.1 (every address with
    // open_remote). `status` is 0, or 257 when the port could not be opened.
    explicit Parser(int& status);
    ~Parser() override;
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;

    void handleLine(QueryLine* line) override;
    unsigned forwardCommand(ParamParser& parameters, QueryLine& line);
    void sendErrorReply(int connectionID, unsigned error, const std::string& extra, uint16_t failedPermissionID);
    // Sends a notification line to every connection registered for it, in id order; always 0.
    int dispatchNotification(const std::string& line);

    QueryManager& queryManager() { return m_QueryManager; }

    // The line as it may be logged: the value of every password parameter replaced by "***".
    static std::string maskPasswords(const std::string& line);

private:
    // A command handler gets the line's parameters, the line and, when its command needs one, the
    // connection's selected server connection (0 otherwise).
    typedef unsigned (Parser::*Handler)(ParamParser&, QueryLine&, uint64_t selected);

    // What a command needs before its handler runs.
    enum class Needs
    {
        Nothing,
        // The connection's record, for its selected server connection: without it the command
        // answers 1792 and the handler does not run.
        Selection
    };

    struct Command
    {
        Handler handler;
        Needs needs;
    };

    // handleLine without its guard: may throw.
    void handleCommand(QueryLine& line);
    // The checks that the command needs, then its handler.
    unsigned runCommand(const Command& command, ParamParser& parameters, QueryLine& line);
    void timerLoop();
    void stopTimer();
    void fillTables();
    void sendLine(int connectionID, std::string line);
    // A list's line, finished in place; one longer than a connection's queue may hold is answered
    // with an error line that says so instead. The result of the command.
    unsigned sendListLine(int connectionID, std::string&& records);
    // The selected server connection of a connection; false when it has no record.
    bool selectedConnection(int connectionID, uint64_t& selected);
    bool hasRecord(int connectionID);
    // Changes the connection's record under the table's lock and answers what `change` answers;
    // without a record, logs `missing` and answers 1794.
    unsigned changeRecord(int connectionID, const char* missing,
                          const std::function<unsigned(ConnectionRecord&)>& change);
    // Logs `missing` and answers 1794: the connection has no record.
    static unsigned noQueryConnection(const char* missing);
    static bool isRegistered(const ConnectionRecord& record, uint64_t schandlerid, const std::string& event);
    // Adds a registration within the bounds: 0, 3 when it exists, 1538 past a bound.
    static unsigned addRegistration(ConnectionRecord& record, uint64_t schandlerid, const std::string& event);

    // Commands about the connection itself.
    unsigned quitCommand(ParamParser& parameters, QueryLine& line, uint64_t selected);
    unsigned useCommand(ParamParser& parameters, QueryLine& line, uint64_t selected);
    unsigned whoamiCommand(ParamParser& parameters, QueryLine& line, uint64_t selected);
    unsigned connectionLostCommand(ParamParser& parameters, QueryLine& line, uint64_t selected);
    unsigned connectionEstablishedCommand(ParamParser& parameters, QueryLine& line, uint64_t selected);
    unsigned notifyRegisterCommand(ParamParser& parameters, QueryLine& line, uint64_t selected);
    unsigned notifyUnregisterCommand(ParamParser& parameters, QueryLine& line, uint64_t selected);
    unsigned helpCommand(ParamParser& parameters, QueryLine& line, uint64_t selected);
    unsigned currentSchandlerIdCommand(ParamParser& parameters, QueryLine& line, uint64_t selected);
    unsigned serverConnectionHandlerListCommand(ParamParser& parameters, QueryLine& line, uint64_t selected);
    unsigned serverConnectInfoCommand(ParamParser& parameters, QueryLine& line, uint64_t selected);
    unsigned channelConnectInfoCommand(ParamParser& parameters, QueryLine& line, uint64_t selected);

    // Client and channel lists (parser_lists.cpp).
    unsigned clientListCommand(ParamParser& parameters, QueryLine& line, uint64_t selected);
    unsigned channelClientListCommand(ParamParser& parameters, QueryLine& line, uint64_t selected);
    unsigned channelListCommand(ParamParser& parameters, QueryLine& line, uint64_t selected);

    // Variables, own-client updates, muting and password checks (parser_variables.cpp).
    unsigned clientVariableCommand(ParamParser& parameters, QueryLine& line, uint64_t selected);
    unsigned channelVariableCommand(ParamParser& parameters, QueryLine& line, uint64_t selected);
    unsigned objectVariables(ParamParser& parameters, QueryLine& line, uint64_t selected, bool channels);
    unsigned serverVariableCommand(ParamParser& parameters, QueryLine& line, uint64_t selected);
    unsigned clientUpdateCommand(ParamParser& parameters, QueryLine& line, uint64_t selected);
    unsigned clientMuteCommand(ParamParser& parameters, QueryLine& line, uint64_t selected);
    unsigned clientUnmuteCommand(ParamParser& parameters, QueryLine& line, uint64_t selected);
    unsigned muteCommand(ParamParser& parameters, uint64_t selected, bool mute);
    unsigned verifyServerPasswordCommand(ParamParser& parameters, QueryLine& line, uint64_t selected);
    unsigned verifyChannelPasswordCommand(ParamParser& parameters, QueryLine& line, uint64_t selected);

    // The password hash (parser_hash.cpp).
    unsigned handleHashPassword(ParamParser& parameters, QueryLine& line, uint64_t selected);

    QueryManager m_QueryManager;
    std::atomic<bool> m_TimerStop{false};
    boost::thread* m_TimerThread = nullptr;
    // Shared by the reads of every line (the selection, registrations); taken alone by changes.
    std::shared_mutex m_ConnectionLock;
    std::map<int, ConnectionRecord> m_ConnectionMap;
    // Filled before the port opens, read only afterwards.
    std::map<std::string, std::string> m_ForwardedMap;
    std::map<std::string, Command> m_CommandMap;
};

#endif

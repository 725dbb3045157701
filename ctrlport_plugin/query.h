// The query connection manager: one QueryClient per accepted telnet connection. It greets and admits
// connections, cleans what they send, cuts it into lines for the parser, sends reply lines, ends
// connections and, once a second, drops connections that are closed or idle.
//
// Lock order of the plug-in: a QueryClient's lock, then the manager's lock, then the networking
// layer's (the queue-trimming lock, the NetWorking lock, a poller's lock, the connection-id mutex, in
// this order). The parser's connection table lock is held only while the table is read or changed,
// never while anything else is called. The manager's lock is held only to look up or change its
// tables; maintenance, which holds it, only tries a client's lock. No lock is held while the
// networking layer calls back (a block received, a connection accepted or lost). None of these locks
// is recursive: taking one again is a fault.
//
// One telnet connection has three records with their own lives:
//   record                created                       ended                          freed
//   NetWorkingSocketData  accept thread, addSocket      its poller's setState(Closed)  its poll thread, once no
//   (the socket)                                        (close, peer's end, a bound)   list holds it
//   QueryClient           onNewConnection (admitted)    markClosing (quit, error line  erased by maintenance;
//   (this manager's)                                    with close, lost, idle)        freed by its last holder
//   ConnectionRecord      "dummy_connectionestablished" "dummy_connectionlost"         erased by that line
//   (the parser's)
#ifndef CTRLPORT_QUERY_H
#define CTRLPORT_QUERY_H

#include "net/networking.h"
#include "telnet_input.h"

#include <netinet/in.h>

#include <boost/shared_ptr.hpp>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

class SCBody;
class NetWorkingPollTCPSelect;

// Telnet error numbers that the plug-in itself gives (the texts come from the client).
constexpr unsigned kErrorOk = 0;
// The client's "undefined error": a command that failed inside the plug-in.
constexpr unsigned kErrorUndefined = 1;
constexpr unsigned kErrorNotSupported = 2;
constexpr unsigned kResultNoLineNow = 3;
constexpr unsigned kResultNoLine = 4;
constexpr unsigned kErrorTooManyClients = 515;
constexpr unsigned kErrorShuttingDown = 1026;
constexpr unsigned kErrorCommandRejected = 1538;
constexpr unsigned kErrorParameterMissing = 1539;
constexpr unsigned kErrorParameterInvalid = 1540;
constexpr unsigned kErrorNoConnectionRecord = 1792;
constexpr unsigned kErrorNoQueryConnection = 1794;
constexpr unsigned kErrorNoSuchServerConnection = 1799;
constexpr unsigned kErrorAddressBanned = 3329;

// The result of starting to listen when an address could not be bound.
constexpr int kListenFailed = 257;

// Most open clients at once; the next connection is refused with 515. A closing client (its
// final line sent, or lost) no longer counts, though it stays in the table until maintenance.
constexpr std::size_t kMaxClients = 201;
// The silence after which a connection is closed, and the life of a ban. Both are measured on the
// monotonic clock: a step of the wall clock (a resume from suspend, a corrected system time) neither
// closes an active client nor lengthens a ban.
using SteadyTime = std::chrono::steady_clock::time_point;
constexpr std::chrono::seconds kIdleSeconds{600};
constexpr std::chrono::seconds kBanSeconds{600};

// A received line on its way to the parser, which deletes it.
struct QueryLine
{
    std::string m_line;
    int m_connectionID = 0;
    sockaddr_in m_peer{};
};

// A reply line on its way out, without its line end; packetSend deletes it.
struct QueryPacket
{
    int m_connectionID = 0;
    std::string m_line;
};

// One admitted connection.
class QueryClient
{
public:
    QueryClient(int connectionID, SteadyTime now);

    // Held while a block is cut into lines and every line of it is handled.
    std::mutex m_lock;
    const int m_connectionID;
    // Guarded by m_lock:
    TelnetInput m_input;
    SteadyTime m_lastActivity;
    // Set once, when the connection's end has begun (its final line is on its way or it was lost);
    // from then on nothing more is sent to it and it no longer counts toward the client limit.
    std::atomic<bool> m_closing{false};
    // Set once at admission; every send and close of the connection goes through it.
    NetWorkingPollTCPSelect* m_poller = nullptr;
};

// Base of the parser as the manager sees it.
class SCBody
{
public:
    virtual ~SCBody() = default;
    virtual void handleLine(QueryLine* line) = 0;
};

class QueryManager
{
public:
    using Clock = std::function<SteadyTime()>;

    explicit QueryManager(SCBody* parser);
    ~QueryManager();
    QueryManager(const QueryManager&) = delete;
    QueryManager& operator=(const QueryManager&) = delete;

    // Opens a listener per address; 0, or 257 at the first address that fails.
    int startListening(const std::vector<std::string>& addresses, int port);

    // The longest reply line that a connection's queue can hold, with its line end.
    static const std::size_t kMaxLineLength;

    // A reply line, with the line end "\n\r", into the connection's reply buffer; its poller writes
    // it. Every line of the protocol goes this way except the greeting and the final error lines.
    void sendLine(int connectionID, std::string line);
    void packetSend(QueryPacket* packet);
    // The same line to each of the connections, as sendLine would send it to each, with one lookup
    // of them all; each poller is woken once, when every connection has its line.
    void packetSendToEach(const std::vector<int>& connectionIDs, const std::string& line);
    void sendErrorAndCloseConnection(int connectionID, unsigned error, const std::string& extra);
    void sendErrorAndRemoveConnection(int connectionID, unsigned error, const std::string& extra);
    void onRemoveConnection(int connectionID);

    void timerTick(uint64_t nowMilliseconds);
    void runMaintenance();

    // From now on new connections and new data are answered with 1026 and closed.
    void setShuttingDown();
    // Stops and joins the networking layer (no callback runs afterwards) and forgets every client.
    void stopNetworking();

    // The error line of a number: "error id=<n> msg=<text>" [" extra_msg=<extra>"]
    // [" failed_permid=<id>"]; the extra text and the permission id only when set.
    static std::string errorLine(unsigned error, const std::string& extra, uint16_t failedPermissionID = 0);

    // The clock of activity, idle and ban times: steady_clock unless a test sets another.
    void setClock(Clock clock);
    // Bans an address from now on, for kBanSeconds. Nothing in the plug-in bans yet; tests use it
    // to check the refusal of banned addresses.
    void banAddress(const std::string& address);
    std::size_t clientCount();

    // Callbacks of the networking layer (public for the trampolines).
    bool onNewConnection(int connectionID, const sockaddr_in& peer, NetWorkingPollTCPSelect* poller);
    void onDataReceived(int connectionID, char* buffer, int length, const sockaddr_in& peer);
    void onConnectionLost(int connectionID);

private:
    boost::shared_ptr<QueryClient> findClient(int connectionID);
    // Marks the client closing; false when it already was.
    bool markClosing(QueryClient& client);
    // The connection's final line: the error line, without a line end, then the close.
    void sendError(int connectionID, NetWorkingPollTCPSelect* poller, unsigned error, const std::string& extra);
    void deliverLine(QueryClient& client, std::string& line, const sockaddr_in& peer);
    void handPseudoLine(const char* text, int connectionID, const sockaddr_in& peer);
    SteadyTime now();

    SCBody* const m_parser;
    // Shared by the look-ups that every line makes (its client, a reply's poller); taken alone by
    // what changes the tables (admission, closing, maintenance, stop).
    std::shared_mutex m_lock;
    std::map<int, boost::shared_ptr<QueryClient>> m_ClientMap;
    // Clients in the table that are not closing: these count toward kMaxClients.
    std::size_t m_openClients = 0;
    std::map<std::string, SteadyTime> m_BanMap;
    std::atomic<uint64_t> m_lastTick{0};
    std::atomic<bool> m_shuttingDown{false};
    std::mutex m_clockLock;  // a leaf lock
    Clock m_clock;
    std::atomic<bool> m_clockSet{false};
    std::unique_ptr<NetWorking> m_netWorking;
};

#endif

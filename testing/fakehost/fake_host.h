/*
 * FakeHost: a stand-in for the Voxmere client that loads one plug-in with dlopen and plays the client
 * for it, for tests and for the vxm_fakeclient program.
 *
 * Threads. The "client thread" is the thread that creates the FakeHost; it must run a Qt event loop
 * (a QCoreApplication or QApplication exists; tests wait with waitFor/waitForCall, which process
 * events). Every call into the plug-in (its vxmplugin_ exports) is made on the client thread. The host
 * functions that the plug-in calls through its table may come from any thread: one lock guards the
 * world, the journal and the memory records, and it is never held while the plug-in is called.
 * Requests that the real client answers later (flushOwnClientUpdates, sendCtrlPortCommand,
 * verifyServerPassword, verifyChannelPassword, and mute/unmute/sendPluginCommand when they carry a
 * return code) are queued and answered on the client thread once it processes events: the scripted
 * result lines through vxmplugin_onIncomingCtrlPortEvent, then vxmplugin_onServerErrorEvent with the
 * request's return code. Requests without a return code get no answer.
 *
 * Faults. A call through a reserved slot ("unexpected host slot N"), memory given to freeHostMemory
 * that the host did not hand out, host memory still unfreed when the plug-in is unloaded, host calls
 * after vxmplugin_shutdown returned, a plug-in id that differs from the registered one, and exports
 * called off the client thread are recorded as faults (faults()) and printed on stderr.
 *
 * Only one FakeHost may exist at a time in a process: the host functions are plain C function
 * pointers, so they reach the host through a process-wide pointer.
 */
#ifndef VXM_TESTING_FAKE_HOST_H
#define VXM_TESTING_FAKE_HOST_H

#include <QObject>
#include <QSocketNotifier>
#include <QString>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "plugin_exports.h"
#include "table_host.h"

namespace fakehost {

using uint64 = std::uint64_t;
using uint16 = std::uint16_t;

// Error numbers of the stand-in client (0 = success). Each has an error text (slot 4).
enum HostError : unsigned {
    ErrorOk = 0,
    ErrorUndefined = 1,             // also what getErrorText answers for a number it does not know
    ErrorNothingToDo = 3,           // flushOwnClientUpdates with no pending change (a success)
    ErrorInvalidClient = 512,
    ErrorInvalidChannel = 768,
    ErrorInvalidPassword = 781,
    ErrorUnknownVariable = 1541,    // a variable name or number the host does not know
    ErrorVariableNotNumeric = 1542, // an int/uint64 read of a variable whose value is no number
    ErrorInvalidConnection = 1800,  // a server connection handler id the host does not have
    ErrorNotConnected = 1801,       // a connection without an own client
};

// One entry of the journal: a host call (plug-in -> host) or an export call (host -> plug-in).
struct JournalEntry {
    enum Direction { ToHost, ToPlugin, Note };
    std::uint64_t seq = 0;
    Direction direction = ToHost;
    int slot = -1;                // host slot number, -1 for exports and notes
    std::string name;             // "getClientList", "vxmplugin_init", ...
    std::string args;             // arguments rendered as text, e.g. "sch=1 clid=2"
    std::string result;           // result rendered as text (may be empty)
    bool clientThread = true;     // made on the client thread
    int threadIndex = 0;          // 0 = client thread, 1.. = other threads in order of first appearance
    std::string text() const;     // one readable line
};

// A plug-in command sent through sendPluginCommand (slot 187).
struct PluginCommand {
    uint64 sch = 0;
    std::string pluginID;
    std::string command;
    int targetMode = 0;
    std::vector<uint16> targetIDs; // copied from the 0-ended array (empty when none was given)
    bool hasTargetIDs = false;
    std::optional<std::string> returnCode;
    bool clientThread = true;
};

// An information panel refresh asked for through requestInfoUpdate (slot 192).
struct InfoUpdateRequest {
    uint64 sch = 0;
    int type = 0;
    uint64 id = 0;
};

// The scripted answer to a forwarded command (slot 112).
struct CommandAnswer {
    std::vector<std::string> lines; // result lines, handed to vxmplugin_onIncomingCtrlPortEvent
    unsigned error = ErrorOk;       // error number of the closing vxmplugin_onServerErrorEvent
    std::string extraMessage;       // its extra message
    unsigned refuse = ErrorOk;      // non-zero: sendCtrlPortCommand fails at once with this number
};

class FakeHost : public QObject {
    Q_OBJECT
public:
    // clientFolder: the client installation (getAppPath); plugins/ and the config folder are created
    // below it when missing. configFolder: the client's configuration folder (getConfigPath); empty
    // means <clientFolder>/config.
    explicit FakeHost(const QString& clientFolder, const QString& configFolder = QString(),
                      QObject* parent = nullptr);
    ~FakeHost() override; // unloads the plug-in (shutdown first if it is still running)

    FakeHost(const FakeHost&) = delete;
    FakeHost& operator=(const FakeHost&) = delete;

    // ---- Life cycle (client thread) ----
    // dlopen and resolve the exports; checks that the required ones exist and the API version is 20.
    bool load(const QString& pluginFile, QString* error = nullptr);
    // The client's order in one go: load, setFunctionPointers, init, registerPluginID(pluginID).
    // Returns false when loading failed or init returned non-zero (initResult() tells which).
    bool start(const QString& pluginFile, const std::string& pluginID = "fakeplugin", QString* error = nullptr);
    void setFunctionPointers();
    int init();
    void registerPluginID(const std::string& pluginID);
    void shutdown();
    // shutdown (if still running), checks for host memory not given back, dlclose.
    void unload();

    bool isLoaded() const;
    int initResult() const { return m_initResult; }
    // Quiet: no journal, no records (log lines, plug-in commands, info requests) and no accounting
    // of host memory; only faults are kept. For load tests, where the plug-in should meet a host as
    // lean as the real client. The waits on journal entries and the leak check at unload have nothing
    // to look at then. Set it before load.
    void setQuiet(bool quiet);
    std::string pluginID() const;
    // The table handed to the plug-in. Also usable without a plug-in: tests may call it directly.
    const HostFunctions& hostFunctions() const { return m_table; }

    // ---- Exports of the plug-in (client thread; missing exports are skipped) ----
    bool hasExport(const char* name) const;
    std::string name();
    std::string version();
    int apiVersion();
    std::string author();
    std::string description();
    int offersConfigure();
    void configure(void* handle = nullptr, void* parentWidget = nullptr);
    int requestAutoload();
    void currentServerConnectionChanged(uint64 sch);
    void connectStatusChange(uint64 sch, int newStatus, unsigned errorNumber = 0);
    int serverError(uint64 sch, const char* errorMessage, unsigned error, const char* returnCode,
                    const char* extraMessage = "");
    int serverPermissionError(uint64 sch, const char* errorMessage, unsigned error, const char* returnCode,
                              unsigned failedPermissionID);
    void talkStatusChange(uint64 sch, int status, int isReceivedWhisper, uint16 clientID);
    void incomingCtrlPortEvent(uint64 sch, const char* line);
    void serverStop(uint64 sch, const char* shutdownMessage = "");
    void clientMove(uint64 sch, uint16 clid, uint64 oldChannel, uint64 newChannel, int visibility,
                    const char* moveMessage = "");
    void clientMoveTimeout(uint64 sch, uint16 clid, uint64 oldChannel, uint64 newChannel, int visibility,
                           const char* timeoutMessage = "");
    void clientMoveMoved(uint64 sch, uint16 clid, uint64 oldChannel, uint64 newChannel, int visibility,
                         uint16 moverID, const char* moverName, const char* moverUID, const char* moveMessage = "");
    void clientKickFromChannel(uint64 sch, uint16 clid, uint64 oldChannel, uint64 newChannel, int visibility,
                               uint16 kickerID, const char* kickerName, const char* kickerUID,
                               const char* kickMessage = "");
    void clientKickFromServer(uint64 sch, uint16 clid, uint64 oldChannel, uint64 newChannel, int visibility,
                              uint16 kickerID, const char* kickerName, const char* kickerUID,
                              const char* kickMessage = "");
    void pluginCommand(uint64 sch, const char* pluginName, const char* command);
    std::optional<std::string> infoTitle();
    // Calls vxmplugin_infoData and gives the memory back through vxmplugin_freeMemory, as the client
    // does; nullopt when the plug-in left *data untouched.
    std::optional<std::string> infoData(uint64 sch, uint64 id, int type);

    // ---- The world (any thread) ----
    // A server connection; ownClientID 0 = not connected (getOwnClientID fails).
    void addConnection(uint64 sch, uint16 ownClientID = 0);
    void removeConnection(uint64 sch);
    void setOwnClientID(uint64 sch, uint16 clid);
    void setCurrentConnection(uint64 sch);
    uint64 currentConnection() const;
    void setServerVersion(uint64 sch, uint64 version);
    void setServerVariable(uint64 sch, size_t var, const std::string& value);
    void setServerConnectInfo(uint64 sch, const std::string& host, uint16 port, const std::string& password);
    // Channel 0 is the root; a channel's name is its variable 0.
    void addChannel(uint64 sch, uint64 cid, uint64 parent, const std::string& name);
    void removeChannel(uint64 sch, uint64 cid);
    void setChannelVariable(uint64 sch, uint64 cid, size_t var, const std::string& value);
    // The path and password of slot 190 (default: the names from the root down joined by "/", no password).
    void setChannelConnectInfo(uint64 sch, uint64 cid, const std::string& path, const std::string& password);
    void setChannelPassword(uint64 sch, uint64 cid, const std::string& password);
    // A client's nickname is its variable 1.
    void addClient(uint64 sch, uint16 clid, uint64 cid, const std::string& nickname);
    void removeClient(uint64 sch, uint16 clid);
    void moveClient(uint64 sch, uint16 clid, uint64 cid); // the world only; inject clientMove separately
    void setClientVariable(uint64 sch, uint16 clid, size_t var, const std::string& value);
    std::optional<std::string> clientVariable(uint64 sch, uint16 clid, size_t var) const;
    std::optional<uint64> channelOfClient(uint64 sch, uint16 clid) const;
    bool isMuted(uint64 sch, uint16 clid) const;
    // Reading this variable fails with error (0 clears): clients, channels.
    void setClientVariableError(uint64 sch, uint16 clid, size_t var, unsigned error);
    void setChannelVariableError(uint64 sch, uint64 cid, size_t var, unsigned error);
    // Every call of a named slot fails at once with error (0 clears). For functions without an error
    // result the call does nothing.
    void setSlotError(int slot, unsigned error);
    // Variable names of slots 176-178 (prefilled with the names the plug-ins use).
    void setClientVariableName(const std::string& name, size_t id);
    void setChannelVariableName(const std::string& name, size_t id);
    void setServerVariableName(const std::string& name, size_t id);
    // Error texts of slot 4 (prefilled); removing one makes getErrorText fail for it.
    void setErrorText(unsigned error, const std::string& text);
    void removeErrorText(unsigned error);
    std::string errorText(unsigned error) const;
    // Answer of a forwarded command: matched by the whole line first, then by its first word; unknown
    // commands get no result lines and error 0.
    void setCommandAnswer(const std::string& lineOrWord, const CommandAnswer& answer);
    // Error number of the answer to flushOwnClientUpdates (default 0).
    void setFlushAnswer(unsigned error, const std::string& extraMessage = std::string());
    // A small world: connection 1 (own client 1 "Me" in channel 1 "Lobby", client 2 "Alice" in channel 2
    // "Talk", server version 20000, "127.0.0.1" port 7000, no password), current connection 1.
    void addSampleWorld();

    // ---- Records (any thread) ----
    std::vector<JournalEntry> journal() const;
    std::vector<JournalEntry> calls(const std::string& name) const; // entries with this name
    std::vector<PluginCommand> pluginCommands() const;
    std::vector<InfoUpdateRequest> infoUpdateRequests() const;
    std::vector<LogLine> logLines() const;
    std::vector<std::string> faults() const;
    std::vector<std::string> takeFaults();
    size_t outstandingAllocations() const; // host memory handed out and not yet given back
    std::vector<std::string> returnCodes() const; // every code made by createReturnCode, in order
    void clearRecords(); // journal, plug-in commands, info requests, log lines (not faults)

    // ---- Waiting (client thread): processes events until the condition holds or the deadline passes ----
    bool waitFor(const std::function<bool()>& condition, int timeoutMs = 10000);
    // Waits for a journal entry named `name` whose args contain `argsPart`, counting from entry `fromSeq`.
    bool waitForCall(const std::string& name, const std::string& argsPart = std::string(), int timeoutMs = 10000,
                     std::uint64_t fromSeq = 0);
    // Sequence number of the next journal entry (use as fromSeq).
    std::uint64_t nextSeq() const;
    // Processes events until every answer queued before the call has been delivered (or dropped).
    bool drainAnswers(int timeoutMs = 10000);
    // Delivers the answers queued so far, now (client thread), at most 64 of them; the rest follow
    // in later turns of the event loop. The event loop does this by itself; a driver that wants the
    // answers of one step before its next step calls it between them.
    void deliverAnswers();

    // Used by the host trampolines: the FakeHost of this process, or null.
    static FakeHost* current();

signals:
    // Emitted on the client thread after the journal, faults or records grew: at once for changes made
    // on the client thread (possibly while the plug-in is inside an export: receivers must not call
    // into the plug-in), for changes made on other threads once the client thread processes events.
    void changed();

public:
    struct Impl;
    friend struct HostSlots;
    friend class HostCall;

private:
    void callExport(const char* name, const std::string& args, const std::function<void()>& call,
                    const std::function<std::string()>& result = nullptr);
    void* symbol(const char* name) const;
    void fault(const std::string& text);
    void notifyChanged();
    void wake();
    void queueAnswer(std::function<void()> answer); // with the lock held

    std::unique_ptr<Impl> d;
    QSocketNotifier* m_wakeNotifier = nullptr;
    HostFunctions m_table;
    int m_initResult = -1;
};

} // namespace fakehost

#endif // VXM_TESTING_FAKE_HOST_H

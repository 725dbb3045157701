// Inner state of FakeHost, shared by fake_host.cpp and host_slots.cpp.
#ifndef VXM_TESTING_FAKE_HOST_P_H
#define VXM_TESTING_FAKE_HOST_P_H

#include "fake_host.h"

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace fakehost {

struct Variable {
    std::string value;
    unsigned error = ErrorOk; // non-zero: reading the variable fails with it
};

struct ClientRecord {
    uint64 channel = 0;
    std::map<size_t, Variable> vars;
    bool muted = false;
};

struct ChannelRecord {
    uint64 parent = 0;
    std::map<size_t, Variable> vars;
    bool hasPath = false;
    std::string path;
    std::string password;
};

struct ConnectionRecord {
    uint16 ownClientID = 0;
    uint64 version = 0;
    std::map<size_t, std::string> serverVars;
    std::string host;
    uint16 port = 0;
    std::string password;
    std::map<uint64, ChannelRecord> channels;
    std::map<uint16, ClientRecord> clients;
    std::map<size_t, std::string> pendingOwnUpdates; // set but not yet flushed
};

struct FakeHost::Impl {
    // The one lock of the host: guards everything below. Never held while the plug-in is called.
    mutable std::mutex lock;

    // The plug-in.
    void* handle = nullptr;
    QString pluginFile;
    bool tableSet = false;
    bool initCalled = false;
    bool shutDown = false;
    std::string pluginID;
    std::thread::id clientThread;
    std::map<std::thread::id, int> threadIndex;
    bool quiet = false;

    // The world.
    std::map<uint64, ConnectionRecord> connections;
    uint64 current = 0;
    std::map<std::string, size_t> clientNames, channelNames, serverNames;
    std::map<unsigned, std::string> errorTexts;
    std::map<std::string, CommandAnswer> answers;
    unsigned flushError = ErrorOk;
    std::string flushExtra;
    std::map<int, unsigned> slotErrors;
    unsigned returnCodeCounter = 0;
    std::vector<std::string> returnCodes;
    std::string appPath, configPath, pluginPath;

    // Memory handed to the plug-in: pointer -> what it was.
    std::map<const void*, std::string> allocations;

    // Records.
    std::uint64_t seq = 0;
    std::vector<JournalEntry> journal;
    std::vector<PluginCommand> pluginCommands;
    std::vector<InfoUpdateRequest> infoRequests;
    std::vector<LogLine> logLines;
    std::vector<std::string> faults;
    JournalEntry unrecorded; // what addEntry hands back when quiet
    // Answers waiting for the client thread, delivered in order by deliverAnswers.
    std::deque<std::function<void()>> answerQueue;
    // Answers queued, and answers delivered or dropped, since the host was made.
    std::uint64_t answersQueued = 0;
    std::uint64_t answersDone = 0;
    // Wakes the client thread's event loop from any thread (an eventfd watched by a QSocketNotifier):
    // posting Qt events across threads would hide our ordering from the thread checker.
    int wakeFd = -1;

    // Helpers; all expect the lock to be held.
    int threadIndexOfCaller();
    JournalEntry& addEntry(JournalEntry::Direction direction, int slot, const std::string& name,
                           const std::string& args, const std::string& result = std::string());
    void faultLocked(const std::string& text);
    void noteDroppedAnswer();
    char* allocString(const std::string& text, const std::string& what);
    void* allocBlock(size_t bytes, const std::string& what);
    ConnectionRecord* connection(uint64 sch);
};

// Text helpers for the journal.
std::string quoted(const char* text);
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

} // namespace fakehost

#endif // VXM_TESTING_FAKE_HOST_P_H

// The host functions of the stand-in client: one C function per named slot of HostFunctions and a
// distinct trap for every reserved slot. Each call takes the host's lock, does its work on the world,
// writes one journal entry and lets the client thread know that something changed.
#include "fake_host_p.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace fakehost {

namespace {

// Longest 0-ended list the host reads from the plug-in before it calls the array unterminated.
constexpr size_t kMaxListLength = 65536;

std::string idList(const uint16* ids)
{
    if (!ids)
        return "null";
    std::string out = "[";
    for (size_t i = 0; i < kMaxListLength && ids[i] != 0; ++i) {
        if (i)
            out += ",";
        out += std::to_string(ids[i]);
    }
    return out + "]";
}

template <typename T>
std::string listText(const std::vector<T>& ids)
{
    std::string out = "[";
    for (size_t i = 0; i < ids.size(); ++i) {
        if (i)
            out += ",";
        out += std::to_string(ids[i]);
    }
    return out + "]";
}

bool parseInt(const std::string& text, int* out)
{
    if (text.empty()) {
        *out = 0;
        return true;
    }
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno || *end || v < INT32_MIN || v > INT32_MAX)
        return false;
    *out = static_cast<int>(v);
    return true;
}

bool parseUInt64(const std::string& text, uint64* out)
{
    if (text.empty()) {
        *out = 0;
        return true;
    }
    if (text[0] < '0' || text[0] > '9')
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (errno || *end)
        return false;
    *out = v;
    return true;
}

} // namespace

// The body of every host function. Holds the host's lock from construction to destruction; the
// destructor writes the journal entry, releases the lock and wakes the client thread.
class HostCall {
public:
    HostCall(FakeHost* host, int slot, const char* name)
        : m_host(host), m_lock(host->d->lock), m_slot(slot), m_name(name)
    {
        FakeHost::Impl& d = *host->d;
        if (d.shutDown)
            d.faultLocked(format("host slot %d (%s) called after vxmplugin_shutdown", slot, name));
    }
    ~HostCall()
    {
        const bool quiet = m_host->d->quiet;
        m_host->d->addEntry(JournalEntry::ToHost, m_slot, m_name, args, result);
        m_lock.unlock();
        if (!quiet)
            m_host->notifyChanged();
    }
    HostCall(const HostCall&) = delete;
    HostCall& operator=(const HostCall&) = delete;

    FakeHost::Impl& d() { return *m_host->d; }
    // False for a quiet host, which spends nothing on the journal's texts.
    bool recording() const { return !m_host->d->quiet; }
    FakeHost* host() { return m_host; }
    // The scripted failure of this slot, 0 when none.
    unsigned slotError() const
    {
        auto it = m_host->d->slotErrors.find(m_slot);
        return it == m_host->d->slotErrors.end() ? 0 : it->second;
    }
    unsigned fail(unsigned error)
    {
        result = std::to_string(error);
        return error;
    }
    void fault(const std::string& text) { d().faultLocked(format("%s: %s", m_name, text.c_str())); }
    // The plug-in passed no place for the result: its fault, and the call fails.
    unsigned nullResult()
    {
        fault("null result pointer");
        return fail(ErrorUndefined);
    }

    std::string args;
    std::string result;

private:
    FakeHost* m_host;
    std::unique_lock<std::mutex> m_lock;
    int m_slot;
    const char* m_name;
};

// The host functions themselves. A friend of FakeHost; every function starts from FakeHost::current().
struct HostSlots {
    static void noHost(int slot)
    {
        std::fprintf(stderr, "fakehost: host slot %d called while no FakeHost exists\n", slot);
    }

    // Queues the answer event of a request: result lines, then the error event with the return code.
    // Called with the lock held.
    static void queueAnswer(HostCall& call, uint64 sch, std::vector<std::string> lines, unsigned error,
                            std::string extra, const char* returnCode)
    {
        std::optional<std::string> code;
        if (returnCode)
            code = std::string(returnCode);
        if (lines.empty() && !code)
            return;
        FakeHost* host = call.host();
        std::string message = call.d().errorTexts.count(error) ? call.d().errorTexts[error] : std::string();
        host->queueAnswer([host, sch, lines = std::move(lines), error, extra = std::move(extra), code,
                           message]() {
            for (const std::string& line : lines)
                host->incomingCtrlPortEvent(sch, line.c_str());
            if (code)
                host->serverError(sch, message.c_str(), error, code->c_str(), extra.c_str());
        });
    }

    static unsigned reserved(int slot)
    {
        FakeHost* host = FakeHost::current();
        if (!host) {
            noHost(slot);
            return ErrorUndefined;
        }
        HostCall call(host, slot, "reserved");
        call.fault(format("unexpected host slot %d", slot));
        return call.fail(ErrorUndefined);
    }

#define HOST_CALL(slot, name, errorResult)   \
    FakeHost* host = FakeHost::current();    \
    if (!host) {                             \
        noHost(slot);                        \
        return errorResult;                  \
    }                                        \
    HostCall call(host, slot, name);         \
    FakeHost::Impl& d = call.d();            \
    (void)d

#define HOST_CALL_VOID(slot, name)        \
    FakeHost* host = FakeHost::current(); \
    if (!host) {                          \
        noHost(slot);                     \
        return;                           \
    }                                     \
    HostCall call(host, slot, name);      \
    FakeHost::Impl& d = call.d();         \
    (void)d

// The journal's text of a call's arguments, result or memory, made only when the host keeps a journal.
#define JOURNAL_TEXT(...) (call.recording() ? format(__VA_ARGS__) : std::string())

#define SLOT_ERROR()                          \
    if (unsigned scripted = call.slotError()) \
    return call.fail(scripted)

    // ---- 4-6 ----
    static unsigned getErrorText(unsigned error, char** text)
    {
        HOST_CALL(4, "getErrorText", ErrorUndefined);
        call.args = JOURNAL_TEXT("error=%u", error);
        SLOT_ERROR();
        if (!text)
            return call.nullResult();
        auto it = d.errorTexts.find(error);
        if (it == d.errorTexts.end())
            return call.fail(ErrorUndefined);
        *text = d.allocString(it->second, JOURNAL_TEXT("getErrorText(%u)", error));
        if (call.recording())
            call.result = "0 " + quoted(*text);
        return ErrorOk;
    }

    static void freeHostMemory(void* pointer)
    {
        HOST_CALL_VOID(5, "freeHostMemory");
        call.args = JOURNAL_TEXT("%p", pointer);
        if (!pointer)
            return;
        if (d.quiet) {
            std::free(pointer);
            return;
        }
        auto it = d.allocations.find(pointer);
        if (it == d.allocations.end()) {
            call.fault(format("%p was not handed out by the host, or was given back already", pointer));
            call.result = "foreign";
            return;
        }
        call.args += " (" + it->second + ")";
        d.allocations.erase(it);
        std::free(pointer);
    }

    static void logMessage(const char* text, int level, const char* channel, uint64 sch)
    {
        HOST_CALL_VOID(6, "logMessage");
        call.args = JOURNAL_TEXT("text=%s level=%d channel=%s sch=%" PRIu64, quoted(text).c_str(), level,
                           quoted(channel).c_str(), sch);
        if (!text) {
            call.fault("null text");
            return;
        }
        if (!d.quiet)
            d.logLines.push_back(LogLine{text, level, channel ? channel : "", sch});
    }

    // ---- 64-65 ----
    static unsigned mute(int slot, const char* name, uint64 sch, const uint16* ids, const char* returnCode,
                         bool muted)
    {
        HOST_CALL(slot, name, ErrorUndefined);
        call.args = JOURNAL_TEXT("sch=%" PRIu64 " ids=%s returnCode=%s", sch, idList(ids).c_str(),
                           quoted(returnCode).c_str());
        SLOT_ERROR();
        ConnectionRecord* c = d.connection(sch);
        if (!c)
            return call.fail(ErrorInvalidConnection);
        if (!ids) {
            call.fault("null id array");
            return call.fail(ErrorUndefined);
        }
        unsigned result = ErrorOk;
        for (size_t i = 0; i < kMaxListLength && ids[i] != 0; ++i) {
            auto it = c->clients.find(ids[i]);
            if (it == c->clients.end())
                result = ErrorInvalidClient;
            else
                it->second.muted = muted;
        }
        queueAnswer(call, sch, {}, result, std::string(), returnCode);
        return call.fail(result);
    }
    static unsigned muteClients(uint64 sch, const uint16* ids, const char* returnCode)
    {
        return mute(64, "muteClients", sch, ids, returnCode, true);
    }
    static unsigned unmuteClients(uint64 sch, const uint16* ids, const char* returnCode)
    {
        return mute(65, "unmuteClients", sch, ids, returnCode, false);
    }

    // ---- 73-78: the own client ----
    static unsigned ownClient(HostCall& call, uint64 sch, ConnectionRecord** connection)
    {
        ConnectionRecord* c = call.d().connection(sch);
        if (!c)
            return ErrorInvalidConnection;
        if (c->ownClientID == 0)
            return ErrorNotConnected;
        *connection = c;
        return ErrorOk;
    }

    static unsigned getOwnClientID(uint64 sch, uint16* clientID)
    {
        HOST_CALL(73, "getOwnClientID", ErrorUndefined);
        call.args = JOURNAL_TEXT("sch=%" PRIu64, sch);
        SLOT_ERROR();
        ConnectionRecord* c = nullptr;
        if (unsigned e = ownClient(call, sch, &c))
            return call.fail(e);
        if (!clientID)
            return call.nullResult();
        *clientID = c->ownClientID;
        call.result = JOURNAL_TEXT("0 %u", c->ownClientID);
        return ErrorOk;
    }

    static unsigned readInt(HostCall& call, const std::map<size_t, Variable>& vars, size_t var, int* out)
    {
        auto it = vars.find(var);
        int value = 0;
        if (it != vars.end()) {
            if (it->second.error)
                return call.fail(it->second.error);
            if (!parseInt(it->second.value, &value))
                return call.fail(ErrorVariableNotNumeric);
        }
        if (!out)
            return call.nullResult();
        *out = value;
        call.result = JOURNAL_TEXT("0 %d", value);
        return ErrorOk;
    }

    static unsigned readUInt64(HostCall& call, const std::map<size_t, Variable>& vars, size_t var, uint64* out)
    {
        auto it = vars.find(var);
        uint64 value = 0;
        if (it != vars.end()) {
            if (it->second.error)
                return call.fail(it->second.error);
            if (!parseUInt64(it->second.value, &value))
                return call.fail(ErrorVariableNotNumeric);
        }
        if (!out)
            return call.nullResult();
        *out = value;
        call.result = JOURNAL_TEXT("0 %" PRIu64, value);
        return ErrorOk;
    }

    static unsigned readString(HostCall& call, const std::map<size_t, Variable>& vars, size_t var, char** out,
                               const std::string& what)
    {
        auto it = vars.find(var);
        std::string value;
        if (it != vars.end()) {
            if (it->second.error)
                return call.fail(it->second.error);
            value = it->second.value;
        }
        if (!out)
            return call.nullResult();
        *out = call.d().allocString(value, what);
        if (call.recording())
            call.result = "0 " + quoted(*out);
        return ErrorOk;
    }

    static unsigned getOwnClientVariableAsInt(uint64 sch, size_t var, int* result)
    {
        HOST_CALL(74, "getOwnClientVariableAsInt", ErrorUndefined);
        call.args = JOURNAL_TEXT("sch=%" PRIu64 " var=%zu", sch, var);
        SLOT_ERROR();
        ConnectionRecord* c = nullptr;
        if (unsigned e = ownClient(call, sch, &c))
            return call.fail(e);
        auto it = c->clients.find(c->ownClientID);
        static const std::map<size_t, Variable> none;
        return readInt(call, it == c->clients.end() ? none : it->second.vars, var, result);
    }

    static unsigned setOwnClientVariableAsString(uint64 sch, size_t var, const char* value)
    {
        HOST_CALL(77, "setOwnClientVariableAsString", ErrorUndefined);
        call.args = JOURNAL_TEXT("sch=%" PRIu64 " var=%zu value=%s", sch, var, quoted(value).c_str());
        SLOT_ERROR();
        ConnectionRecord* c = nullptr;
        if (unsigned e = ownClient(call, sch, &c))
            return call.fail(e);
        if (!value) {
            call.fault("null value");
            return call.fail(ErrorUndefined);
        }
        c->pendingOwnUpdates[var] = value;
        return call.fail(ErrorOk);
    }

    static unsigned flushOwnClientUpdates(uint64 sch, const char* returnCode)
    {
        HOST_CALL(78, "flushOwnClientUpdates", ErrorUndefined);
        call.args = JOURNAL_TEXT("sch=%" PRIu64 " returnCode=%s", sch, quoted(returnCode).c_str());
        SLOT_ERROR();
        ConnectionRecord* c = nullptr;
        if (unsigned e = ownClient(call, sch, &c))
            return call.fail(e);
        if (c->pendingOwnUpdates.empty())
            return call.fail(ErrorNothingToDo);
        ClientRecord& own = c->clients[c->ownClientID];
        for (const auto& [var, value] : c->pendingOwnUpdates)
            own.vars[var].value = value;
        c->pendingOwnUpdates.clear();
        queueAnswer(call, sch, {}, d.flushError, d.flushExtra, returnCode);
        return call.fail(ErrorOk);
    }

    // ---- 79-86, 93-96, 99: clients, channels, server ----
    static unsigned client(HostCall& call, uint64 sch, uint16 clid, ClientRecord** out)
    {
        ConnectionRecord* c = call.d().connection(sch);
        if (!c)
            return ErrorInvalidConnection;
        auto it = c->clients.find(clid);
        if (it == c->clients.end())
            return ErrorInvalidClient;
        *out = &it->second;
        return ErrorOk;
    }

    static unsigned channel(HostCall& call, uint64 sch, uint64 cid, ChannelRecord** out)
    {
        ConnectionRecord* c = call.d().connection(sch);
        if (!c)
            return ErrorInvalidConnection;
        auto it = c->channels.find(cid);
        if (it == c->channels.end())
            return ErrorInvalidChannel;
        *out = &it->second;
        return ErrorOk;
    }

    static unsigned getClientVariableAsInt(uint64 sch, uint16 clid, size_t var, int* result)
    {
        HOST_CALL(79, "getClientVariableAsInt", ErrorUndefined);
        call.args = JOURNAL_TEXT("sch=%" PRIu64 " clid=%u var=%zu", sch, clid, var);
        SLOT_ERROR();
        ClientRecord* cl = nullptr;
        if (unsigned e = client(call, sch, clid, &cl))
            return call.fail(e);
        return readInt(call, cl->vars, var, result);
    }

    static unsigned getClientVariableAsUInt64(uint64 sch, uint16 clid, size_t var, uint64* result)
    {
        HOST_CALL(80, "getClientVariableAsUInt64", ErrorUndefined);
        call.args = JOURNAL_TEXT("sch=%" PRIu64 " clid=%u var=%zu", sch, clid, var);
        SLOT_ERROR();
        ClientRecord* cl = nullptr;
        if (unsigned e = client(call, sch, clid, &cl))
            return call.fail(e);
        return readUInt64(call, cl->vars, var, result);
    }

    static unsigned getClientVariableAsString(uint64 sch, uint16 clid, size_t var, char** result)
    {
        HOST_CALL(81, "getClientVariableAsString", ErrorUndefined);
        call.args = JOURNAL_TEXT("sch=%" PRIu64 " clid=%u var=%zu", sch, clid, var);
        SLOT_ERROR();
        ClientRecord* cl = nullptr;
        if (unsigned e = client(call, sch, clid, &cl))
            return call.fail(e);
        return readString(call, cl->vars, var, result, "getClientVariableAsString(" + call.args + ")");
    }

    static unsigned getClientList(uint64 sch, uint16** result)
    {
        HOST_CALL(82, "getClientList", ErrorUndefined);
        call.args = JOURNAL_TEXT("sch=%" PRIu64, sch);
        SLOT_ERROR();
        ConnectionRecord* c = d.connection(sch);
        if (!c)
            return call.fail(ErrorInvalidConnection);
        std::vector<uint16> ids;
        for (const auto& entry : c->clients)
            ids.push_back(entry.first);
        return handOutList(call, ids, result, "getClientList(" + call.args + ")");
    }

    template <typename T>
    static unsigned handOutList(HostCall& call, const std::vector<T>& ids, T** result, const std::string& what)
    {
        if (!result)
            return call.nullResult();
        T* list = static_cast<T*>(call.d().allocBlock((ids.size() + 1) * sizeof(T), what));
        for (size_t i = 0; i < ids.size(); ++i)
            list[i] = ids[i];
        list[ids.size()] = 0;
        *result = list;
        if (call.recording())
            call.result = "0 " + listText(ids);
        return ErrorOk;
    }

    static unsigned getChannelOfClient(uint64 sch, uint16 clid, uint64* channelID)
    {
        HOST_CALL(83, "getChannelOfClient", ErrorUndefined);
        call.args = JOURNAL_TEXT("sch=%" PRIu64 " clid=%u", sch, clid);
        SLOT_ERROR();
        ClientRecord* cl = nullptr;
        if (unsigned e = client(call, sch, clid, &cl))
            return call.fail(e);
        if (!channelID)
            return call.nullResult();
        *channelID = cl->channel;
        call.result = JOURNAL_TEXT("0 %" PRIu64, cl->channel);
        return ErrorOk;
    }

    static unsigned getChannelVariableAsInt(uint64 sch, uint64 cid, size_t var, int* result)
    {
        HOST_CALL(84, "getChannelVariableAsInt", ErrorUndefined);
        call.args = JOURNAL_TEXT("sch=%" PRIu64 " cid=%" PRIu64 " var=%zu", sch, cid, var);
        SLOT_ERROR();
        ChannelRecord* ch = nullptr;
        if (unsigned e = channel(call, sch, cid, &ch))
            return call.fail(e);
        return readInt(call, ch->vars, var, result);
    }

    static unsigned getChannelVariableAsUInt64(uint64 sch, uint64 cid, size_t var, uint64* result)
    {
        HOST_CALL(85, "getChannelVariableAsUInt64", ErrorUndefined);
        call.args = JOURNAL_TEXT("sch=%" PRIu64 " cid=%" PRIu64 " var=%zu", sch, cid, var);
        SLOT_ERROR();
        ChannelRecord* ch = nullptr;
        if (unsigned e = channel(call, sch, cid, &ch))
            return call.fail(e);
        return readUInt64(call, ch->vars, var, result);
    }

    static unsigned getChannelVariableAsString(uint64 sch, uint64 cid, size_t var, char** result)
    {
        HOST_CALL(86, "getChannelVariableAsString", ErrorUndefined);
        call.args = JOURNAL_TEXT("sch=%" PRIu64 " cid=%" PRIu64 " var=%zu", sch, cid, var);
        SLOT_ERROR();
        ChannelRecord* ch = nullptr;
        if (unsigned e = channel(call, sch, cid, &ch))
            return call.fail(e);
        return readString(call, ch->vars, var, result, "getChannelVariableAsString(" + call.args + ")");
    }

    static unsigned getChannelList(uint64 sch, uint64** result)
    {
        HOST_CALL(93, "getChannelList", ErrorUndefined);
        call.args = JOURNAL_TEXT("sch=%" PRIu64, sch);
        SLOT_ERROR();
        ConnectionRecord* c = d.connection(sch);
        if (!c)
            return call.fail(ErrorInvalidConnection);
        std::vector<uint64> ids;
        for (const auto& entry : c->channels)
            ids.push_back(entry.first);
        return handOutList(call, ids, result, "getChannelList(" + call.args + ")");
    }

    static unsigned getChannelClientList(uint64 sch, uint64 cid, uint16** result)
    {
        HOST_CALL(94, "getChannelClientList", ErrorUndefined);
        call.args = JOURNAL_TEXT("sch=%" PRIu64 " cid=%" PRIu64, sch, cid);
        SLOT_ERROR();
        ChannelRecord* ch = nullptr;
        if (unsigned e = channel(call, sch, cid, &ch))
            return call.fail(e);
        std::vector<uint16> ids;
        for (const auto& entry : d.connection(sch)->clients)
            if (entry.second.channel == cid)
                ids.push_back(entry.first);
        return handOutList(call, ids, result, "getChannelClientList(" + call.args + ")");
    }

    static unsigned getParentChannel(uint64 sch, uint64 cid, uint64* result)
    {
        HOST_CALL(95, "getParentChannel", ErrorUndefined);
        call.args = JOURNAL_TEXT("sch=%" PRIu64 " cid=%" PRIu64, sch, cid);
        SLOT_ERROR();
        ChannelRecord* ch = nullptr;
        if (unsigned e = channel(call, sch, cid, &ch))
            return call.fail(e);
        if (!result)
            return call.nullResult();
        *result = ch->parent;
        call.result = JOURNAL_TEXT("0 %" PRIu64, ch->parent);
        return ErrorOk;
    }

    static unsigned getServerConnectionHandlerList(uint64** result)
    {
        HOST_CALL(96, "getServerConnectionHandlerList", ErrorUndefined);
        SLOT_ERROR();
        std::vector<uint64> ids;
        for (const auto& entry : d.connections)
            ids.push_back(entry.first);
        return handOutList(call, ids, result, "getServerConnectionHandlerList()");
    }

    static unsigned getServerVariableAsString(uint64 sch, size_t var, char** result)
    {
        HOST_CALL(99, "getServerVariableAsString", ErrorUndefined);
        call.args = JOURNAL_TEXT("sch=%" PRIu64 " var=%zu", sch, var);
        SLOT_ERROR();
        ConnectionRecord* c = d.connection(sch);
        if (!c)
            return call.fail(ErrorInvalidConnection);
        std::map<size_t, Variable> vars;
        auto it = c->serverVars.find(var);
        if (it != c->serverVars.end())
            vars[var].value = it->second;
        return readString(call, vars, var, result, "getServerVariableAsString(" + call.args + ")");
    }

    // ---- 112, 135, 136: answered later ----
    static unsigned sendCtrlPortCommand(uint64 sch, const char* command, const char* returnCode)
    {
        HOST_CALL(112, "sendCtrlPortCommand", ErrorUndefined);
        call.args = JOURNAL_TEXT("sch=%" PRIu64 " command=%s returnCode=%s", sch, quoted(command).c_str(),
                           quoted(returnCode).c_str());
        SLOT_ERROR();
        ConnectionRecord* c = nullptr;
        if (unsigned e = ownClient(call, sch, &c))
            return call.fail(e);
        if (!command) {
            call.fault("null command");
            return call.fail(ErrorUndefined);
        }
        std::string line = command;
        auto it = d.answers.find(line);
        if (it == d.answers.end())
            it = d.answers.find(line.substr(0, line.find(' ')));
        CommandAnswer answer = it == d.answers.end() ? CommandAnswer() : it->second;
        if (answer.refuse)
            return call.fail(answer.refuse);
        queueAnswer(call, sch, answer.lines, answer.error, answer.extraMessage, returnCode);
        return call.fail(ErrorOk);
    }

    static unsigned verifyServerPassword(uint64 sch, const char* password, const char* returnCode)
    {
        HOST_CALL(135, "verifyServerPassword", ErrorUndefined);
        call.args = JOURNAL_TEXT("sch=%" PRIu64 " password=%s returnCode=%s", sch, quoted(password).c_str(),
                           quoted(returnCode).c_str());
        SLOT_ERROR();
        ConnectionRecord* c = nullptr;
        if (unsigned e = ownClient(call, sch, &c))
            return call.fail(e);
        if (!password) {
            call.fault("null password");
            return call.fail(ErrorUndefined);
        }
        unsigned verdict = c->password == password ? ErrorOk : ErrorInvalidPassword;
        queueAnswer(call, sch, {}, verdict, std::string(), returnCode);
        return call.fail(ErrorOk);
    }

    static unsigned verifyChannelPassword(uint64 sch, uint64 cid, const char* password, const char* returnCode)
    {
        HOST_CALL(136, "verifyChannelPassword", ErrorUndefined);
        call.args = JOURNAL_TEXT("sch=%" PRIu64 " cid=%" PRIu64 " password=%s returnCode=%s", sch, cid,
                           quoted(password).c_str(), quoted(returnCode).c_str());
        SLOT_ERROR();
        ConnectionRecord* c = nullptr;
        if (unsigned e = ownClient(call, sch, &c))
            return call.fail(e);
        auto it = c->channels.find(cid);
        if (it == c->channels.end())
            return call.fail(ErrorInvalidChannel);
        if (!password) {
            call.fault("null password");
            return call.fail(ErrorUndefined);
        }
        unsigned verdict = it->second.password == password ? ErrorOk : ErrorInvalidPassword;
        queueAnswer(call, sch, {}, verdict, std::string(), returnCode);
        return call.fail(ErrorOk);
    }

    // ---- 176-178: variable names ----
    static unsigned lookup(int slot, const char* name, const char* varName, size_t* result,
                           std::map<std::string, size_t> FakeHost::Impl::*table)
    {
        HOST_CALL(slot, name, ErrorUndefined);
        call.args = JOURNAL_TEXT("name=%s", quoted(varName).c_str());
        SLOT_ERROR();
        if (!varName || !result) {
            call.fault("null name or result pointer");
            return call.fail(ErrorUndefined);
        }
        const auto& names = d.*table;
        auto it = names.find(varName);
        if (it == names.end())
            return call.fail(ErrorUnknownVariable);
        *result = it->second;
        call.result = JOURNAL_TEXT("0 %zu", it->second);
        return ErrorOk;
    }
    static unsigned lookupClientVariableID(const char* name, size_t* result)
    {
        return lookup(176, "lookupClientVariableID", name, result, &FakeHost::Impl::clientNames);
    }
    static unsigned lookupChannelVariableID(const char* name, size_t* result)
    {
        return lookup(177, "lookupChannelVariableID", name, result, &FakeHost::Impl::channelNames);
    }
    static unsigned lookupServerVariableID(const char* name, size_t* result)
    {
        return lookup(178, "lookupServerVariableID", name, result, &FakeHost::Impl::serverNames);
    }

    // ---- 180-183: folders, current connection ----
    static void path(int slot, const char* name, char* buffer, size_t maxLen, std::string FakeHost::Impl::*which)
    {
        HOST_CALL_VOID(slot, name);
        call.args = JOURNAL_TEXT("maxLen=%zu", maxLen);
        if (call.slotError())
            return;
        if (!buffer || maxLen == 0) {
            call.fault("no buffer");
            return;
        }
        copyOut(buffer, maxLen, d.*which);
        if (call.recording())
            call.result = quoted(buffer);
    }
    static void getAppPath(char* buffer, size_t maxLen)
    {
        path(180, "getAppPath", buffer, maxLen, &FakeHost::Impl::appPath);
    }
    static void getConfigPath(char* buffer, size_t maxLen)
    {
        path(181, "getConfigPath", buffer, maxLen, &FakeHost::Impl::configPath);
    }
    static void getPluginPath(char* buffer, size_t maxLen)
    {
        path(182, "getPluginPath", buffer, maxLen, &FakeHost::Impl::pluginPath);
    }

    static uint64 getCurrentServerConnectionHandlerID()
    {
        HOST_CALL(183, "getCurrentServerConnectionHandlerID", 0);
        call.result = std::to_string(d.current);
        return d.current;
    }

    // ---- 187, 189-193 ----
    static void checkPluginID(HostCall& call, const char* pluginID)
    {
        if (!pluginID)
            call.fault("null plug-in id");
        else if (call.d().pluginID.empty())
            call.fault(format("plug-in id %s used before vxmplugin_registerPluginID", quoted(pluginID).c_str()));
        else if (call.d().pluginID != pluginID)
            call.fault(format("plug-in id %s is not the registered id %s", quoted(pluginID).c_str(),
                              quoted(call.d().pluginID.c_str()).c_str()));
    }

    static void sendPluginCommand(uint64 sch, const char* pluginID, const char* command, int targetMode,
                                  const uint16* targetIDs, const char* returnCode)
    {
        HOST_CALL_VOID(187, "sendPluginCommand");
        call.args = JOURNAL_TEXT("sch=%" PRIu64 " pluginID=%s command=%s target=%d ids=%s returnCode=%s", sch,
                           quoted(pluginID).c_str(), quoted(command).c_str(), targetMode, idList(targetIDs).c_str(),
                           quoted(returnCode).c_str());
        if (call.slotError())
            return;
        checkPluginID(call, pluginID);
        if (!command) {
            call.fault("null command");
            return;
        }
        if (targetMode == PLUGINCOMMAND_TARGET_CLIENT && !targetIDs)
            call.fault("target mode 2 without an id array");
        if (!d.connection(sch)) {
            call.result = "invalid connection";
            return;
        }
        PluginCommand record;
        record.sch = sch;
        record.pluginID = pluginID ? pluginID : "";
        record.command = command;
        record.targetMode = targetMode;
        record.hasTargetIDs = targetIDs != nullptr;
        for (size_t i = 0; targetIDs && i < kMaxListLength && targetIDs[i] != 0; ++i)
            record.targetIDs.push_back(targetIDs[i]);
        if (returnCode)
            record.returnCode = std::string(returnCode);
        record.clientThread = std::this_thread::get_id() == d.clientThread;
        if (!d.quiet)
            d.pluginCommands.push_back(record);
        queueAnswer(call, sch, {}, ErrorOk, std::string(), returnCode);
    }

    static unsigned getServerConnectInfo(uint64 sch, char* hostName, uint16* port, char* password, size_t maxLen)
    {
        HOST_CALL(189, "getServerConnectInfo", ErrorUndefined);
        call.args = JOURNAL_TEXT("sch=%" PRIu64 " maxLen=%zu", sch, maxLen);
        SLOT_ERROR();
        ConnectionRecord* c = d.connection(sch);
        if (!c)
            return call.fail(ErrorInvalidConnection);
        if (!hostName || !port || !password || maxLen == 0) {
            call.fault("missing buffer");
            return call.fail(ErrorUndefined);
        }
        copyOut(hostName, maxLen, c->host);
        copyOut(password, maxLen, c->password);
        *port = c->port;
        call.result = JOURNAL_TEXT("0 %s %u %s", quoted(hostName).c_str(), c->port, quoted(password).c_str());
        return ErrorOk;
    }

    static unsigned getChannelConnectInfo(uint64 sch, uint64 cid, char* pathOut, char* password, size_t maxLen)
    {
        HOST_CALL(190, "getChannelConnectInfo", ErrorUndefined);
        call.args = JOURNAL_TEXT("sch=%" PRIu64 " cid=%" PRIu64 " maxLen=%zu", sch, cid, maxLen);
        SLOT_ERROR();
        ChannelRecord* ch = nullptr;
        if (unsigned e = channel(call, sch, cid, &ch))
            return call.fail(e);
        if (!pathOut || !password || maxLen == 0) {
            call.fault("missing buffer");
            return call.fail(ErrorUndefined);
        }
        std::string p = ch->path;
        if (!ch->hasPath) {
            // The names from the root down, joined by "/".
            ConnectionRecord* c = d.connection(sch);
            uint64 at = cid;
            for (size_t depth = 0; at != 0 && depth < 1000; ++depth) {
                auto it = c->channels.find(at);
                if (it == c->channels.end())
                    break;
                auto name = it->second.vars.find(0);
                std::string n = name == it->second.vars.end() ? std::string() : name->second.value;
                p = p.empty() ? n : n + "/" + p;
                at = it->second.parent;
            }
        }
        copyOut(pathOut, maxLen, p);
        copyOut(password, maxLen, ch->password);
        call.result = JOURNAL_TEXT("0 %s %s", quoted(pathOut).c_str(), quoted(password).c_str());
        return ErrorOk;
    }

    static void createReturnCode(const char* pluginID, char* returnCode, size_t maxLen)
    {
        HOST_CALL_VOID(191, "createReturnCode");
        call.args = JOURNAL_TEXT("pluginID=%s maxLen=%zu", quoted(pluginID).c_str(), maxLen);
        if (call.slotError())
            return;
        checkPluginID(call, pluginID);
        if (!returnCode || maxLen == 0) {
            call.fault("no buffer");
            return;
        }
        std::string code = format("PR_%s_%u", pluginID ? pluginID : "", ++d.returnCodeCounter);
        copyOut(returnCode, maxLen, code);
        d.returnCodes.push_back(returnCode);
        if (call.recording())
            call.result = quoted(returnCode);
    }

    static void requestInfoUpdate(uint64 sch, int type, uint64 itemID)
    {
        HOST_CALL_VOID(192, "requestInfoUpdate");
        call.args = JOURNAL_TEXT("sch=%" PRIu64 " type=%d id=%" PRIu64, sch, type, itemID);
        if (call.slotError())
            return;
        if (!d.quiet)
            d.infoRequests.push_back(InfoUpdateRequest{sch, type, itemID});
    }

    static uint64 getServerVersionNumber(uint64 sch)
    {
        HOST_CALL(193, "getServerVersionNumber", 0);
        call.args = JOURNAL_TEXT("sch=%" PRIu64, sch);
        ConnectionRecord* c = d.connection(sch);
        uint64 version = c ? c->version : 0;
        call.result = std::to_string(version);
        return version;
    }

#undef HOST_CALL
#undef HOST_CALL_VOID
#undef SLOT_ERROR
};

namespace {

template <int N>
unsigned reservedSlot()
{
    return HostSlots::reserved(N);
}

template <std::size_t... I>
void fillReserved(VxmReservedSlot* entries, std::index_sequence<I...>)
{
    ((entries[I] = reinterpret_cast<VxmReservedSlot>(&reservedSlot<static_cast<int>(I)>)), ...);
}

} // namespace

// Fills every slot: traps first, then the named functions over them.
void fillHostFunctions(HostFunctions* table)
{
    VxmReservedSlot entries[VXM_HOST_SLOT_COUNT];
    fillReserved(entries, std::make_index_sequence<VXM_HOST_SLOT_COUNT>());
    static_assert(sizeof(entries) == sizeof(HostFunctions), "one pointer per slot");
    std::memcpy(static_cast<void*>(table), entries, sizeof(entries));

    table->getErrorText = &HostSlots::getErrorText;
    table->freeHostMemory = &HostSlots::freeHostMemory;
    table->logMessage = &HostSlots::logMessage;
    table->muteClients = &HostSlots::muteClients;
    table->unmuteClients = &HostSlots::unmuteClients;
    table->getOwnClientID = &HostSlots::getOwnClientID;
    table->getOwnClientVariableAsInt = &HostSlots::getOwnClientVariableAsInt;
    table->setOwnClientVariableAsString = &HostSlots::setOwnClientVariableAsString;
    table->flushOwnClientUpdates = &HostSlots::flushOwnClientUpdates;
    table->getClientVariableAsInt = &HostSlots::getClientVariableAsInt;
    table->getClientVariableAsUInt64 = &HostSlots::getClientVariableAsUInt64;
    table->getClientVariableAsString = &HostSlots::getClientVariableAsString;
    table->getClientList = &HostSlots::getClientList;
    table->getChannelOfClient = &HostSlots::getChannelOfClient;
    table->getChannelVariableAsInt = &HostSlots::getChannelVariableAsInt;
    table->getChannelVariableAsUInt64 = &HostSlots::getChannelVariableAsUInt64;
    table->getChannelVariableAsString = &HostSlots::getChannelVariableAsString;
    table->getChannelList = &HostSlots::getChannelList;
    table->getChannelClientList = &HostSlots::getChannelClientList;
    table->getParentChannel = &HostSlots::getParentChannel;
    table->getServerConnectionHandlerList = &HostSlots::getServerConnectionHandlerList;
    table->getServerVariableAsString = &HostSlots::getServerVariableAsString;
    table->sendCtrlPortCommand = &HostSlots::sendCtrlPortCommand;
    table->verifyServerPassword = &HostSlots::verifyServerPassword;
    table->verifyChannelPassword = &HostSlots::verifyChannelPassword;
    table->lookupClientVariableID = &HostSlots::lookupClientVariableID;
    table->lookupChannelVariableID = &HostSlots::lookupChannelVariableID;
    table->lookupServerVariableID = &HostSlots::lookupServerVariableID;
    table->getAppPath = &HostSlots::getAppPath;
    table->getConfigPath = &HostSlots::getConfigPath;
    table->getPluginPath = &HostSlots::getPluginPath;
    table->getCurrentServerConnectionHandlerID = &HostSlots::getCurrentServerConnectionHandlerID;
    table->sendPluginCommand = &HostSlots::sendPluginCommand;
    table->getServerConnectInfo = &HostSlots::getServerConnectInfo;
    table->getChannelConnectInfo = &HostSlots::getChannelConnectInfo;
    table->createReturnCode = &HostSlots::createReturnCode;
    table->requestInfoUpdate = &HostSlots::requestInfoUpdate;
    table->getServerVersionNumber = &HostSlots::getServerVersionNumber;
}

} // namespace fakehost

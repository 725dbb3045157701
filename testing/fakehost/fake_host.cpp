#include "fake_host_p.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <dlfcn.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fakehost {

void fillHostFunctions(HostFunctions* table); // host_slots.cpp

namespace {

std::atomic<FakeHost*> s_current{nullptr};

// How often waitFor looks at a condition that no host call announces (e.g. data on a socket).
constexpr int kRecheckMs = 20;
// Most answers delivered in one turn of the client thread's event loop.
constexpr std::size_t kAnswerBatch = 64;

} // namespace

std::string format(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0)
        std::vsnprintf(&out[0], out.size() + 1, fmt, args);
    va_end(args);
    return out;
}

std::string quoted(const char* text)
{
    if (!text)
        return "null";
    std::string out = "\"";
    for (const char* p = text; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            out += format("\\x%02x", c);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string JournalEntry::text() const
{
    std::string thread = clientThread ? std::string("client") : format("thread-%d", threadIndex);
    switch (direction) {
    case ToHost:
        return format("#%" PRIu64 " %s slot %d %s(%s)%s%s", seq, thread.c_str(), slot, name.c_str(), args.c_str(),
                      result.empty() ? "" : " -> ", result.c_str());
    case ToPlugin:
        return format("#%" PRIu64 " %s call %s(%s)%s%s", seq, thread.c_str(), name.c_str(), args.c_str(),
                      result.empty() ? "" : " -> ", result.c_str());
    case Note:
        break;
    }
    return format("#%" PRIu64 " %s note %s %s", seq, thread.c_str(), name.c_str(), args.c_str());
}

// ---- Impl helpers (lock held) ----

int FakeHost::Impl::threadIndexOfCaller()
{
    std::thread::id id = std::this_thread::get_id();
    auto it = threadIndex.find(id);
    if (it != threadIndex.end())
        return it->second;
    int index = static_cast<int>(threadIndex.size());
    threadIndex.emplace(id, index);
    return index;
}

JournalEntry& FakeHost::Impl::addEntry(JournalEntry::Direction direction, int slot, const std::string& name,
                                       const std::string& args, const std::string& result)
{
    if (quiet) {
        unrecorded = JournalEntry();
        unrecorded.seq = ++seq;
        return unrecorded;
    }
    JournalEntry e;
    e.seq = ++seq;
    e.direction = direction;
    e.slot = slot;
    e.name = name;
    e.args = args;
    e.result = result;
    e.clientThread = std::this_thread::get_id() == clientThread;
    e.threadIndex = threadIndexOfCaller();
    journal.push_back(std::move(e));
    return journal.back();
}

void FakeHost::Impl::noteDroppedAnswer()
{
    addEntry(JournalEntry::Note, -1, "answer", "dropped: the plug-in is not running");
}

void FakeHost::Impl::faultLocked(const std::string& text)
{
    faults.push_back(text);
    std::fprintf(stderr, "fakehost: fault: %s\n", text.c_str());
    addEntry(JournalEntry::Note, -1, "fault", text);
}

void* FakeHost::Impl::allocBlock(size_t bytes, const std::string& what)
{
    void* block = std::malloc(bytes ? bytes : 1);
    if (!block) {
        std::fprintf(stderr, "fakehost: out of memory\n");
        std::abort();
    }
    if (!quiet)
        allocations[block] = what;
    return block;
}

char* FakeHost::Impl::allocString(const std::string& text, const std::string& what)
{
    char* s = static_cast<char*>(allocBlock(text.size() + 1, what));
    std::memcpy(s, text.c_str(), text.size() + 1);
    return s;
}

ConnectionRecord* FakeHost::Impl::connection(uint64 sch)
{
    auto it = connections.find(sch);
    return it == connections.end() ? nullptr : &it->second;
}

// ---- Construction ----

FakeHost::FakeHost(const QString& clientFolder, const QString& configFolder, QObject* parent)
    : QObject(parent), d(new Impl)
{
    FakeHost* expected = nullptr;
    if (!s_current.compare_exchange_strong(expected, this))
        qFatal("fakehost: only one FakeHost may exist at a time");

    QDir app(clientFolder);
    app.mkpath(QStringLiteral("plugins"));
    QString config = configFolder.isEmpty() ? app.absoluteFilePath(QStringLiteral("config")) : configFolder;
    QDir().mkpath(config);
    d->appPath = QDir(app.absolutePath()).absolutePath().toStdString() + "/";
    d->configPath = QDir(config).absolutePath().toStdString() + "/";
    d->pluginPath = d->appPath + "plugins/";
    d->clientThread = std::this_thread::get_id();
    d->threadIndex[d->clientThread] = 0;

    d->clientNames = {
        {"client_unique_identifier", 0}, {"client_nickname", 1},          {"client_flag_talking", 4},
        {"client_input_muted", 5},       {"client_output_muted", 6},      {"client_input_hardware", 8},
        {"client_output_hardware", 9},   {"client_is_muted", 16},         {"client_is_recording", 17},
        {"client_database_id", 32},      {"client_channel_group_id", 33}, {"client_servergroups", 34},
        {"client_away", 38},             {"client_away_message", 39},     {"client_type", 40},
        {"client_talk_power", 42},       {"client_is_talker", 46},        {"client_is_priority_speaker", 51},
        {"client_icon_id", 56},          {"client_is_channel_commander", 57}, {"client_country", 58},
    };
    d->channelNames = {
        {"channel_name", 0},
        {"channel_topic", 1},
        {"channel_codec", 4},
        {"channel_codec_quality", 5},
        {"channel_maxclients", 6},
        {"channel_maxfamilyclients", 7},
        {"channel_order", 8},
        {"channel_flag_permanent", 9},
        {"channel_flag_semi_permanent", 10},
        {"channel_flag_default", 11},
        {"channel_flag_password", 12},
        {"channel_flag_are_subscribed", 26},
        {"channel_needed_talk_power", 28},
        {"channel_icon_id", 31},
    };
    d->serverNames = {
        {"server_unique_identifier", 0}, {"server_name", 1},    {"server_welcomemessage", 2},
        {"server_platform", 3},          {"server_version", 4},
    };
    d->errorTexts = {
        {0, "ok"},
        {1, "undefined error"},
        {2, "not implemented"},
        {3, "nothing to do"},
        {512, "invalid client id"},
        {515, "too many clients"},
        {768, "invalid channel id"},
        {781, "invalid password"},
        {1026, "shutting down"},
        {1538, "invalid parameter"},
        {1539, "parameter not found"},
        {1540, "convert error"},
        {1541, "unknown variable"},
        {1542, "variable is not a number"},
        {1792, "no selected server connection"},
        {1794, "not a query connection"},
        {1799, "invalid server connection handler id"},
        {1800, "unknown server connection"},
        {1801, "not connected"},
        {3329, "connection failed, you are banned"},
    };
    fillHostFunctions(&m_table);

    d->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (d->wakeFd < 0)
        qFatal("fakehost: eventfd failed");
    m_wakeNotifier = new QSocketNotifier(d->wakeFd, QSocketNotifier::Read, this);
    connect(m_wakeNotifier, &QSocketNotifier::activated, this, [this]() {
        std::uint64_t count;
        while (::read(d->wakeFd, &count, sizeof count) > 0) {
        }
        deliverAnswers();
        emit changed();
    });
}

FakeHost::~FakeHost()
{
    unload();
    delete m_wakeNotifier;
    m_wakeNotifier = nullptr;
    ::close(d->wakeFd);
    s_current.store(nullptr);
}

FakeHost* FakeHost::current()
{
    return s_current.load();
}

void FakeHost::fault(const std::string& text)
{
    {
        std::lock_guard<std::mutex> lock(d->lock);
        d->faultLocked(text);
    }
    notifyChanged();
}

void FakeHost::wake()
{
    std::uint64_t one = 1;
    ssize_t written = ::write(d->wakeFd, &one, sizeof one);
    (void)written; // a full counter already wakes the client thread
}

void FakeHost::notifyChanged()
{
    if (std::this_thread::get_id() == d->clientThread)
        emit changed();
    else
        wake();
}

void FakeHost::queueAnswer(std::function<void()> answer)
{
    d->answerQueue.push_back(std::move(answer));
    ++d->answersQueued;
    wake();
}

void FakeHost::deliverAnswers()
{
    if (std::this_thread::get_id() != d->clientThread) {
        fault("deliverAnswers called off the client thread");
        return;
    }
    // Only the answers queued before this call, and at most a batch of them: threads of the plug-in
    // may queue new ones as fast as they are delivered, and the client thread has other work too
    // (a control line, its shutdown). What is left waits for the next turn of the event loop.
    std::size_t batch;
    {
        std::lock_guard<std::mutex> lock(d->lock);
        batch = std::min(d->answerQueue.size(), kAnswerBatch);
    }
    for (; batch > 0; --batch) {
        std::function<void()> answer;
        bool running;
        {
            std::lock_guard<std::mutex> lock(d->lock);
            if (d->answerQueue.empty())
                break;
            answer = std::move(d->answerQueue.front());
            d->answerQueue.pop_front();
            running = d->handle && d->initCalled && !d->shutDown;
            if (!running)
                d->noteDroppedAnswer();
        }
        if (running)
            answer();
        {
            std::lock_guard<std::mutex> lock(d->lock);
            ++d->answersDone;
        }
        emit changed();
    }
    bool more;
    {
        std::lock_guard<std::mutex> lock(d->lock);
        more = !d->answerQueue.empty();
    }
    if (more)
        wake();
}

// ---- Life cycle ----

#define EXPORT_FN(fn) reinterpret_cast<decltype(&fn)>(symbol(#fn))

void* FakeHost::symbol(const char* name) const
{
    return d->handle ? dlsym(d->handle, name) : nullptr;
}

bool FakeHost::hasExport(const char* name) const
{
    return symbol(name) != nullptr;
}

bool FakeHost::isLoaded() const
{
    return d->handle != nullptr;
}

std::string FakeHost::pluginID() const
{
    std::lock_guard<std::mutex> lock(d->lock);
    return d->pluginID;
}

bool FakeHost::load(const QString& pluginFile, QString* error)
{
    auto failWith = [&](const QString& text) {
        if (error)
            *error = text;
        fault(text.toStdString());
        return false;
    };
    if (d->handle)
        return failWith(QStringLiteral("a plug-in is loaded already"));
    QByteArray file = pluginFile.toLocal8Bit();
    void* handle = dlopen(file.constData(), RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        return failWith(QStringLiteral("cannot load %1: %2").arg(pluginFile, QString::fromLocal8Bit(dlerror())));
    static const char* const required[] = {
        "vxmplugin_name", "vxmplugin_version",           "vxmplugin_apiVersion", "vxmplugin_author",
        "vxmplugin_description", "vxmplugin_setFunctionPointers", "vxmplugin_init", "vxmplugin_shutdown",
    };
    for (const char* name : required) {
        if (!dlsym(handle, name)) {
            dlclose(handle);
            return failWith(QStringLiteral("%1 does not export %2").arg(pluginFile, QLatin1String(name)));
        }
    }
    {
        std::lock_guard<std::mutex> lock(d->lock);
        d->handle = handle;
        d->pluginFile = pluginFile;
        d->tableSet = d->initCalled = d->shutDown = false;
        d->pluginID.clear();
        d->addEntry(JournalEntry::Note, -1, "load", pluginFile.toStdString());
    }
    m_initResult = -1;
    int api = apiVersion();
    if (api != VXM_PLUGIN_API_VERSION) {
        {
            std::lock_guard<std::mutex> lock(d->lock);
            d->handle = nullptr;
        }
        dlclose(handle);
        return failWith(QStringLiteral("%1 reports API version %2, the client speaks %3")
                            .arg(pluginFile)
                            .arg(api)
                            .arg(VXM_PLUGIN_API_VERSION));
    }
    return true;
}

bool FakeHost::start(const QString& pluginFile, const std::string& pluginID, QString* error)
{
    if (!load(pluginFile, error))
        return false;
    setFunctionPointers();
    if (init() != 0) {
        if (error)
            *error = QStringLiteral("vxmplugin_init returned %1").arg(m_initResult);
        registerPluginID(pluginID);
        return false;
    }
    registerPluginID(pluginID);
    return true;
}

void FakeHost::callExport(const char* name, const std::string& args, const std::function<void()>& call,
                          const std::function<std::string()>& result)
{
    if (std::this_thread::get_id() != d->clientThread)
        fault(format("%s called off the client thread", name));
    std::uint64_t seq;
    {
        std::lock_guard<std::mutex> lock(d->lock);
        seq = d->addEntry(JournalEntry::ToPlugin, -1, name, args).seq;
    }
    call();
    if (result) {
        std::string text = result();
        std::lock_guard<std::mutex> lock(d->lock);
        for (auto it = d->journal.rbegin(); it != d->journal.rend(); ++it) {
            if (it->seq == seq) {
                it->result = text;
                break;
            }
        }
    }
    notifyChanged();
}

namespace {
// Runs an export when the plug-in has it; notes the skip in the journal otherwise.
template <typename F>
bool have(F f, FakeHost::Impl& d, const char* name)
{
    if (f)
        return true;
    if (d.handle) {
        std::lock_guard<std::mutex> lock(d.lock);
        d.addEntry(JournalEntry::Note, -1, "skipped", std::string(name) + " (not exported)");
    }
    return false;
}

// The journal's text of a kick's arguments, from a channel or from the server alike.
std::string kickArgs(uint64 sch, uint16 clid, uint64 oldChannel, uint64 newChannel, int visibility, uint16 kickerID,
                     const char* kickerName, const char* kickerUID, const char* kickMessage)
{
    return format("sch=%" PRIu64 " clid=%u old=%" PRIu64 " new=%" PRIu64
                  " visibility=%d kicker=%u kickerName=%s kickerUID=%s message=%s",
                  sch, clid, oldChannel, newChannel, visibility, kickerID, quoted(kickerName).c_str(),
                  quoted(kickerUID).c_str(), quoted(kickMessage).c_str());
}
} // namespace

#define CALL_VOID(fn, args, ...)                          \
    do {                                                  \
        auto f = EXPORT_FN(fn);                           \
        if (!have(f, *d, #fn))                            \
            return;                                       \
        callExport(#fn, args, [&]() { f(__VA_ARGS__); }); \
    } while (0)

#define CALL_INT(fn, args, ...)                                                                     \
    do {                                                                                            \
        auto f = EXPORT_FN(fn);                                                                     \
        if (!have(f, *d, #fn))                                                                      \
            return 0;                                                                               \
        int r = 0;                                                                                  \
        callExport(#fn, args, [&]() { r = f(__VA_ARGS__); }, [&]() { return std::to_string(r); }); \
        return r;                                                                                   \
    } while (0)

#define CALL_TEXT(fn)                                                                                       \
    do {                                                                                                    \
        auto f = EXPORT_FN(fn);                                                                             \
        if (!have(f, *d, #fn))                                                                              \
            return std::string();                                                                           \
        const char* r = nullptr;                                                                            \
        callExport(#fn, std::string(), [&]() { r = f(); }, [&]() { return quoted(r); });                     \
        return r ? std::string(r) : std::string();                                                          \
    } while (0)

void FakeHost::setFunctionPointers()
{
    {
        std::lock_guard<std::mutex> lock(d->lock);
        d->tableSet = true;
    }
    HostFunctions table = m_table;
    CALL_VOID(vxmplugin_setFunctionPointers, "209 slots", table);
}

int FakeHost::init()
{
    {
        std::lock_guard<std::mutex> lock(d->lock);
        if (!d->tableSet)
            d->faultLocked("vxmplugin_init before vxmplugin_setFunctionPointers");
        d->initCalled = true;
    }
    auto f = EXPORT_FN(vxmplugin_init);
    if (!have(f, *d, "vxmplugin_init"))
        return -1;
    int r = 0;
    callExport("vxmplugin_init", std::string(), [&]() { r = f(); }, [&]() { return std::to_string(r); });
    m_initResult = r;
    return r;
}

void FakeHost::registerPluginID(const std::string& pluginID)
{
    {
        std::lock_guard<std::mutex> lock(d->lock);
        d->pluginID = pluginID;
    }
    CALL_VOID(vxmplugin_registerPluginID, quoted(pluginID.c_str()), pluginID.c_str());
}

void FakeHost::shutdown()
{
    bool running;
    {
        std::lock_guard<std::mutex> lock(d->lock);
        running = d->handle && !d->shutDown;
    }
    if (!running)
        return;
    auto f = EXPORT_FN(vxmplugin_shutdown);
    if (f)
        callExport("vxmplugin_shutdown", std::string(), [&]() { f(); });
    std::lock_guard<std::mutex> lock(d->lock);
    d->shutDown = true;
}

void FakeHost::setQuiet(bool quiet)
{
    std::lock_guard<std::mutex> lock(d->lock);
    d->quiet = quiet;
}

void FakeHost::unload()
{
    if (!d->handle)
        return;
    shutdown();
    void* handle;
    {
        std::lock_guard<std::mutex> lock(d->lock);
        if (!d->allocations.empty()) {
            std::string list;
            for (const auto& entry : d->allocations) {
                list += list.empty() ? "" : "; ";
                list += entry.second;
                std::free(const_cast<void*>(entry.first));
            }
            d->faultLocked(format("%zu block(s) of host memory not given back at unload: %s",
                                  d->allocations.size(), list.c_str()));
            d->allocations.clear();
        }
        // What is still queued was asked by this plug-in and never reaches one loaded later.
        for (; !d->answerQueue.empty(); d->answerQueue.pop_front(), ++d->answersDone)
            d->noteDroppedAnswer();
        d->addEntry(JournalEntry::Note, -1, "unload", d->pluginFile.toStdString());
        handle = d->handle;
        d->handle = nullptr;
    }
    dlclose(handle);
    notifyChanged();
}

// ---- Exports ----

std::string FakeHost::name() { CALL_TEXT(vxmplugin_name); }
std::string FakeHost::version() { CALL_TEXT(vxmplugin_version); }
std::string FakeHost::author() { CALL_TEXT(vxmplugin_author); }
std::string FakeHost::description() { CALL_TEXT(vxmplugin_description); }
int FakeHost::apiVersion() { CALL_INT(vxmplugin_apiVersion, std::string()); }
int FakeHost::offersConfigure() { CALL_INT(vxmplugin_offersConfigure, std::string()); }
int FakeHost::requestAutoload() { CALL_INT(vxmplugin_requestAutoload, std::string()); }

void FakeHost::configure(void* handle, void* parentWidget)
{
    CALL_VOID(vxmplugin_configure, format("handle=%p parent=%p", handle, parentWidget), handle, parentWidget);
}

void FakeHost::currentServerConnectionChanged(uint64 sch)
{
    CALL_VOID(vxmplugin_currentServerConnectionChanged, format("sch=%" PRIu64, sch), sch);
}

void FakeHost::connectStatusChange(uint64 sch, int newStatus, unsigned errorNumber)
{
    CALL_VOID(vxmplugin_onConnectStatusChangeEvent,
              format("sch=%" PRIu64 " status=%d error=%u", sch, newStatus, errorNumber), sch, newStatus, errorNumber);
}

int FakeHost::serverError(uint64 sch, const char* errorMessage, unsigned error, const char* returnCode,
                          const char* extraMessage)
{
    CALL_INT(vxmplugin_onServerErrorEvent,
             format("sch=%" PRIu64 " message=%s error=%u returnCode=%s extra=%s", sch, quoted(errorMessage).c_str(),
                    error, quoted(returnCode).c_str(), quoted(extraMessage).c_str()),
             sch, errorMessage, error, returnCode, extraMessage);
}

int FakeHost::serverPermissionError(uint64 sch, const char* errorMessage, unsigned error, const char* returnCode,
                                    unsigned failedPermissionID)
{
    CALL_INT(vxmplugin_onServerPermissionErrorEvent,
             format("sch=%" PRIu64 " message=%s error=%u returnCode=%s permission=%u", sch,
                    quoted(errorMessage).c_str(), error, quoted(returnCode).c_str(), failedPermissionID),
             sch, errorMessage, error, returnCode, failedPermissionID);
}

void FakeHost::talkStatusChange(uint64 sch, int status, int isReceivedWhisper, uint16 clientID)
{
    CALL_VOID(vxmplugin_onTalkStatusChangeEvent,
              format("sch=%" PRIu64 " status=%d whisper=%d clid=%u", sch, status, isReceivedWhisper, clientID), sch,
              status, isReceivedWhisper, clientID);
}

void FakeHost::incomingCtrlPortEvent(uint64 sch, const char* line)
{
    CALL_VOID(vxmplugin_onIncomingCtrlPortEvent, format("sch=%" PRIu64 " line=%s", sch, quoted(line).c_str()), sch,
              line);
}

void FakeHost::serverStop(uint64 sch, const char* shutdownMessage)
{
    CALL_VOID(vxmplugin_onServerStopEvent, format("sch=%" PRIu64 " message=%s", sch, quoted(shutdownMessage).c_str()),
              sch, shutdownMessage);
}

void FakeHost::clientMove(uint64 sch, uint16 clid, uint64 oldChannel, uint64 newChannel, int visibility,
                          const char* moveMessage)
{
    CALL_VOID(vxmplugin_onClientMoveEvent,
              format("sch=%" PRIu64 " clid=%u old=%" PRIu64 " new=%" PRIu64 " visibility=%d message=%s", sch, clid,
                     oldChannel, newChannel, visibility, quoted(moveMessage).c_str()),
              sch, clid, oldChannel, newChannel, visibility, moveMessage);
}

void FakeHost::clientMoveTimeout(uint64 sch, uint16 clid, uint64 oldChannel, uint64 newChannel, int visibility,
                                 const char* timeoutMessage)
{
    CALL_VOID(vxmplugin_onClientMoveTimeoutEvent,
              format("sch=%" PRIu64 " clid=%u old=%" PRIu64 " new=%" PRIu64 " visibility=%d message=%s", sch, clid,
                     oldChannel, newChannel, visibility, quoted(timeoutMessage).c_str()),
              sch, clid, oldChannel, newChannel, visibility, timeoutMessage);
}

void FakeHost::clientMoveMoved(uint64 sch, uint16 clid, uint64 oldChannel, uint64 newChannel, int visibility,
                               uint16 moverID, const char* moverName, const char* moverUID, const char* moveMessage)
{
    CALL_VOID(vxmplugin_onClientMoveMovedEvent,
              format("sch=%" PRIu64 " clid=%u old=%" PRIu64 " new=%" PRIu64
                     " visibility=%d mover=%u moverName=%s moverUID=%s message=%s",
                     sch, clid, oldChannel, newChannel, visibility, moverID, quoted(moverName).c_str(),
                     quoted(moverUID).c_str(), quoted(moveMessage).c_str()),
              sch, clid, oldChannel, newChannel, visibility, moverID, moverName, moverUID, moveMessage);
}

void FakeHost::clientKickFromChannel(uint64 sch, uint16 clid, uint64 oldChannel, uint64 newChannel, int visibility,
                                     uint16 kickerID, const char* kickerName, const char* kickerUID,
                                     const char* kickMessage)
{
    CALL_VOID(vxmplugin_onClientKickFromChannelEvent,
              kickArgs(sch, clid, oldChannel, newChannel, visibility, kickerID, kickerName, kickerUID, kickMessage),
              sch, clid, oldChannel, newChannel, visibility, kickerID, kickerName, kickerUID, kickMessage);
}

void FakeHost::clientKickFromServer(uint64 sch, uint16 clid, uint64 oldChannel, uint64 newChannel, int visibility,
                                    uint16 kickerID, const char* kickerName, const char* kickerUID,
                                    const char* kickMessage)
{
    CALL_VOID(vxmplugin_onClientKickFromServerEvent,
              kickArgs(sch, clid, oldChannel, newChannel, visibility, kickerID, kickerName, kickerUID, kickMessage),
              sch, clid, oldChannel, newChannel, visibility, kickerID, kickerName, kickerUID, kickMessage);
}

void FakeHost::pluginCommand(uint64 sch, const char* pluginName, const char* command)
{
    CALL_VOID(vxmplugin_onPluginCommandEvent,
              format("sch=%" PRIu64 " plugin=%s command=%s", sch, quoted(pluginName).c_str(), quoted(command).c_str()),
              sch, pluginName, command);
}

std::optional<std::string> FakeHost::infoTitle()
{
    auto f = EXPORT_FN(vxmplugin_infoTitle);
    if (!have(f, *d, "vxmplugin_infoTitle"))
        return std::nullopt;
    const char* r = nullptr;
    callExport("vxmplugin_infoTitle", std::string(), [&]() { r = f(); }, [&]() { return quoted(r); });
    if (!r)
        return std::nullopt;
    return std::string(r);
}

std::optional<std::string> FakeHost::infoData(uint64 sch, uint64 id, int type)
{
    auto f = EXPORT_FN(vxmplugin_infoData);
    if (!have(f, *d, "vxmplugin_infoData"))
        return std::nullopt;
    char* data = nullptr;
    callExport("vxmplugin_infoData", format("sch=%" PRIu64 " id=%" PRIu64 " type=%d", sch, id, type),
               [&]() { f(sch, id, type, &data); }, [&]() { return quoted(data); });
    if (!data)
        return std::nullopt;
    std::string text = data;
    auto release = EXPORT_FN(vxmplugin_freeMemory);
    if (!release)
        fault("vxmplugin_infoData handed out memory but the plug-in has no vxmplugin_freeMemory");
    else
        callExport("vxmplugin_freeMemory", format("%p", static_cast<void*>(data)), [&]() { release(data); });
    return text;
}

// ---- World ----

#define WORLD std::lock_guard<std::mutex> worldLock(d->lock)

void FakeHost::addConnection(uint64 sch, uint16 ownClientID)
{
    WORLD;
    d->connections[sch].ownClientID = ownClientID;
}

void FakeHost::removeConnection(uint64 sch)
{
    WORLD;
    d->connections.erase(sch);
}

void FakeHost::setOwnClientID(uint64 sch, uint16 clid)
{
    WORLD;
    d->connections[sch].ownClientID = clid;
}

void FakeHost::setCurrentConnection(uint64 sch)
{
    WORLD;
    d->current = sch;
}

uint64 FakeHost::currentConnection() const
{
    WORLD;
    return d->current;
}

void FakeHost::setServerVersion(uint64 sch, uint64 version)
{
    WORLD;
    d->connections[sch].version = version;
}

void FakeHost::setServerVariable(uint64 sch, size_t var, const std::string& value)
{
    WORLD;
    d->connections[sch].serverVars[var] = value;
}

void FakeHost::setServerConnectInfo(uint64 sch, const std::string& host, uint16 port, const std::string& password)
{
    WORLD;
    ConnectionRecord& c = d->connections[sch];
    c.host = host;
    c.port = port;
    c.password = password;
}

void FakeHost::addChannel(uint64 sch, uint64 cid, uint64 parent, const std::string& name)
{
    WORLD;
    ChannelRecord& ch = d->connections[sch].channels[cid];
    ch.parent = parent;
    ch.vars[0].value = name;
}

void FakeHost::removeChannel(uint64 sch, uint64 cid)
{
    WORLD;
    d->connections[sch].channels.erase(cid);
}

void FakeHost::setChannelVariable(uint64 sch, uint64 cid, size_t var, const std::string& value)
{
    WORLD;
    d->connections[sch].channels[cid].vars[var].value = value;
}

void FakeHost::setChannelConnectInfo(uint64 sch, uint64 cid, const std::string& path, const std::string& password)
{
    WORLD;
    ChannelRecord& ch = d->connections[sch].channels[cid];
    ch.hasPath = true;
    ch.path = path;
    ch.password = password;
}

void FakeHost::setChannelPassword(uint64 sch, uint64 cid, const std::string& password)
{
    WORLD;
    d->connections[sch].channels[cid].password = password;
}

void FakeHost::addClient(uint64 sch, uint16 clid, uint64 cid, const std::string& nickname)
{
    WORLD;
    ClientRecord& cl = d->connections[sch].clients[clid];
    cl.channel = cid;
    cl.vars[1].value = nickname;
}

void FakeHost::removeClient(uint64 sch, uint16 clid)
{
    WORLD;
    d->connections[sch].clients.erase(clid);
}

void FakeHost::moveClient(uint64 sch, uint16 clid, uint64 cid)
{
    WORLD;
    d->connections[sch].clients[clid].channel = cid;
}

void FakeHost::setClientVariable(uint64 sch, uint16 clid, size_t var, const std::string& value)
{
    WORLD;
    d->connections[sch].clients[clid].vars[var].value = value;
}

std::optional<std::string> FakeHost::clientVariable(uint64 sch, uint16 clid, size_t var) const
{
    WORLD;
    ConnectionRecord* c = d->connection(sch);
    if (!c)
        return std::nullopt;
    auto cl = c->clients.find(clid);
    if (cl == c->clients.end())
        return std::nullopt;
    auto v = cl->second.vars.find(var);
    if (v == cl->second.vars.end())
        return std::nullopt;
    return v->second.value;
}

std::optional<uint64> FakeHost::channelOfClient(uint64 sch, uint16 clid) const
{
    WORLD;
    ConnectionRecord* c = d->connection(sch);
    if (!c)
        return std::nullopt;
    auto cl = c->clients.find(clid);
    if (cl == c->clients.end())
        return std::nullopt;
    return cl->second.channel;
}

bool FakeHost::isMuted(uint64 sch, uint16 clid) const
{
    WORLD;
    ConnectionRecord* c = d->connection(sch);
    if (!c)
        return false;
    auto cl = c->clients.find(clid);
    return cl != c->clients.end() && cl->second.muted;
}

void FakeHost::setClientVariableError(uint64 sch, uint16 clid, size_t var, unsigned error)
{
    WORLD;
    d->connections[sch].clients[clid].vars[var].error = error;
}

void FakeHost::setChannelVariableError(uint64 sch, uint64 cid, size_t var, unsigned error)
{
    WORLD;
    d->connections[sch].channels[cid].vars[var].error = error;
}

void FakeHost::setSlotError(int slot, unsigned error)
{
    WORLD;
    if (error)
        d->slotErrors[slot] = error;
    else
        d->slotErrors.erase(slot);
}

void FakeHost::setClientVariableName(const std::string& name, size_t id)
{
    WORLD;
    d->clientNames[name] = id;
}

void FakeHost::setChannelVariableName(const std::string& name, size_t id)
{
    WORLD;
    d->channelNames[name] = id;
}

void FakeHost::setServerVariableName(const std::string& name, size_t id)
{
    WORLD;
    d->serverNames[name] = id;
}

void FakeHost::setErrorText(unsigned error, const std::string& text)
{
    WORLD;
    d->errorTexts[error] = text;
}

void FakeHost::removeErrorText(unsigned error)
{
    WORLD;
    d->errorTexts.erase(error);
}

std::string FakeHost::errorText(unsigned error) const
{
    WORLD;
    auto it = d->errorTexts.find(error);
    return it == d->errorTexts.end() ? std::string() : it->second;
}

void FakeHost::setCommandAnswer(const std::string& lineOrWord, const CommandAnswer& answer)
{
    WORLD;
    d->answers[lineOrWord] = answer;
}

void FakeHost::setFlushAnswer(unsigned error, const std::string& extraMessage)
{
    WORLD;
    d->flushError = error;
    d->flushExtra = extraMessage;
}

void FakeHost::addSampleWorld()
{
    addConnection(1, 1);
    setServerVersion(1, 20000);
    setServerConnectInfo(1, "127.0.0.1", 7000, "");
    setServerVariable(1, 1, "Sample server");
    addChannel(1, 1, 0, "Lobby");
    addChannel(1, 2, 0, "Talk");
    setChannelVariable(1, 1, 26, "1");
    setChannelVariable(1, 2, 26, "1");
    addClient(1, 1, 1, "Me");
    setClientVariable(1, 1, 0, "uid-me");
    addClient(1, 2, 2, "Alice");
    setClientVariable(1, 2, 0, "uid-alice");
    setCurrentConnection(1);
}

// ---- Records ----

std::vector<JournalEntry> FakeHost::journal() const
{
    WORLD;
    return d->journal;
}

std::vector<JournalEntry> FakeHost::calls(const std::string& name) const
{
    WORLD;
    std::vector<JournalEntry> out;
    for (const JournalEntry& e : d->journal)
        if (e.name == name)
            out.push_back(e);
    return out;
}

std::vector<PluginCommand> FakeHost::pluginCommands() const
{
    WORLD;
    return d->pluginCommands;
}

std::vector<InfoUpdateRequest> FakeHost::infoUpdateRequests() const
{
    WORLD;
    return d->infoRequests;
}

std::vector<LogLine> FakeHost::logLines() const
{
    WORLD;
    return d->logLines;
}

std::vector<std::string> FakeHost::faults() const
{
    WORLD;
    return d->faults;
}

std::vector<std::string> FakeHost::takeFaults()
{
    WORLD;
    std::vector<std::string> out;
    out.swap(d->faults);
    return out;
}

size_t FakeHost::outstandingAllocations() const
{
    WORLD;
    return d->allocations.size();
}

std::vector<std::string> FakeHost::returnCodes() const
{
    WORLD;
    return d->returnCodes;
}

void FakeHost::clearRecords()
{
    WORLD;
    d->journal.clear();
    d->pluginCommands.clear();
    d->infoRequests.clear();
    d->logLines.clear();
}

std::uint64_t FakeHost::nextSeq() const
{
    WORLD;
    return d->seq + 1;
}

// ---- Waiting ----

bool FakeHost::waitFor(const std::function<bool()>& condition, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        if (condition())
            return true;
        qint64 left = timeoutMs - clock.elapsed();
        if (left <= 0)
            return false;
        QEventLoop loop;
        connect(this, &FakeHost::changed, &loop, &QEventLoop::quit);
        QTimer::singleShot(static_cast<int>(std::min<qint64>(left, kRecheckMs)), &loop, &QEventLoop::quit);
        loop.exec();
    }
}

bool FakeHost::waitForCall(const std::string& name, const std::string& argsPart, int timeoutMs,
                           std::uint64_t fromSeq)
{
    return waitFor(
        [&]() {
            WORLD;
            for (const JournalEntry& e : d->journal)
                if (e.seq >= fromSeq && e.name == name && e.args.find(argsPart) != std::string::npos)
                    return true;
            return false;
        },
        timeoutMs);
}

bool FakeHost::drainAnswers(int timeoutMs)
{
    // Only the answers queued so far: a plug-in that keeps asking must not keep the caller here.
    std::uint64_t queued;
    {
        WORLD;
        queued = d->answersQueued;
    }
    return waitFor(
        [&]() {
            WORLD;
            return d->answersDone >= queued;
        },
        timeoutMs);
}

} // namespace fakehost

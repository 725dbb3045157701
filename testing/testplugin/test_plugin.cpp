// A small plug-in for testing the stand-in client: it implements every export, reports each call
// through the host's logMessage (channel "TestPlugin") and, on plug-in commands, misbehaves on
// purpose or exercises host functions, so that tests can watch the host catch it.
//
// Plug-in commands (vxmplugin_onPluginCommandEvent, any plug-in name):
//   slot N            call host slot N through the table as if it took no arguments
//   leak              take an error text from the host and never give it back
//   foreign-free      give the host a block the host never handed out
//   double-free       give the same host block back twice
//   forward LINE      sendCtrlPortCommand(sch, LINE, a fresh return code)
//   flush VALUE       set the own nickname to VALUE and flush with a fresh return code
//   broadcast TEXT    sendPluginCommand to the whole server with a fresh return code
//   info ID           requestInfoUpdate(sch, client, ID)
//   threads N M       start N threads that each make M rounds of host calls on sch; the last one to
//                     finish logs "threads done"; they are joined at shutdown
#include "plugin_exports.h"

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

HostFunctions g_host;
bool g_haveTable = false;
std::string g_pluginID;
std::vector<std::thread> g_threads;
std::atomic<int> g_running{0};

void log(const std::string& text)
{
    if (g_haveTable)
        g_host.logMessage(text.c_str(), 4, "TestPlugin", 0);
}

std::string str(const char* text)
{
    return text ? std::string("\"") + text + "\"" : std::string("null");
}

std::string returnCode()
{
    char buffer[128] = {0};
    g_host.createReturnCode(g_pluginID.c_str(), buffer, sizeof buffer);
    return buffer;
}

void joinThreads()
{
    for (std::thread& t : g_threads)
        t.join();
    g_threads.clear();
}

// One round of typical host calls, as a worker thread of a plug-in makes them.
void hostRound(vxm_uint64 sch, int round)
{
    vxm_uint16* clients = nullptr;
    if (g_host.getClientList(sch, &clients) == 0) {
        for (int i = 0; clients[i]; ++i) {
            char* nick = nullptr;
            if (g_host.getClientVariableAsString(sch, clients[i], 1, &nick) == 0)
                g_host.freeHostMemory(nick);
            vxm_uint64 channel = 0;
            g_host.getChannelOfClient(sch, clients[i], &channel);
        }
        g_host.freeHostMemory(clients);
    }
    char* text = nullptr;
    if (g_host.getErrorText(0, &text) == 0)
        g_host.freeHostMemory(text);
    vxm_uint16 own = 0;
    g_host.getOwnClientID(sch, &own);
    g_host.getCurrentServerConnectionHandlerID();
    size_t var = 0;
    g_host.lookupClientVariableID("client_nickname", &var);
    if (round % 10 == 0)
        g_host.sendCtrlPortCommand(sch, "ping", returnCode().c_str());
}

} // namespace

extern "C" {

const char* vxmplugin_name(void) { return "TestPlugin"; }
const char* vxmplugin_version(void) { return "1.0"; }
int vxmplugin_apiVersion(void) { return VXM_PLUGIN_API_VERSION; }
const char* vxmplugin_author(void) { return "Voxmere companions test team"; }
const char* vxmplugin_description(void) { return "Records the calls of the client."; }

void vxmplugin_setFunctionPointers(const struct HostFunctions functions)
{
    // The library may stay mapped between loads: start from a clean state.
    g_host = functions;
    g_haveTable = true;
    g_pluginID.clear();
    log("vxmplugin_setFunctionPointers");
}

int vxmplugin_init(void)
{
    char app[512], config[512], plugins[512];
    g_host.getAppPath(app, sizeof app);
    g_host.getConfigPath(config, sizeof config);
    g_host.getPluginPath(plugins, sizeof plugins);
    log(std::string("vxmplugin_init app=") + app + " config=" + config + " plugins=" + plugins);
    return 0;
}

void vxmplugin_shutdown(void)
{
    joinThreads();
    log("vxmplugin_shutdown");
}

int vxmplugin_offersConfigure(void)
{
    log("vxmplugin_offersConfigure");
    return 0;
}

void vxmplugin_configure(void* handle, void* parentWidget)
{
    (void)handle;
    (void)parentWidget;
    log("vxmplugin_configure");
}

void vxmplugin_registerPluginID(const char* id)
{
    g_pluginID = id ? id : "";
    log("vxmplugin_registerPluginID " + str(id) + " returnCode=" + returnCode());
}

int vxmplugin_requestAutoload(void)
{
    log("vxmplugin_requestAutoload");
    return 1;
}

void vxmplugin_currentServerConnectionChanged(vxm_uint64 sch)
{
    log("vxmplugin_currentServerConnectionChanged " + std::to_string(sch));
}

void vxmplugin_onConnectStatusChangeEvent(vxm_uint64 sch, int newStatus, unsigned errorNumber)
{
    log("vxmplugin_onConnectStatusChangeEvent " + std::to_string(sch) + " " + std::to_string(newStatus) + " " +
        std::to_string(errorNumber));
}

int vxmplugin_onServerErrorEvent(vxm_uint64 sch, const char* errorMessage, unsigned error, const char* returnCode,
                                 const char* extraMessage)
{
    log("vxmplugin_onServerErrorEvent " + std::to_string(sch) + " " + str(errorMessage) + " " +
        std::to_string(error) + " " + str(returnCode) + " " + str(extraMessage));
    return returnCode ? 1 : 0;
}

int vxmplugin_onServerPermissionErrorEvent(vxm_uint64 sch, const char* errorMessage, unsigned error,
                                           const char* returnCode, unsigned failedPermissionID)
{
    log("vxmplugin_onServerPermissionErrorEvent " + std::to_string(sch) + " " + str(errorMessage) + " " +
        std::to_string(error) + " " + str(returnCode) + " " + std::to_string(failedPermissionID));
    return returnCode ? 1 : 0;
}

void vxmplugin_onTalkStatusChangeEvent(vxm_uint64 sch, int status, int isReceivedWhisper, vxm_uint16 clientID)
{
    log("vxmplugin_onTalkStatusChangeEvent " + std::to_string(sch) + " " + std::to_string(status) + " " +
        std::to_string(isReceivedWhisper) + " " + std::to_string(clientID));
}

void vxmplugin_onIncomingCtrlPortEvent(vxm_uint64 sch, const char* line)
{
    log("vxmplugin_onIncomingCtrlPortEvent " + std::to_string(sch) + " " + str(line));
}

void vxmplugin_onServerStopEvent(vxm_uint64 sch, const char* shutdownMessage)
{
    log("vxmplugin_onServerStopEvent " + std::to_string(sch) + " " + str(shutdownMessage));
}

static void moveLike(const char* name, vxm_uint64 sch, vxm_uint16 clid, vxm_uint64 from, vxm_uint64 to,
                     int visibility, const std::string& rest)
{
    log(std::string(name) + " " + std::to_string(sch) + " " + std::to_string(clid) + " " + std::to_string(from) +
        " " + std::to_string(to) + " " + std::to_string(visibility) + rest);
}

// The tail of a move made by someone else: who moved or kicked, and the message.
static std::string byWhom(vxm_uint16 id, const char* name, const char* uniqueIdentifier, const char* message)
{
    return " " + std::to_string(id) + " " + str(name) + " " + str(uniqueIdentifier) + " " + str(message);
}

void vxmplugin_onClientMoveEvent(vxm_uint64 sch, vxm_uint16 clid, vxm_uint64 from, vxm_uint64 to, int visibility,
                                 const char* moveMessage)
{
    moveLike("vxmplugin_onClientMoveEvent", sch, clid, from, to, visibility, " " + str(moveMessage));
}

void vxmplugin_onClientMoveTimeoutEvent(vxm_uint64 sch, vxm_uint16 clid, vxm_uint64 from, vxm_uint64 to,
                                        int visibility, const char* timeoutMessage)
{
    moveLike("vxmplugin_onClientMoveTimeoutEvent", sch, clid, from, to, visibility, " " + str(timeoutMessage));
}

void vxmplugin_onClientMoveMovedEvent(vxm_uint64 sch, vxm_uint16 clid, vxm_uint64 from, vxm_uint64 to,
                                      int visibility, vxm_uint16 moverID, const char* moverName,
                                      const char* moverUniqueIdentifier, const char* moveMessage)
{
    moveLike("vxmplugin_onClientMoveMovedEvent", sch, clid, from, to, visibility,
             byWhom(moverID, moverName, moverUniqueIdentifier, moveMessage));
}

void vxmplugin_onClientKickFromChannelEvent(vxm_uint64 sch, vxm_uint16 clid, vxm_uint64 from, vxm_uint64 to,
                                            int visibility, vxm_uint16 kickerID, const char* kickerName,
                                            const char* kickerUniqueIdentifier, const char* kickMessage)
{
    moveLike("vxmplugin_onClientKickFromChannelEvent", sch, clid, from, to, visibility,
             byWhom(kickerID, kickerName, kickerUniqueIdentifier, kickMessage));
}

void vxmplugin_onClientKickFromServerEvent(vxm_uint64 sch, vxm_uint16 clid, vxm_uint64 from, vxm_uint64 to,
                                           int visibility, vxm_uint16 kickerID, const char* kickerName,
                                           const char* kickerUniqueIdentifier, const char* kickMessage)
{
    moveLike("vxmplugin_onClientKickFromServerEvent", sch, clid, from, to, visibility,
             byWhom(kickerID, kickerName, kickerUniqueIdentifier, kickMessage));
}

void vxmplugin_onPluginCommandEvent(vxm_uint64 sch, const char* pluginName, const char* command)
{
    log("vxmplugin_onPluginCommandEvent " + std::to_string(sch) + " " + str(pluginName) + " " + str(command));
    if (!command)
        return;
    std::string line = command;
    std::string word = line.substr(0, line.find(' '));
    std::string rest = line.size() > word.size() ? line.substr(word.size() + 1) : std::string();

    if (word == "slot") {
        int slot = std::atoi(rest.c_str());
        VxmReservedSlot slots[VXM_HOST_SLOT_COUNT];
        std::memcpy(slots, &g_host, sizeof slots);
        unsigned result = reinterpret_cast<unsigned (*)(void)>(slots[slot])();
        log("slot " + std::to_string(slot) + " returned " + std::to_string(result));
    } else if (word == "leak") {
        char* text = nullptr;
        g_host.getErrorText(0, &text);
    } else if (word == "foreign-free") {
        void* block = std::malloc(16);
        g_host.freeHostMemory(block);
        std::free(block);
    } else if (word == "double-free") {
        char* text = nullptr;
        if (g_host.getErrorText(0, &text) == 0) {
            g_host.freeHostMemory(text);
            g_host.freeHostMemory(text);
        }
    } else if (word == "forward") {
        std::string code = returnCode();
        unsigned result = g_host.sendCtrlPortCommand(sch, rest.c_str(), code.c_str());
        log("forward returned " + std::to_string(result) + " returnCode=" + code);
    } else if (word == "flush") {
        g_host.setOwnClientVariableAsString(sch, 1, rest.c_str());
        std::string code = returnCode();
        unsigned result = g_host.flushOwnClientUpdates(sch, code.c_str());
        log("flush returned " + std::to_string(result) + " returnCode=" + code);
    } else if (word == "broadcast") {
        g_host.sendPluginCommand(sch, g_pluginID.c_str(), rest.c_str(), PLUGINCOMMAND_TARGET_SERVER, nullptr,
                                 returnCode().c_str());
    } else if (word == "info") {
        g_host.requestInfoUpdate(sch, PLUGIN_CLIENT, std::strtoull(rest.c_str(), nullptr, 10));
    } else if (word == "threads") {
        int count = 0, rounds = 0;
        std::sscanf(rest.c_str(), "%d %d", &count, &rounds);
        joinThreads();
        g_running = count;
        for (int i = 0; i < count; ++i) {
            g_threads.emplace_back([sch, rounds]() {
                for (int r = 0; r < rounds; ++r)
                    hostRound(sch, r);
                if (--g_running == 0)
                    log("threads done");
            });
        }
    }
}

const char* vxmplugin_infoTitle(void)
{
    return "Test information";
}

void vxmplugin_infoData(vxm_uint64 sch, vxm_uint64 id, int type, char** data)
{
    log("vxmplugin_infoData " + std::to_string(sch) + " " + std::to_string(id) + " " + std::to_string(type));
    if (type != PLUGIN_CLIENT)
        return;
    std::string text = "client " + std::to_string(id) + " on " + std::to_string(sch);
    *data = static_cast<char*>(std::malloc(text.size() + 1));
    std::memcpy(*data, text.c_str(), text.size() + 1);
}

void vxmplugin_freeMemory(void* data)
{
    log("vxmplugin_freeMemory");
    std::free(data);
}

} // extern "C"

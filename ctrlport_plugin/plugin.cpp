// The exports of ctrlport_plugin: the client's way into the plug-in. Every export runs on the
// client's thread; none lets an exception reach the client.
#include "plugin_exports.h"

#include "ctrlportoptionsdialog.h"
#include "ctrlportsettings.h"
#include "host.h"
#include "parser.h"
#include "replybuilder.h"
#include "returncode.h"

#include <QWidget>

#include <cstdio>
#include <exception>
#include <memory>
#include <string>

namespace {

const char* const kChannel = "Query";
const size_t kReturnCodeSize = 128;

// The one parser; only the client's thread touches this pointer.
Parser* g_parser = nullptr;

void logFailure(const char* where, const char* what)
{
    try {
        logMessage(std::string(where) + " failed: " + what, 1, kChannel);
    } catch (...) {
    }
}

template <typename Function>
void guarded(const char* where, Function function)
{
    try {
        function();
    } catch (const std::exception& e) {
        logFailure(where, e.what());
    } catch (...) {
        logFailure(where, "unknown exception");
    }
}

void dispatch(const std::string& line)
{
    if (g_parser)
        g_parser->dispatchNotification(line);
}

int errorEvent(const char* returnCode, unsigned error, const char* extraMessage, unsigned failedPermissionID)
{
    uint32_t connectionID = 0;
    const ReturnCodeOwner owner = classifyReturnCode(returnCode, returnCodePrefix(), connectionID);
    if (owner == ReturnCodeOwner::Foreign)
        return 0;
    if (owner == ReturnCodeOwner::Ours && g_parser)
        g_parser->sendErrorReply(static_cast<int>(connectionID), error, extraMessage ? extraMessage : "",
                                 static_cast<uint16_t>(failedPermissionID));
    return 1;
}

} // namespace

extern "C" {

VXM_PLUGIN_EXPORT const char* vxmplugin_name(void)
{
    return "CtrlPort";
}

VXM_PLUGIN_EXPORT const char* vxmplugin_version(void)
{
    return "1.0";
}

VXM_PLUGIN_EXPORT int vxmplugin_apiVersion(void)
{
    return VXM_PLUGIN_API_VERSION;
}

VXM_PLUGIN_EXPORT const char* vxmplugin_author(void)
{
    return "The Voxmere companion tools team";
}

VXM_PLUGIN_EXPORT const char* vxmplugin_description(void)
{
    return "CtrlPort offers a local telnet interface on port 25639 to remotely control the Voxmere 3 client.";
}

VXM_PLUGIN_EXPORT void vxmplugin_setFunctionPointers(const struct HostFunctions functions)
{
    setHostFunctions(functions);
}

VXM_PLUGIN_EXPORT int vxmplugin_init(void)
{
    try {
        loadSettings();
        if (g_parser)
            return 0;
        int status = 0;
        std::unique_ptr<Parser> parser(new Parser(status));
        if (status != 0)
            return 1;
        g_parser = parser.release();
        return 0;
    } catch (const std::exception& e) {
        logFailure("start", e.what());
    } catch (...) {
        logFailure("start", "unknown exception");
    }
    return 1;
}

VXM_PLUGIN_EXPORT void vxmplugin_shutdown(void)
{
    guarded("shutdown", [] { closeOptionsDialog(); });
    guarded("shutdown", [] {
        Parser* parser = g_parser;
        g_parser = nullptr;
        delete parser;
    });
}

VXM_PLUGIN_EXPORT int vxmplugin_offersConfigure(void)
{
    return 2;
}

VXM_PLUGIN_EXPORT void vxmplugin_configure(void* handle, void* parentWidget)
{
    (void)handle;
    guarded("configure", [parentWidget] {
        CtrlPortOptionsDialog* dialog = showOptionsDialog(static_cast<QWidget*>(parentWidget));
        if (dialog) {
            dialog->show();
            dialog->raise();
        }
    });
}

VXM_PLUGIN_EXPORT void vxmplugin_registerPluginID(const char* id)
{
    guarded("registerPluginID", [id] {
        char buffer[kReturnCodeSize] = {};
        hostTable().createReturnCode(id ? id : "", buffer, kReturnCodeSize);
        buffer[kReturnCodeSize - 1] = '\0';
        setReturnCodePrefix(buffer);
    });
}

VXM_PLUGIN_EXPORT int vxmplugin_requestAutoload(void)
{
    return 1;
}

VXM_PLUGIN_EXPORT void vxmplugin_currentServerConnectionChanged(vxm_uint64 schandlerid)
{
    guarded("currentServerConnectionChanged", [schandlerid] {
        const unsigned long long current = hostTable().getCurrentServerConnectionHandlerID();
        std::printf("CtrlPortPlugin: currentServerConnectionChanged %llu (%llu)\n",
                    static_cast<unsigned long long>(schandlerid), current);
        std::fflush(stdout);
        std::string line = startCommand("notifycurrentserverconnectionchanged");
        addParam(line, "schandlerid", static_cast<uint64_t>(schandlerid));
        dispatch(finishLine(line));
    });
}

VXM_PLUGIN_EXPORT void vxmplugin_onConnectStatusChangeEvent(vxm_uint64 schandlerid, int newStatus,
                                                            unsigned errorNumber)
{
    guarded("onConnectStatusChangeEvent", [=] {
        std::string line = startCommand("notifyconnectstatuschange");
        addParam(line, "schandlerid", static_cast<uint64_t>(schandlerid));
        addParam(line, "status", std::string(connectStatusWord(newStatus)));
        addParam(line, "error", static_cast<uint16_t>(errorNumber));
        dispatch(finishLine(line));
    });
}

VXM_PLUGIN_EXPORT void vxmplugin_onTalkStatusChangeEvent(vxm_uint64 schandlerid, int status, int isReceivedWhisper,
                                                         vxm_uint16 clientID)
{
    guarded("onTalkStatusChangeEvent", [=] {
        std::string line = startCommand("notifytalkstatuschange");
        addParam(line, "schandlerid", static_cast<uint64_t>(schandlerid));
        addParam(line, "status", static_cast<uint16_t>(status));
        addParam(line, "isreceivedwhisper", static_cast<uint16_t>(isReceivedWhisper));
        addParam(line, "clid", static_cast<uint16_t>(clientID));
        dispatch(finishLine(line));
    });
}

VXM_PLUGIN_EXPORT void vxmplugin_onIncomingCtrlPortEvent(vxm_uint64 schandlerid, const char* line)
{
    guarded("onIncomingCtrlPortEvent", [=] {
        if (g_parser)
            dispatch(insertSchandlerid(line ? line : "", schandlerid));
    });
}

VXM_PLUGIN_EXPORT int vxmplugin_onServerErrorEvent(vxm_uint64 schandlerid, const char* errorMessage, unsigned error,
                                                   const char* returnCode, const char* extraMessage)
{
    (void)schandlerid;
    (void)errorMessage;
    int result = 0;
    guarded("onServerErrorEvent", [&] { result = errorEvent(returnCode, error, extraMessage, 0); });
    return result;
}

VXM_PLUGIN_EXPORT int vxmplugin_onServerPermissionErrorEvent(vxm_uint64 schandlerid, const char* errorMessage,
                                                             unsigned error, const char* returnCode,
                                                             unsigned failedPermissionID)
{
    (void)schandlerid;
    (void)errorMessage;
    int result = 0;
    guarded("onServerPermissionErrorEvent",
            [&] { result = errorEvent(returnCode, error, "", failedPermissionID); });
    return result;
}

} // extern "C"

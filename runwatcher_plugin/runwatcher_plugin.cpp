// The exported functions of runwatcher_plugin: the client's only entry points.
#include "host_calls.h"
#include "plugin_exports.h"
#include "runwatcher_ops.h"

extern "C" {

const char* vxmplugin_name(void) { return "Runwatcher"; }

const char* vxmplugin_version(void) { return "1.2"; }

int vxmplugin_apiVersion(void) { return VXM_PLUGIN_API_VERSION; }

const char* vxmplugin_author(void) { return "Voxmere companions team"; }

const char* vxmplugin_description(void)
{
    return "<p>Voxmere 3 application scanner</p><p>See what applications other users are running and optionally "
           "broadcast your own applications.</p><p>If you want to broadcast your own applications, you should "
           "enable this option in the <b>Settings</b> of this plugin.</p>";
}

void vxmplugin_setFunctionPointers(const struct HostFunctions functions) { host::setFunctions(functions); }

int vxmplugin_init(void) { return runwatcher::init(); }

void vxmplugin_shutdown(void) { runwatcher::shutdown(); }

int vxmplugin_offersConfigure(void) { return 2; }

void vxmplugin_configure(void* /*handle*/, void* parentWidget) { runwatcher::configure(parentWidget); }

void vxmplugin_registerPluginID(const char* id) { runwatcher::registerPluginID(id); }

void vxmplugin_onConnectStatusChangeEvent(vxm_uint64 schandlerid, int newStatus, unsigned /*errorNumber*/)
{
    runwatcher::onConnectStatusChange(schandlerid, newStatus);
}

int vxmplugin_onServerErrorEvent(vxm_uint64 /*schandlerid*/, const char* /*errorMessage*/, unsigned /*error*/,
                                 const char* returnCode, const char* /*extraMessage*/)
{
    return runwatcher::onServerError(returnCode);
}

void vxmplugin_onServerStopEvent(vxm_uint64 schandlerid, const char* /*shutdownMessage*/)
{
    runwatcher::onServerStop(schandlerid);
}

void vxmplugin_onClientMoveEvent(vxm_uint64 schandlerid, vxm_uint16 clientID, vxm_uint64 /*oldChannelID*/,
                                 vxm_uint64 /*newChannelID*/, int visibility, const char* /*moveMessage*/)
{
    runwatcher::onClientEvent(schandlerid, clientID, visibility);
}

void vxmplugin_onClientMoveTimeoutEvent(vxm_uint64 schandlerid, vxm_uint16 clientID, vxm_uint64 /*oldChannelID*/,
                                        vxm_uint64 /*newChannelID*/, int visibility, const char* /*timeoutMessage*/)
{
    runwatcher::onClientEvent(schandlerid, clientID, visibility);
}

void vxmplugin_onClientMoveMovedEvent(vxm_uint64 schandlerid, vxm_uint16 clientID, vxm_uint64 /*oldChannelID*/,
                                      vxm_uint64 /*newChannelID*/, int visibility, vxm_uint16 /*moverID*/,
                                      const char* /*moverName*/, const char* /*moverUniqueIdentifier*/,
                                      const char* /*moveMessage*/)
{
    runwatcher::onClientEvent(schandlerid, clientID, visibility);
}

void vxmplugin_onClientKickFromChannelEvent(vxm_uint64 schandlerid, vxm_uint16 clientID,
                                            vxm_uint64 /*oldChannelID*/, vxm_uint64 /*newChannelID*/, int visibility,
                                            vxm_uint16 /*kickerID*/, const char* /*kickerName*/,
                                            const char* /*kickerUniqueIdentifier*/, const char* /*kickMessage*/)
{
    runwatcher::onClientEvent(schandlerid, clientID, visibility);
}

void vxmplugin_onClientKickFromServerEvent(vxm_uint64 schandlerid, vxm_uint16 clientID, vxm_uint64 /*oldChannelID*/,
                                           vxm_uint64 /*newChannelID*/, int visibility, vxm_uint16 /*kickerID*/,
                                           const char* /*kickerName*/, const char* /*kickerUniqueIdentifier*/,
                                           const char* /*kickMessage*/)
{
    runwatcher::onClientEvent(schandlerid, clientID, visibility);
}

void vxmplugin_onPluginCommandEvent(vxm_uint64 schandlerid, const char* pluginName, const char* command)
{
    runwatcher::onPluginCommand(schandlerid, pluginName, command);
}

const char* vxmplugin_infoTitle(void) { return runwatcher::infoTitle(); }

void vxmplugin_infoData(vxm_uint64 schandlerid, vxm_uint64 id, int type, char** data)
{
    runwatcher::infoData(schandlerid, id, type, data);
}

void vxmplugin_freeMemory(void* data) { runwatcher::freeMemory(data); }

}  // extern "C"

/*
 * The exports of a Voxmere client plug-in. The client calls only these C functions; a plug-in defines
 * the ones it offers and marks them VXM_PLUGIN_EXPORT, which is the only symbol visibility the
 * plug-ins give out.
 *
 * Order of calls: vxmplugin_setFunctionPointers first, then vxmplugin_init, vxmplugin_registerPluginID,
 * events and vxmplugin_configure on the client's thread, and vxmplugin_shutdown last.
 */
#ifndef VXM_PLUGIN_EXPORTS_H
#define VXM_PLUGIN_EXPORTS_H

#include "host_functions.h"

#define VXM_PLUGIN_EXPORT __attribute__((visibility("default")))
#define VXM_PLUGIN_API_VERSION 20

#ifdef __cplusplus
extern "C" {
#endif

/* Connection status of vxmplugin_onConnectStatusChangeEvent. */
enum ConnectStatus {
    STATUS_DISCONNECTED = 0,
    STATUS_CONNECTING = 1,
    STATUS_CONNECTED = 2,
    STATUS_CONNECTION_ESTABLISHING = 3,
    STATUS_CONNECTION_ESTABLISHED = 4
};

/* Visibility argument of the move and kick events. */
enum ClientVisibility {
    ENTER_VISIBILITY = 0,
    RETAIN_VISIBILITY = 1,
    LEAVE_VISIBILITY = 2
};

/* Both plug-ins. */
VXM_PLUGIN_EXPORT const char* vxmplugin_name(void);
VXM_PLUGIN_EXPORT const char* vxmplugin_version(void);
VXM_PLUGIN_EXPORT int vxmplugin_apiVersion(void);
VXM_PLUGIN_EXPORT const char* vxmplugin_author(void);
VXM_PLUGIN_EXPORT const char* vxmplugin_description(void);
VXM_PLUGIN_EXPORT void vxmplugin_setFunctionPointers(const struct HostFunctions functions);
VXM_PLUGIN_EXPORT int vxmplugin_init(void);
VXM_PLUGIN_EXPORT void vxmplugin_shutdown(void);
VXM_PLUGIN_EXPORT int vxmplugin_offersConfigure(void);
VXM_PLUGIN_EXPORT void vxmplugin_configure(void* handle, void* parentWidget);
VXM_PLUGIN_EXPORT void vxmplugin_registerPluginID(const char* id);
VXM_PLUGIN_EXPORT void vxmplugin_onConnectStatusChangeEvent(vxm_uint64 schandlerid, int newStatus, unsigned errorNumber);
VXM_PLUGIN_EXPORT int vxmplugin_onServerErrorEvent(vxm_uint64 schandlerid, const char* errorMessage, unsigned error,
                                                   const char* returnCode, const char* extraMessage);

/* ctrlport_plugin only. */
VXM_PLUGIN_EXPORT int vxmplugin_requestAutoload(void);
VXM_PLUGIN_EXPORT void vxmplugin_currentServerConnectionChanged(vxm_uint64 schandlerid);
VXM_PLUGIN_EXPORT int vxmplugin_onServerPermissionErrorEvent(vxm_uint64 schandlerid, const char* errorMessage,
                                                             unsigned error, const char* returnCode,
                                                             unsigned failedPermissionID);
VXM_PLUGIN_EXPORT void vxmplugin_onTalkStatusChangeEvent(vxm_uint64 schandlerid, int status, int isReceivedWhisper,
                                                         vxm_uint16 clientID);
VXM_PLUGIN_EXPORT void vxmplugin_onIncomingCtrlPortEvent(vxm_uint64 schandlerid, const char* line);

/* runwatcher_plugin only. */
VXM_PLUGIN_EXPORT void vxmplugin_onServerStopEvent(vxm_uint64 schandlerid, const char* shutdownMessage);
VXM_PLUGIN_EXPORT void vxmplugin_onClientMoveEvent(vxm_uint64 schandlerid, vxm_uint16 clientID, vxm_uint64 oldChannelID,
                                                   vxm_uint64 newChannelID, int visibility, const char* moveMessage);
VXM_PLUGIN_EXPORT void vxmplugin_onClientMoveTimeoutEvent(vxm_uint64 schandlerid, vxm_uint16 clientID,
                                                          vxm_uint64 oldChannelID, vxm_uint64 newChannelID,
                                                          int visibility, const char* timeoutMessage);
VXM_PLUGIN_EXPORT void vxmplugin_onClientMoveMovedEvent(vxm_uint64 schandlerid, vxm_uint16 clientID,
                                                        vxm_uint64 oldChannelID, vxm_uint64 newChannelID,
                                                        int visibility, vxm_uint16 moverID, const char* moverName,
                                                        const char* moverUniqueIdentifier, const char* moveMessage);
VXM_PLUGIN_EXPORT void vxmplugin_onClientKickFromChannelEvent(vxm_uint64 schandlerid, vxm_uint16 clientID,
                                                              vxm_uint64 oldChannelID, vxm_uint64 newChannelID,
                                                              int visibility, vxm_uint16 kickerID,
                                                              const char* kickerName,
                                                              const char* kickerUniqueIdentifier,
                                                              const char* kickMessage);
VXM_PLUGIN_EXPORT void vxmplugin_onClientKickFromServerEvent(vxm_uint64 schandlerid, vxm_uint16 clientID,
                                                             vxm_uint64 oldChannelID, vxm_uint64 newChannelID,
                                                             int visibility, vxm_uint16 kickerID,
                                                             const char* kickerName,
                                                             const char* kickerUniqueIdentifier,
                                                             const char* kickMessage);
VXM_PLUGIN_EXPORT void vxmplugin_onPluginCommandEvent(vxm_uint64 schandlerid, const char* pluginName,
                                                      const char* command);
/* The information panel. vxmplugin_infoTitle gives the title of the plug-in's block (plain text).
 * vxmplugin_infoData may set *data to the block's text (UTF-8, malloc'd, given back through
 * vxmplugin_freeMemory), which the client renders as its other texts: BBCode ([b], [i], [u], [url],
 * [url=...], [img], [size=...], [color=...], lists) turned into HTML. A text that must show as it
 * stands escapes HTML's & < > " and BBCode's brackets, as the character references &#91; and &#93;. */
VXM_PLUGIN_EXPORT const char* vxmplugin_infoTitle(void);
VXM_PLUGIN_EXPORT void vxmplugin_infoData(vxm_uint64 schandlerid, vxm_uint64 id, int type, char** data);
VXM_PLUGIN_EXPORT void vxmplugin_freeMemory(void* data);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VXM_PLUGIN_EXPORTS_H */

// What the plug-in's exports do; the exports themselves only forward here.
#ifndef RUNWATCHER_OPS_H
#define RUNWATCHER_OPS_H

#include "host_functions.h"

namespace runwatcher {

int init();
void shutdown();
void configure(void* parentWidget);
void registerPluginID(const char* id);

void createManager();
void destroyManager();

int onServerError(const char* returnCode);
void onServerStop(vxm_uint64 sch);
void onConnectStatusChange(vxm_uint64 sch, int status);
// A move or kick event: the connection, the client and its ClientVisibility.
void onClientEvent(vxm_uint64 sch, vxm_uint16 clid, int visibility);
void onPluginCommand(vxm_uint64 sch, const char* pluginName, const char* command);

const char* infoTitle();
void infoData(vxm_uint64 sch, vxm_uint64 id, int type, char** data);
void freeMemory(void* data);

}  // namespace runwatcher

#endif

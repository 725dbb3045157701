// The plug-in's copy of the client's function table and thin wrappers over the slots it uses.
// Every wrapper tolerates a table that has not been handed over yet (a null slot does nothing and
// reports failure), so a call that comes too early can never jump through a null pointer.
#ifndef RUNWATCHER_HOST_CALLS_H
#define RUNWATCHER_HOST_CALLS_H

#include <QByteArray>
#include <QString>

#include "host_functions.h"

namespace host {

// Log levels of the client's log function.
enum LogLevel { LogError = 1, LogWarning = 2, LogInfo = 4 };

// Replaces the plug-in's copy of the client's table.
void setFunctions(const HostFunctions& functions);
const HostFunctions& functions();

void log(const QString& text, int level, const char* channel, vxm_uint64 sch);

// The own client id on a server connection; false when the client cannot tell it.
bool ownClientID(vxm_uint64 sch, vxm_uint16* clientID);
vxm_uint64 currentServerConnection();

// The server connection ids of the client; false when the list cannot be had.
bool serverConnections(QList<vxm_uint64>* ids);

// Fills a caller's buffer of `size` bytes through getPluginPath / getConfigPath; always
// NUL-terminated, empty when the client does not answer.
void pluginPath(char* buffer, size_t size);
void configPath(char* buffer, size_t size);

// A fresh return code for requests of the plug-in with this id (empty when the client gives none).
QByteArray createReturnCode(const char* pluginID);

void sendPluginCommand(vxm_uint64 sch, const char* pluginID, const QByteArray& command, int targetMode,
                       const vxm_uint16* targetIDs, const char* returnCode);
void requestInfoUpdate(vxm_uint64 sch, int type, vxm_uint64 itemID);

}  // namespace host

#endif

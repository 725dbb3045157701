// Global state of the loaded plug-in: the client's folders, the plug-in id and the manager.
#ifndef RUNWATCHER_PLUGIN_STATE_H
#define RUNWATCHER_PLUGIN_STATE_H

#include <QString>

class RunwatchManager;

constexpr size_t kPathBufferSize = 512;

// The client's plug-in folder and per-user configuration folder, each ending with a separator.
extern char pluginPath[kPathBufferSize];
extern char configPath[kPathBufferSize];

// The plug-in's own folder inside pluginPath.
extern const QString pluginFolderName;

// Heap copy of the id from vxmplugin_registerPluginID; null until then and after shutdown.
extern char* pluginID;

// The single manager; null before init and after shutdown.
extern RunwatchManager* runwatchManager;

// Both folders as QStrings (UTF-8 decoded).
QString pluginPathString();
QString configPathString();

#endif

#include "plugin_state.h"

char pluginPath[kPathBufferSize] = {};
char configPath[kPathBufferSize] = {};
const QString pluginFolderName = QStringLiteral("runwatcher_plugin");
char* pluginID = nullptr;
RunwatchManager* runwatchManager = nullptr;

QString pluginPathString() { return QString::fromUtf8(pluginPath); }

QString configPathString() { return QString::fromUtf8(configPath); }

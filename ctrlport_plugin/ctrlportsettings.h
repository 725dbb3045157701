// The plug-in's two settings, kept in ctrlport.ini in the client's configuration folder:
//   open_remote      listen on every address instead of 127.0.0.1 only (read at start)
//   logging_enabled  write every received line to the client's log (takes effect at once)
#ifndef CTRLPORT_CTRLPORTSETTINGS_H
#define CTRLPORT_CTRLPORTSETTINGS_H

#include <QString>

#include <atomic>

extern const char* const kSettingsFileName;  // "ctrlport.ini"
extern const char* const kOpenRemoteKey;     // "open_remote"
extern const char* const kLoggingEnabledKey; // "logging_enabled"

// Both false until loadSettings runs. loggingEnabled is read by the poller threads while the
// options dialog may change it.
extern std::atomic<bool> openRemote;
extern std::atomic<bool> loggingEnabled;

// The full path of ctrlport.ini, or "" when the client did not name a configuration folder.
QString settingsFilePath();
// Reads both flags from ctrlport.ini; a missing file or key gives false.
void loadSettings();
// Stores both flags in memory and in ctrlport.ini.
void saveSettings(bool openRemoteValue, bool loggingEnabledValue);

#endif

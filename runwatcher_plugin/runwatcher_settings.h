// runwatcher.ini in the client's configuration folder: the broadcast switch and the per-application
// opt-outs, all in the group "Runwatcher".
#ifndef RUNWATCHER_SETTINGS_H
#define RUNWATCHER_SETTINGS_H

#include <QSettings>

// The settings object on configPath + "runwatcher.ini", made on first use. Making it first moves
// a settings file of older versions (runwatchr.conf) to the new name unless that name exists.
// When the configuration folder has changed since (a new client session), the object is made
// again on the new folder.
QSettings& runwatcherSettings();

#endif

// One catalogued application of apps.ini.
#ifndef RUNWATCHER_APP_ENTRY_H
#define RUNWATCHER_APP_ENTRY_H

#include <QSet>
#include <QString>
#include <QtGlobal>

struct AppEntry {
    QString name;           // group name in apps.ini; broadcast, shown and used as settings key
    bool enabled = true;    // whether the name may be broadcast while the application runs
    quint16 category = 0;
    QSet<QString> binaries; // executable file names that identify the application
    QSet<QString> files;    // names that must exist beside the executable as well
};

#endif

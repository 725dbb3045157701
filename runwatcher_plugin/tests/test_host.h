// A recording stand-in for the client's function table, for tests of the plug-in's core that call
// its operations directly (the tests through the loaded plug-in use the stand-in client instead).
#ifndef RUNWATCHER_TEST_HOST_H
#define RUNWATCHER_TEST_HOST_H

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <vector>

#include "host_functions.h"

struct SentCommand {
    vxm_uint64 sch;
    QByteArray pluginID;
    QString command;
    int target;
    std::vector<vxm_uint16> ids;  // without the closing 0
    QByteArray returnCode;        // empty for none
};

struct TestHost {
    QByteArray pluginPath;               // with a trailing separator
    QByteArray configPath;
    QList<vxm_uint64> connections;       // the client's server connections, in order
    QMap<vxm_uint64, vxm_uint16> ownIds; // own client id per connection (missing: the query fails)
    bool connectionListFails = false;
    vxm_uint64 currentConnection = 1;

    QList<SentCommand> sent;
    QStringList logLines;                // "<level>|<channel>|<text>"
    QList<QPair<vxm_uint64, vxm_uint64>> infoUpdates;  // (sch, client id) of client items
    int hostAllocations = 0;             // outstanding memory handed to the plug-in
    int returnCodeCounter = 0;

    // Installs the table in the plug-in core and makes this the current host.
    void install();
};

// The host the table's functions record into.
TestHost& testHost();

#endif

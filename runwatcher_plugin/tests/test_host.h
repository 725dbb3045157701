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
#include "table_host.h"

struct SentCommand {
    vxm_uint64 sch;
    QByteArray pluginID;
    QString command;
    int target;
    std::vector<vxm_uint16> ids;  // without the closing 0
    QByteArray returnCode;        // empty for none
};

// The shared TableHost (log lines, folders, connections, host memory) with the slots the plug-in's
// core calls besides: its own client id per connection, plug-in commands, return codes and
// information panel refreshes.
struct TestHost : fakehost::TableHost {
    QMap<vxm_uint64, vxm_uint16> ownIds; // own client id per connection (missing: the query fails)

    QList<SentCommand> sent;
    QList<QPair<vxm_uint64, vxm_uint64>> infoUpdates;  // (sch, client id) of client items
    int returnCodeCounter = 0;

    // The logged lines as "<level>|<channel>|<text>".
    QStringList logLines() const;

    // Installs the table in the plug-in core and makes this the current host.
    void install();
};

// The host the table's functions record into.
TestHost& testHost();

#endif

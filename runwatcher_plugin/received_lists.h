// Application lists received from other users, per server connection and client, and the
// information-panel text made from them.
#ifndef RUNWATCHER_RECEIVED_LISTS_H
#define RUNWATCHER_RECEIVED_LISTS_H

#include <QByteArray>
#include <QHash>
#include <QString>
#include <map>

#include "host_functions.h"

// A stored list is cut to this many bytes of UTF-8.
constexpr int kMaxReceivedListBytes = 4096;
// At most this many lists are kept per server connection: a new sender beyond it pushes out the list
// that was updated longest ago.
constexpr int kMaxListsPerConnection = 1024;

class ReceivedLists {
public:
    // Adds or replaces; the list becomes the connection's most recently updated one.
    void store(vxm_uint64 sch, vxm_uint16 clid, const QString& list);
    void removeClient(vxm_uint64 sch, vxm_uint16 clid);
    void forgetConnection(vxm_uint64 sch);
    // The stored list, or false when that client sent nothing on that connection.
    bool find(vxm_uint64 sch, vxm_uint16 clid, QString* list) const;
    void clear() { connections.clear(); }

private:
    struct Entry {
        QByteArray text;  // UTF-8, no spare capacity
        quint64 stamp;    // when it was stored, for the age order
    };
    struct Connection {
        QHash<vxm_uint16, Entry> lists;
        std::map<quint64, vxm_uint16> byAge;  // stamp -> client, oldest first
    };
    QHash<vxm_uint64, Connection> connections;
    quint64 lastStamp = 0;
};

extern ReceivedLists receivedLists;

// Splits "<client id>&&<list>": false unless there is exactly one "&&" and the id is a decimal
// number from 1 to 65535.
bool parseListCommand(const QString& command, vxm_uint16* clid, QString* list);

// Drops control and format characters and the line and paragraph separators (nothing that could
// reorder, hide or break the panel's text is kept) and cuts the text to kMaxReceivedListBytes of
// UTF-8 (whole characters).
QString sanitizeReceivedList(const QString& list);

// A received list as the information panel's text: it shows as the text it is, its HTML and its
// BBCode brackets escaped (no link, image or size of a peer's making reaches the panel).
QString panelMarkup(const QString& list);

// Removes every list received on a connection.
void forgetConnection(vxm_uint64 sch);

#endif

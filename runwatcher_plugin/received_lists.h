// Application lists received from other users, per server connection and client, and the
// information-panel text made from them.
#ifndef RUNWATCHER_RECEIVED_LISTS_H
#define RUNWATCHER_RECEIVED_LISTS_H

#include <QHash>
#include <QString>

#include "host_functions.h"

// A stored list is cut to this many bytes of UTF-8.
constexpr int kMaxReceivedListBytes = 4096;

class ReceivedLists {
public:
    void store(vxm_uint64 sch, vxm_uint16 clid, const QString& list);
    void removeClient(vxm_uint64 sch, vxm_uint16 clid);
    void forgetConnection(vxm_uint64 sch);
    // The stored list, or false when that client sent nothing on that connection.
    bool find(vxm_uint64 sch, vxm_uint16 clid, QString* list) const;
    void clear() { lists.clear(); }

private:
    QHash<vxm_uint64, QHash<vxm_uint16, QString>> lists;
};

extern ReceivedLists receivedLists;

// Splits "<client id>&&<list>": false unless there is exactly one "&&" and the id is a decimal
// number from 1 to 65535.
bool parseListCommand(const QString& command, vxm_uint16* clid, QString* list);

// Drops control characters and cuts the text to kMaxReceivedListBytes of UTF-8 (whole characters).
QString sanitizeReceivedList(const QString& list);

// Removes every list received on a connection.
void forgetConnection(vxm_uint64 sch);

#endif

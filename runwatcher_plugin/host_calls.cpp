#include "host_calls.h"

#include <QList>

namespace host {
namespace {
HostFunctions table{};

void terminate(char* buffer, size_t size)
{
    if (size > 0) {
        buffer[size - 1] = '\0';
    }
}

// Fills buffer with what the client's path slot gives, terminated; empty when the slot is missing.
void copyPath(void (*slot)(char*, size_t), char* buffer, size_t size)
{
    if (size == 0) {
        return;
    }
    buffer[0] = '\0';
    if (slot) {
        slot(buffer, size);
    }
    terminate(buffer, size);
}
}  // namespace

void setFunctions(const HostFunctions& functions) { table = functions; }

const HostFunctions& functions() { return table; }

void log(const QString& text, int level, const char* channel, vxm_uint64 sch)
{
    if (table.logMessage) {
        table.logMessage(text.toUtf8().constData(), level, channel, sch);
    }
}

bool ownClientID(vxm_uint64 sch, vxm_uint16* clientID)
{
    if (!table.getOwnClientID) {
        return false;
    }
    vxm_uint16 id = 0;
    if (table.getOwnClientID(sch, &id) != 0) {
        return false;
    }
    *clientID = id;
    return true;
}

vxm_uint64 currentServerConnection()
{
    return table.getCurrentServerConnectionHandlerID ? table.getCurrentServerConnectionHandlerID() : 0;
}

bool serverConnections(QList<vxm_uint64>* ids)
{
    ids->clear();
    if (!table.getServerConnectionHandlerList) {
        return false;
    }
    vxm_uint64* list = nullptr;
    if (table.getServerConnectionHandlerList(&list) != 0) {
        return false;
    }
    for (const vxm_uint64* p = list; p && *p; ++p) {
        ids->append(*p);
    }
    if (list && table.freeHostMemory) {
        table.freeHostMemory(list);
    }
    return true;
}

void pluginPath(char* buffer, size_t size) { copyPath(table.getPluginPath, buffer, size); }

void configPath(char* buffer, size_t size) { copyPath(table.getConfigPath, buffer, size); }

QByteArray createReturnCode(const char* pluginID)
{
    char buffer[128];
    buffer[0] = '\0';
    if (table.createReturnCode) {
        table.createReturnCode(pluginID, buffer, sizeof buffer);
    }
    terminate(buffer, sizeof buffer);
    return QByteArray(buffer);
}

void sendPluginCommand(vxm_uint64 sch, const char* pluginID, const QByteArray& command, int targetMode,
                       const vxm_uint16* targetIDs, const char* returnCode)
{
    if (table.sendPluginCommand) {
        table.sendPluginCommand(sch, pluginID, command.constData(), targetMode, targetIDs, returnCode);
    }
}

void requestInfoUpdate(vxm_uint64 sch, int type, vxm_uint64 itemID)
{
    if (table.requestInfoUpdate) {
        table.requestInfoUpdate(sch, type, itemID);
    }
}

}  // namespace host

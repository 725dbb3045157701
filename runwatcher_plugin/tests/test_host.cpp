#include "test_host.h"

#include <cstdlib>
#include <cstring>

#include "host_calls.h"

namespace {
TestHost* current = nullptr;

void copyPath(const QByteArray& path, char* buffer, size_t size)
{
    std::strncpy(buffer, path.constData(), size);
}

void logMessage(const char* text, int level, const char* channel, vxm_uint64)
{
    current->logLines.append(QStringLiteral("%1|%2|%3").arg(level).arg(QString::fromUtf8(channel), QString::fromUtf8(text)));
}

void freeHostMemory(void* p)
{
    if (p) {
        --current->hostAllocations;
        std::free(p);
    }
}

unsigned getOwnClientID(vxm_uint64 sch, vxm_uint16* id)
{
    if (!current->ownIds.contains(sch)) {
        return 1797;
    }
    *id = current->ownIds.value(sch);
    return 0;
}

unsigned getServerConnectionHandlerList(vxm_uint64** result)
{
    if (current->connectionListFails) {
        return 1;
    }
    const QList<vxm_uint64>& ids = current->connections;
    auto* list = static_cast<vxm_uint64*>(std::calloc(static_cast<size_t>(ids.size()) + 1, sizeof(vxm_uint64)));
    for (int i = 0; i < ids.size(); ++i) {
        list[i] = ids.at(i);
    }
    ++current->hostAllocations;
    *result = list;
    return 0;
}

void getConfigPath(char* path, size_t size) { copyPath(current->configPath, path, size); }

void getPluginPath(char* path, size_t size) { copyPath(current->pluginPath, path, size); }

vxm_uint64 getCurrentServerConnectionHandlerID() { return current->currentConnection; }

void sendPluginCommand(vxm_uint64 sch, const char* pluginID, const char* command, int target, const vxm_uint16* ids,
                       const char* returnCode)
{
    SentCommand sent{sch, QByteArray(pluginID), QString::fromUtf8(command), target, {}, QByteArray(returnCode)};
    for (const vxm_uint16* p = ids; p && *p; ++p) {
        sent.ids.push_back(*p);
    }
    current->sent.append(sent);
}

void createReturnCode(const char* pluginID, char* buffer, size_t size)
{
    const QByteArray code = QByteArray("PR:") + pluginID + ":" + QByteArray::number(++current->returnCodeCounter);
    std::strncpy(buffer, code.constData(), size);
}

void requestInfoUpdate(vxm_uint64 sch, int type, vxm_uint64 id)
{
    if (type == PLUGIN_CLIENT) {
        current->infoUpdates.append(qMakePair(sch, id));
    }
}
}  // namespace

void TestHost::install()
{
    current = this;
    HostFunctions table{};
    table.logMessage = logMessage;
    table.freeHostMemory = freeHostMemory;
    table.getOwnClientID = getOwnClientID;
    table.getServerConnectionHandlerList = getServerConnectionHandlerList;
    table.getConfigPath = getConfigPath;
    table.getPluginPath = getPluginPath;
    table.getCurrentServerConnectionHandlerID = getCurrentServerConnectionHandlerID;
    table.sendPluginCommand = sendPluginCommand;
    table.createReturnCode = createReturnCode;
    table.requestInfoUpdate = requestInfoUpdate;
    host::setFunctions(table);
}

TestHost& testHost() { return *current; }

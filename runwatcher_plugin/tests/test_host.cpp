#include "test_host.h"

#include "host_calls.h"

namespace {
TestHost* current = nullptr;

unsigned getOwnClientID(vxm_uint64 sch, vxm_uint16* id)
{
    if (!current->ownIds.contains(sch)) {
        return 1797;
    }
    *id = current->ownIds.value(sch);
    return 0;
}

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
    fakehost::copyOut(buffer, size, code.toStdString());
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
    HostFunctions& functions = table();
    functions.getOwnClientID = getOwnClientID;
    functions.sendPluginCommand = sendPluginCommand;
    functions.createReturnCode = createReturnCode;
    functions.requestInfoUpdate = requestInfoUpdate;
    host::setFunctions(functions);
}

QStringList TestHost::logLines() const
{
    QStringList result;
    for (const fakehost::LogLine& line : lines())
        result.append(QStringLiteral("%1|%2|%3").arg(line.level).arg(QString::fromStdString(line.channel),
                                                                      QString::fromStdString(line.text)));
    return result;
}

TestHost& testHost() { return *current; }

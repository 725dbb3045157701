// RunwatchManager: the application-list command "<own client id>&&<name>, <name>..." and its sending.
#include <QList>

#include "host_calls.h"
#include "plugin_state.h"
#include "return_codes.h"
#include "runwatch_manager.h"

QString RunwatchManager::buildCommand(vxm_uint64 sch) const
{
    vxm_uint16 own = 0;
    if (!host::ownClientID(sch, &own)) {
        host::log(QStringLiteral("Error querying client ID"), host::LogError, "Plugin", host::currentServerConnection());
        return QString();
    }
    return QString::number(own) + QStringLiteral("&&") + lastSentList;
}

void RunwatchManager::sendCommand(vxm_uint64 sch, int targetMode, const vxm_uint16* targetIDs)
{
    if (!pluginID) {
        return;  // the client has not told us our id yet
    }
    const QString command = buildCommand(sch);
    if (command.isEmpty()) {
        return;
    }
    const QByteArray returnCode = host::createReturnCode(pluginID);
    ownReturnCodes.remember(returnCode);
    host::sendPluginCommand(sch, pluginID, command.toUtf8(), targetMode, targetIDs, returnCode.constData());
}

void RunwatchManager::sendToServer(vxm_uint64 sch) { sendCommand(sch, PLUGINCOMMAND_TARGET_SERVER, nullptr); }

void RunwatchManager::sendToClient(vxm_uint64 sch, vxm_uint16 clid)
{
    const vxm_uint16 targets[2] = {clid, 0};
    sendCommand(sch, PLUGINCOMMAND_TARGET_CLIENT, targets);
}

void RunwatchManager::sendToAllServers()
{
    if (!pluginID) {
        return;
    }
    QList<vxm_uint64> connections;
    if (!host::serverConnections(&connections)) {
        host::log(QStringLiteral("Error querying scHandlerIDs list"), host::LogError, "RunwatcherPlugin", 0);
        return;
    }
    for (vxm_uint64 sch : connections) {
        const QString command = buildCommand(sch);
        if (!command.isEmpty()) {
            host::sendPluginCommand(sch, pluginID, command.toUtf8(), PLUGINCOMMAND_TARGET_SERVER, nullptr, nullptr);
        }
    }
}

void RunwatchManager::onBroadcast(QString data)
{
    // A list the scanner queued before broadcasting was switched off is dropped.
    if (!enabled) {
        return;
    }
    if (data == lastSentList) {
        return;
    }
    lastSentList = data;
    sendToAllServers();
}

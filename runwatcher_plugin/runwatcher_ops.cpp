#include "runwatcher_ops.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDialog>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host_calls.h"
#include "plugin_exports.h"
#include "plugin_state.h"
#include "received_lists.h"
#include "return_codes.h"
#include "runwatch_dialog.h"
#include "runwatch_manager.h"

namespace runwatcher {

int init()
{
    host::pluginPath(pluginPath, sizeof pluginPath);
    host::configPath(configPath, sizeof configPath);
    createManager();
    return 0;
}

void shutdown()
{
    deleteRunwatchDialog();
    destroyManager();
    ownReturnCodes.clear();
    std::free(pluginID);
    pluginID = nullptr;
}

void configure(void* parentWidget)
{
    if (QDialog* dialog = showRunwatchDialog(static_cast<QWidget*>(parentWidget))) {
        dialog->show();
        dialog->raise();
        dialog->activateWindow();
    }
}

void registerPluginID(const char* id)
{
    if (!id) {
        return;
    }
    const size_t size = std::strlen(id) + 1;
    char* copy = static_cast<char*>(std::malloc(size));
    if (!copy) {
        return;
    }
    std::memcpy(copy, id, size);
    std::free(pluginID);
    pluginID = copy;
    std::printf("PLUGIN: registerPluginID: %s\n", pluginID);
    std::fflush(stdout);
}

void createManager()
{
    if (runwatchManager) {
        return;  // a second init keeps the running manager
    }
    runwatchManager = new RunwatchManager;
    if (runwatchManager->loadApps() && runwatchManager->isEnabled()) {
        runwatchManager->startScanning();
    }
}

void destroyManager()
{
    delete runwatchManager;
    runwatchManager = nullptr;
}

int onServerError(const char* returnCode) { return ownReturnCodes.claim(returnCode) ? 1 : 0; }

void onServerStop(vxm_uint64 sch) { forgetConnection(sch); }

void onConnectStatusChange(vxm_uint64 sch, int status)
{
    if (status == STATUS_DISCONNECTED) {
        forgetConnection(sch);
    } else if (status == STATUS_CONNECTION_ESTABLISHED) {
        if (runwatchManager && runwatchManager->isEnabled() && !runwatchManager->lastSent().isEmpty()) {
            runwatchManager->sendToAllServers();
        }
    }
}

void onClientEvent(vxm_uint64 sch, vxm_uint16 clid, int visibility)
{
    switch (visibility) {
    case RETAIN_VISIBILITY: {
        // Our own client moved within the server: the whole server gets the list again.
        vxm_uint16 own = 0;
        if (!host::ownClientID(sch, &own) || own != clid) {
            return;
        }
        if (runwatchManager && runwatchManager->isEnabled()) {
            runwatchManager->sendToServer(sch);
        }
        break;
    }
    case LEAVE_VISIBILITY:
        receivedLists.removeClient(sch, clid);
        break;
    case ENTER_VISIBILITY:
        if (runwatchManager && runwatchManager->isEnabled()) {
            runwatchManager->sendToClient(sch, clid);
        }
        break;
    default:
        break;
    }
}

void onPluginCommand(vxm_uint64 sch, const char* /*pluginName*/, const char* command)
{
    if (!command) {
        return;
    }
    vxm_uint16 clid = 0;
    QString list;
    if (!parseListCommand(QString::fromUtf8(command), &clid, &list)) {
        return;
    }
    // A list that claims to come from our own client is not another user's.
    vxm_uint16 own = 0;
    if (host::ownClientID(sch, &own) && own == clid) {
        return;
    }
    receivedLists.store(sch, clid, sanitizeReceivedList(list));
    host::requestInfoUpdate(sch, PLUGIN_CLIENT, clid);
}

const char* infoTitle()
{
    static const QByteArray title =
        QCoreApplication::translate("RunwatchDialog", "Running Applications").toUtf8();
    return title.constData();
}

void infoData(vxm_uint64 sch, vxm_uint64 id, int type, char** data)
{
    if (type != PLUGIN_CLIENT || id == 0 || id > 0xFFFF || !data) {
        return;
    }
    QString list;
    if (!receivedLists.find(sch, static_cast<vxm_uint16>(id), &list)) {
        return;
    }
    const QByteArray text = panelMarkup(list).toUtf8();
    char* copy = static_cast<char*>(std::malloc(static_cast<size_t>(text.size()) + 1));
    if (!copy) {
        return;
    }
    std::memcpy(copy, text.constData(), static_cast<size_t>(text.size()) + 1);
    *data = copy;
}

void freeMemory(void* data) { std::free(data); }

}  // namespace runwatcher

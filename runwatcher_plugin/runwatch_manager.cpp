#include "runwatch_manager.h"

#include "catalogue_lock.h"
#include <QStringList>

#include "application_scan.h"
#include "host_calls.h"
#include "runwatcher_settings.h"
#include "runwatcher_thread.h"

RunwatchManager::RunwatchManager(const ScanOptions& options) : scanOptions(options)
{
    enabled = runwatcherSettings().value(QStringLiteral("Runwatcher/Enabled"), false).toBool();
}

RunwatchManager::~RunwatchManager()
{
    stopScanning();
    clearCatalogue();
}

void RunwatchManager::setEnabled(bool on)
{
    if (on == enabled) {
        return;
    }
    {
        CatalogueLock lock(mutex);
        enabled = on;
    }
    QSettings& settings = runwatcherSettings();
    settings.setValue(QStringLiteral("Runwatcher/Enabled"), on);
    settings.sync();
    if (on) {
        startScanning();
    } else {
        stopScanning();
        lastSentList.clear();
        sendToAllServers();
    }
}

void RunwatchManager::startScanning()
{
    CatalogueLock lock(mutex);
    if (scanThread) {
        return;  // already scanning
    }
    scanThread = new RunwatcherThread(this, scanOptions.procRoot, scanOptions.intervalMs);
    scanThread->start(QThread::InheritPriority);
    if (!scanThread->isRunning() && !scanThread->isFinished()) {
        // The thread could not be created: it will never report ready.
        delete scanThread;
        scanThread = nullptr;
        lock.unlock();
        host::log(QStringLiteral("Could not start the application scanner thread"), host::LogError,
                  "RunwatcherPlugin", 0);
        return;
    }
    while (!scanThread->ready) {
        lock.wait(scanThread->startedCondition);
    }
    lock.unlock();
    emit requestStartScanning();
}

void RunwatchManager::stopScanning()
{
    if (!scanThread) {
        return;
    }
    scanThread->exit(0);
    if (scanThread->wait(static_cast<unsigned long>(scanOptions.stopWaitMs))) {
        syncAcquire(scanThread);
        delete scanThread;
    } else {
        // A scan stuck in the kernel: the thread is left behind, never waited for, so the client's
        // thread (and its quit) goes on. Its next scans start with a new thread.
        disconnect(this, &RunwatchManager::requestStartScanning, nullptr, nullptr);
        disconnect(this, &RunwatchManager::requestStopScanning, nullptr, nullptr);
        scanThread->abandon();
        host::log(QStringLiteral("The application scanner did not stop within %1 ms; it is left behind")
                      .arg(scanOptions.stopWaitMs),
                  host::LogWarning, "RunwatcherPlugin", 0);
    }
    scanThread = nullptr;
}

void RunwatchManager::registerCatalogue(ApplicationScan& scanner, RunwatcherThread* thread)
{
    CatalogueLock lock(mutex);
    for (auto it = apps.cbegin(); it != apps.cend(); ++it) {
        scanner.registerApp(it.key(), it.value()->binaries, it.value()->files);
    }
    thread->ready = true;
    thread->startedCondition.wakeAll();
}

bool RunwatchManager::broadcastingEnabled()
{
    CatalogueLock lock(mutex);
    return enabled;
}

bool RunwatchManager::listForScan(const std::set<int>& runningIds, QString* list)
{
    CatalogueLock lock(mutex);
    if (!enabled || apps.isEmpty()) {
        return false;
    }
    QStringList names;
    for (int id : runningIds) {
        const AppEntry* entry = apps.value(id);
        if (entry && entry->enabled) {
            QString name = entry->name;
            names.append(name.replace(QLatin1Char('#'), QStringLiteral("\\#")));
        }
    }
    *list = names.join(QStringLiteral(", "));
    return true;
}

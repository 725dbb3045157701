#include "runwatcher_thread.h"

#include <QTimer>

#include "application_scan.h"
#include "runwatch_manager.h"
#include "sanitizer_sync.h"

RunwatcherThread::RunwatcherThread(RunwatchManager* manager, const QString& procRoot, int intervalMs)
    : manager(manager), scanner(new ApplicationScan(procRoot)), intervalMs(intervalMs)
{
}

RunwatcherThread::~RunwatcherThread() { delete scanner; }

void RunwatcherThread::run()
{
    QTimer* timer = new QTimer;
    timer->setInterval(intervalMs);
    timer->setSingleShot(false);
    connect(timer, &QTimer::timeout, this, &RunwatcherThread::onScan, Qt::DirectConnection);
    connect(manager, &RunwatchManager::requestStartScanning, timer, QOverload<>::of(&QTimer::start),
            Qt::QueuedConnection);
    connect(manager, &RunwatchManager::requestStopScanning, timer, &QTimer::stop, Qt::QueuedConnection);
    connect(this, &RunwatcherThread::broadcast, manager, &RunwatchManager::onBroadcast, Qt::QueuedConnection);

    manager->registerCatalogue(*scanner, this);

    exec();
    delete timer;
    syncRelease(this);  // stopScanning waits for the end of the thread
}

void RunwatcherThread::onScan()
{
    if (!manager->broadcastingEnabled()) {
        return;
    }
    // The walk of the process table runs without the manager's lock.
    const std::set<int> running = scanner->findRunningApps();
    QString list;
    if (manager->listForScan(running, &list)) {
        emit broadcast(list);
    }
}

#include "runwatcher_thread.h"

#include <QTimer>
#include <atomic>
#include <dlfcn.h>

#include "application_scan.h"
#include "catalogue_lock.h"
#include "runwatch_manager.h"
#include "sanitizer_sync.h"

namespace {

std::atomic<int> liveThreads{0};

}  // namespace

RunwatcherThread::RunwatcherThread(RunwatchManager* manager, const QString& procRoot, int intervalMs)
    : manager(manager), scanner(new ApplicationScan(procRoot)), intervalMs(intervalMs)
{
    ++liveThreads;
}

RunwatcherThread::~RunwatcherThread()
{
    syncAcquire(this);  // an abandoned thread is deleted after its end, not waited for
    delete scanner;
    --liveThreads;
}

int RunwatcherThread::liveCount() { return liveThreads; }

void RunwatcherThread::abandon()
{
    {
        CatalogueLock lock(managerMutex);
        manager = nullptr;
    }
    // The thread runs this library's code when it comes back: the library is never unloaded now.
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&liveThreads), &info) && info.dli_fname) {
        dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    }
    connect(this, &QThread::finished, this, &QObject::deleteLater);
    if (isFinished()) {
        deleteLater();
    }
}

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
    {
        CatalogueLock lock(managerMutex);
        if (!manager || !manager->broadcastingEnabled()) {
            return;
        }
    }
    // The walk of the process table runs without any lock: it may wait in the kernel.
    const std::set<int> running = scanner->findRunningApps();
    QString list;
    CatalogueLock lock(managerMutex);
    if (manager && manager->listForScan(running, &list)) {
        emit broadcast(list);
    }
}

// A scoped lock of the manager's QMutex that also reports each acquire and release to the thread
// sanitizer (see sanitizer_sync.h), so the data the mutex guards is checked against the real locking.
#ifndef RUNWATCHER_CATALOGUE_LOCK_H
#define RUNWATCHER_CATALOGUE_LOCK_H

#include <QMutex>
#include <QWaitCondition>

#include "sanitizer_sync.h"

class CatalogueLock {
public:
    explicit CatalogueLock(QMutex& mutex) : mutex(mutex) { lock(); }
    ~CatalogueLock()
    {
        if (locked) {
            unlock();
        }
    }
    CatalogueLock(const CatalogueLock&) = delete;
    CatalogueLock& operator=(const CatalogueLock&) = delete;

    void lock()
    {
        mutex.lock();
        syncAcquire(&mutex);
        locked = true;
    }
    void unlock()
    {
        locked = false;
        syncRelease(&mutex);
        mutex.unlock();
    }
    // Waits on `condition`, which releases the mutex while it waits.
    void wait(QWaitCondition& condition)
    {
        syncRelease(&mutex);
        condition.wait(&mutex);
        syncAcquire(&mutex);
    }

private:
    QMutex& mutex;
    bool locked = false;
};

#endif

// Hand-overs between threads that go through Qt's own locks (QMutex, QThread::wait), which wait in
// the kernel inside Qt's library where the thread sanitizer cannot see them. In sanitizer builds
// these calls tell it about each hand-over; elsewhere they compile to nothing.
#ifndef RUNWATCHER_SANITIZER_SYNC_H
#define RUNWATCHER_SANITIZER_SYNC_H

#if defined(__SANITIZE_THREAD__)
#define RUNWATCHER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define RUNWATCHER_TSAN 1
#endif
#endif

#ifdef RUNWATCHER_TSAN
#include <sanitizer/tsan_interface.h>
#endif

// Everything this thread did before is visible to a thread that later calls syncAcquire(object).
inline void syncRelease(const void* object)
{
#ifdef RUNWATCHER_TSAN
    __tsan_release(const_cast<void*>(object));
#else
    (void)object;
#endif
}

inline void syncAcquire(const void* object)
{
#ifdef RUNWATCHER_TSAN
    __tsan_acquire(const_cast<void*>(object));
#else
    (void)object;
#endif
}

#endif

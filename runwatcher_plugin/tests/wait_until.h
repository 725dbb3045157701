// Runs the Qt event loop until a condition holds or a deadline passes.
#ifndef RUNWATCHER_WAIT_UNTIL_H
#define RUNWATCHER_WAIT_UNTIL_H

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <functional>

inline bool waitUntil(const std::function<bool()>& condition, int deadlineMs = 20000)
{
    QTimer wake;  // wakes the loop now and then so the deadline is seen without events
    wake.start(10);
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > deadlineMs) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

#endif

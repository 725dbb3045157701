// The scanner thread: its own event loop, a repeating timer, and one scan of the process table at
// every tick, whose list goes to the manager by a queued signal.
#ifndef RUNWATCHER_RUNWATCHER_THREAD_H
#define RUNWATCHER_RUNWATCHER_THREAD_H

#include <QMutex>
#include <QThread>
#include <QWaitCondition>

class ApplicationScan;
class RunwatchManager;

class RunwatcherThread : public QThread {
    Q_OBJECT

public:
    RunwatcherThread(RunwatchManager* manager, const QString& procRoot, int intervalMs);
    ~RunwatcherThread() override;

    // Start hand-shake: `ready` is set and `startedCondition` woken under the manager's mutex
    // once the timer, the connections and the registry are in place.
    QWaitCondition startedCondition;
    bool ready = false;

    // Called on the client's thread when the thread did not end within the stop's bound (a scan
    // stuck in the kernel): from now on the thread touches the manager no more, deletes itself
    // once it has ended, and the library stays loaded for it.
    void abandon();

    // Threads made and not yet deleted, abandoned ones included.
    static int liveCount();

signals:
    void broadcast(QString data);

public slots:
    void onScan();

protected:
    void run() override;

private:
    QMutex managerMutex;  // guards `manager`, null once abandoned; taken before the manager's
    RunwatchManager* manager;
    ApplicationScan* scanner;
    int intervalMs;
};

#endif

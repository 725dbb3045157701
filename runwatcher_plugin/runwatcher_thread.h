// The scanner thread: its own event loop, a repeating timer, and one scan of the process table at
// every tick, whose list goes to the manager by a queued signal.
#ifndef RUNWATCHER_RUNWATCHER_THREAD_H
#define RUNWATCHER_RUNWATCHER_THREAD_H

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

signals:
    void broadcast(QString data);

public slots:
    void onScan();

protected:
    void run() override;

private:
    RunwatchManager* manager;
    ApplicationScan* scanner;
    int intervalMs;
};

#endif

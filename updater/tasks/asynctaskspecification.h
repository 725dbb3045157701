#pragma once

#include "taskspecification.h"

#include <QRunnable>

// The work object of one thread-pool task: one piece of blocking work (checksums, signatures,
// unpacking, copying, reading a file) run on QThreadPool::globalInstance().
//
// It is created by ASyncTaskSpecification::createFunc() on the GUI thread, without a parent, and
// is then owned by the pool: run() executes on a pool thread, and the object is deleted on that
// thread when run() has returned. A work object must not touch any task or other GUI-thread
// object; it talks only through its signals, which reach the task queued on the GUI thread.
// It copies its inputs when it is created: the task may be reset or deleted while the work still
// runs (the work is never interrupted), and whatever the work reports then is dropped. Results
// that the task needs travel back as signals (add them in the subclass and connect them queued in
// an override of connectFunc).
// It may emit message(), error() and progress() from run(); runResult() is emitted by the
// framework with run()'s return value. Exceptions must not escape run(); should one escape
// anyway, it is reported through error() and counts as a failure.
class ASyncFunc : public QObject
{
    Q_OBJECT
public:
    ASyncFunc();
    ~ASyncFunc() override;

    // The blocking work; true for success. Runs on a pool thread.
    virtual bool run() = 0;

signals:
    void runResult(bool res);
    void message(QString message);
    void error(QString errorMessage);
    // Progress fraction of this task (0 to 1), not weighted.
    void progress(double progress);
};

// The runnable handed to the pool: runs the work object, reports its result, deletes it.
class ASyncRun : public QRunnable
{
public:
    explicit ASyncRun(ASyncFunc* func);
    ~ASyncRun() override;
    void run() override;

private:
    ASyncFunc* func;
};

// A task whose work runs on Qt's global thread pool.
//
// start() creates the work object (createFunc), connects it (connectFunc: every signal queued to
// the GUI thread) and hands it to the pool; the task is Running until the result arrives, and then
// ends through handleRunResult(): the base finishes on true and fails on false.
//
// cancel() does not interrupt the work: a cancelled thread-pool task still ends by its result.
// Reports of a run are tied to that run: once the task has been reset (or reset and started
// again), results, texts and progress that the earlier work object still delivers are dropped.
// reset() waits until the global pool has no work left.
class ASyncTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    ASyncTaskSpecification(QObject* parent, double weight);
    ~ASyncTaskSpecification() override;

    void start() override;
    void reset() override;

protected:
    // Returns a new work object for one run (called on the GUI thread by start()).
    virtual ASyncFunc* createFunc() = 0;
    // Connects the work object's runResult, message, error and progress to this task, queued and
    // bound to the current run. An override that adds connections calls the base first.
    virtual void connectFunc(ASyncFunc* func);
    // Ends the task from the work's result; only acts while the task is Running.
    virtual void handleRunResult(bool res);

    // Number of the current run; bumped by every start() and reset(). An extra connection made in
    // connectFunc captures it and drops reports whose run is no longer currentRun(), e.g.
    //   connect(func, &MyFunc::listsReady, this,
    //           [this, run = currentRun()](Lists l) { if (run == currentRun()) takeLists(l); },
    //           Qt::QueuedConnection);
    quint64 currentRun() const { return runNumber; }

protected slots:
    void onRunResult(bool res);
    void onProgress(double progress);

private:
    quint64 runNumber = 0;
};

#pragma once

#include "taskspecification.h"

#include <QList>

#include <functional>

// A task made of child tasks, of which at most `maxParallel` run at a time.
//
// Children are added with addTask() (each constructed with the composite as its QObject parent)
// and started with startSubTasks(); both happen in the concrete composite's start():
//
//     void MyStep::start()
//     {
//         addTask(new FirstChild(this, 0.5));
//         addTask(new SecondChild(this, 0.5));
//         state = Running;          // startSubTasks() sets it as well
//         startSubTasks();
//     }
//
// Children start only after the caller has returned to the event loop (the starts are queued),
// in insertion order. Each child that ends frees its place for the next pending one.
//
// Ending: once nothing runs any more and either every child has ended or a child failed or
// aborted or the composite was cancelled, complete() is called exactly once; the base ends the
// composite by aggregateState():
//   1. no children                          -> Finished
//   2. any child Failed                      -> Failed   (wins over Aborted, whatever the order)
//   3. any child Aborted                     -> Aborted
//   4. every child Finished                  -> Finished
//   5. the composite's own cancel flag set   -> Aborted
//   6. a child was cancelled                 -> Failed
//   7. otherwise                             -> Running (complete() then fails the composite)
//
// Cancellation: the first child that fails or aborts is final for the composite. It emits
// otherTaskCancelled(child) once (every running sibling gets handleOtherTaskCancelled), starts no
// further child, and completes when the running children have ended. cancel() on a Running
// composite cancels every child (pending, running and done alike); on a composite that does not
// run it only sets the flag.
//
// Progress: the composite's progress fraction is the sum of its children's weighted progress, so
// child weights are fractions of the parent and should sum to 1. Nothing clamps the value. The sum
// is kept up to date by adding each child's change, so a report costs the same with 2000 children
// as with two.
//
// Re-use: the base reset() resets every child and makes them all pending again. A concrete
// composite that builds fresh children in each start() overrides reset() as
// `deleteSubTasks(); <clear own counters>; TaskSpecification::reset();`.
class ComposedTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    // A `maxParallel` below 1 is taken as 1.
    ComposedTaskSpecification(int maxParallel, QObject* parent, double weight);
    ~ComposedTaskSpecification() override;

    void reset() override;
    // Sums the children's counters: `downloading` is true if any child downloads; `speed` adds
    // every child's speed; `done` and `total` add only the children that report a non-zero total.
    void getDownloadProgress(quint64& done, quint64& total, quint64& speed, bool& downloading) override;
    // Passes the tick on to every child.
    void checkIdleTimeout() override;
    void cancel() override;
    // Notes the news (see endInsteadOfRestart) and passes it on to this composite's own children.
    void handleOtherTaskCancelled(TaskSpecification* other) override;

    const QList<TaskSpecification*>& getAllTasks() const { return allTasks; }
    int runningCount() const { return runningTasks.size(); }
    int pendingCount() const { return pendingTasks.size(); }

signals:
    // Internal: one queued start of the next pending child per emission.
    void startNextTask();

protected:
    // Called once when the composite is done; the base ends it by aggregateState(). An override
    // must end the task (finish, fail or userCancel), possibly after work of its own.
    virtual void complete();
    // Connects a new child: finished, canceled, error (re-emitted), updateProgress, message
    // (re-emitted), and this composite's otherTaskCancelled to the child.
    virtual void connectSubTask(TaskSpecification* child);

    // Appends a child (which must have this composite as QObject parent) to the pending ones.
    void addTask(TaskSpecification* child);
    // Sets the state to Running and schedules the first min(pending, maxParallel) starts; with no
    // pending child the composite completes at once.
    void startSubTasks();
    TaskState aggregateState() const;
    // Disconnects every child from this composite, schedules it for deletion and empties the
    // lists. Clears the cancellation bookkeeping as well, so the composite can be started anew.
    void deleteSubTasks();
    // For a composite that builds its children anew after a failed check: a cancel or a sibling's
    // failure that arrived meanwhile would be lost with the old children, so instead of a new round
    // the composite ends here (Aborted, or Failed for a sibling's failure). True when it ended.
    bool endInsteadOfRestart();
    // Called from a child's result (a failed check): drops the current round's children at once
    // and has buildRound() add and start the next round on the next turn of the event loop, never
    // inside the child's signal. The composite stays Running in between; a cancel or a sibling's
    // failure that comes first ends it instead, now or when the round is due. False when it ended.
    bool restartRoundLater(std::function<void()> buildRound);

    QList<TaskSpecification*> allTasks;
    QList<TaskSpecification*> pendingTasks;
    QList<TaskSpecification*> runningTasks;
    QList<TaskSpecification*> doneTasks;
    const int maxParallel;
    bool subTaskCanceled = false;
    bool completing = false;
    // A sibling failed or aborted while this composite ran.
    bool otherTaskCancelledSeen = false;

private slots:
    void onStartNextTask();
    void onSubTaskFinished(TaskSpecification* child);
    void onSubTaskCanceled(TaskSpecification* child);

private:
    // Adds the child's progress change since it was last counted to progressSum.
    void countProgressOf(TaskSpecification* child);
    // Forgets what the current round went through: nothing runs or is done, no cancellation or
    // completion seen, no start scheduled (those queued are swallowed), progress at 0. Which
    // children there are (allTasks, pendingTasks) is left to its callers, reset() and
    // deleteSubTasks().
    void clearRound();
    void scheduleStart();
    void discardScheduledStarts();
    void completeOnce();

    // Queued starts that belong to the current round, and those left over from a round that was
    // reset; the latter are swallowed so that a restarted composite never exceeds maxParallel.
    int scheduledStarts = 0;
    int staleStarts = 0;
    // Counts the rounds of children (deleteSubTasks begins a new one), so that a round scheduled
    // by restartRoundLater is dropped once a reset has come in between.
    quint64 round = 0;
    // Sum of the children's weighted progress.
    double progressSum = 0.0;
};

#pragma once

#include <QMetaType>
#include <QObject>
#include <QString>

// The base of every step of an update run.
//
// A task is a Qt object with a weight (its share of its parent's progress), a weighted progress,
// a state and a cancel flag. It reports only through its signals, all emitted on the GUI thread.
// Tasks form a tree: a ComposedTaskSpecification runs its children and derives its own state and
// progress from theirs; the root's signals carry the whole tree's texts and progress.
//
// Life cycle: Idle --start()--> Running --> exactly one of Finished (signal finished),
// Failed (signal canceled) or Aborted (signal canceled). reset() brings the task back to Idle.
//
// Contract for subclasses:
//  - start() sets `state = Running` first and then begins the work; the task must later end
//    through exactly one of finish(), fail() or userCancel(). These three helpers only act while
//    the task is Running: a second ending, or an ending of a task that was reset in the meantime
//    (a late callback), is ignored, so a task can never end twice.
//  - reset() overrides end with TaskSpecification::reset().
//  - cancel() overrides call TaskSpecification::cancel() (which sets the flag) and may abort work.
//  - A listener tells failure from abort by the sender's getState() (Failed or Aborted) when it
//    receives canceled().
class TaskSpecification : public QObject
{
    Q_OBJECT
public:
    enum TaskState { Idle = 0, Running = 1, Finished = 2, Failed = 3, Aborted = 4 };
    Q_ENUM(TaskState)

    // `parent` is the owning composite (for the root: the update driver); `weight` is the task's
    // share of its parent's progress and never changes.
    TaskSpecification(QObject* parent, double weight);
    ~TaskSpecification() override;

    TaskState getState() const { return state; }
    double getWeight() const { return weight; }
    // Progress fraction times weight, as last emitted by updateProgress.
    double getWeightedProgress() const { return weightedProgress; }
    bool isCancelRequested() const { return cancelRequested; }
    // True in the states Finished, Failed and Aborted.
    bool hasEnded() const { return state == Finished || state == Failed || state == Aborted; }

public slots:
    // Starts the task (see the class comment).
    virtual void start() = 0;
    // Back to Idle: clears the cancel flag, the state and the progress (progress 0 is emitted).
    virtual void reset();
    // Download counters for the progress poll. `done`, `total` and `speed` (bytes, bytes per
    // second) are added to by composites, so the caller zeroes them first. The base reports
    // nothing: it writes 0, 0, 0 and false.
    virtual void getDownloadProgress(quint64& done, quint64& total, quint64& speed, bool& downloading);
    // The progress poll's tick (once a second, before it reads the counters): a transfer that has
    // idled too long gives up its mirror here. The base does nothing.
    virtual void checkIdleTimeout();
    // Asks the task to stop; the base only sets the cancel flag. A task that can abort its work
    // ends Aborted through userCancel(); others end as their work decides.
    virtual void cancel();
    // Reaction to a sibling's failure or abort, delivered while this task is Running. The base
    // does nothing.
    virtual void handleOtherTaskCancelled(TaskSpecification* other);

signals:
    void finished(TaskSpecification* task);
    // Emitted for both Failed and Aborted.
    void canceled(TaskSpecification* task);
    // A text for an error box (plain English).
    void error(QString errorMessage);
    // The weighted progress (fraction times weight).
    void updateProgress(double doneFrac);
    // A line for the log view (plain English).
    void message(QString message);
    // Sent by a composite to its children when one of them was cancelled.
    void otherTaskCancelled(TaskSpecification* task);

protected slots:
    // Calls handleOtherTaskCancelled(other) when `other` is not this task and this task runs.
    void onOtherTaskCancelled(TaskSpecification* other);

protected:
    // Ending helpers. Each acts only while the task is Running and returns whether it ended it.
    // finish(): state Finished, progress 1.0 (emitted), then finished(this).
    bool finish();
    // fail(): state Failed, then canceled(this).
    bool fail();
    // userCancel(): state Aborted, then canceled(this).
    bool userCancel();
    // weightedProgress := fraction * weight; emits updateProgress(weightedProgress).
    void setProgress(double fraction);

    bool cancelRequested = false;
    const double weight;
    double weightedProgress = 0.0;
    TaskState state = Idle;

private:
    friend class ComposedTaskSpecification;
    // The part of weightedProgress that the owning composite has added to its sum.
    double countedProgress = 0.0;
};

Q_DECLARE_METATYPE(TaskSpecification*)

#include "composedtaskspecification.h"

#include <algorithm>

ComposedTaskSpecification::ComposedTaskSpecification(int maxParallel, QObject* parent, double weight)
    : TaskSpecification(parent, weight), maxParallel(std::max(1, maxParallel))
{
    connect(this, &ComposedTaskSpecification::startNextTask, this, &ComposedTaskSpecification::onStartNextTask,
            Qt::QueuedConnection);
}

ComposedTaskSpecification::~ComposedTaskSpecification()
{
    // The children are QObject children, which ~QObject deletes right after this; deleteSubTasks()
    // would post a deferred delete for each and search this composite's connections once per child.
    // Only what a child could still send here must go.
    for (TaskSpecification* child : qAsConst(allTasks)) {
        disconnect(child, nullptr, this, nullptr);
        if (child->parent() != this)
            child->deleteLater();
    }
}

void ComposedTaskSpecification::reset()
{
    const QList<TaskSpecification*> children = allTasks;
    for (TaskSpecification* child : children)
        child->reset();
    pendingTasks = allTasks;
    clearRound();
    TaskSpecification::reset();
}

void ComposedTaskSpecification::getDownloadProgress(quint64& done, quint64& total, quint64& speed, bool& downloading)
{
    downloading = false;
    for (TaskSpecification* child : qAsConst(allTasks)) {
        quint64 childDone = 0;
        quint64 childTotal = 0;
        quint64 childSpeed = 0;
        bool childDownloading = false;
        child->getDownloadProgress(childDone, childTotal, childSpeed, childDownloading);
        if (childDownloading)
            downloading = true;
        speed += childSpeed;
        if (childTotal != 0) {
            done += childDone;
            total += childTotal;
        }
    }
}

void ComposedTaskSpecification::checkIdleTimeout()
{
    // A time-out may end children and with them this composite; work on a copy.
    const QList<TaskSpecification*> children = allTasks;
    for (TaskSpecification* child : children)
        child->checkIdleTimeout();
}

void ComposedTaskSpecification::cancel()
{
    TaskSpecification::cancel();
    if (state != Running)
        return;
    // A child may end synchronously while it is cancelled and so change the lists; work on a copy.
    const QList<TaskSpecification*> children = allTasks;
    for (TaskSpecification* child : children)
        child->cancel();
}

void ComposedTaskSpecification::handleOtherTaskCancelled(TaskSpecification* other)
{
    otherTaskCancelledSeen = true;
    emit otherTaskCancelled(other);
}

bool ComposedTaskSpecification::endInsteadOfRestart()
{
    if (cancelRequested)
        return userCancel();
    if (otherTaskCancelledSeen)
        return fail();
    return false;
}

bool ComposedTaskSpecification::restartRoundLater(std::function<void()> buildRound)
{
    if (endInsteadOfRestart())
        return false;
    deleteSubTasks();
    const quint64 due = round;
    QMetaObject::invokeMethod(
        this,
        [this, due, buildRound] {
            if (due != round || state != Running || endInsteadOfRestart())
                return;
            buildRound();
        },
        Qt::QueuedConnection);
    return true;
}

void ComposedTaskSpecification::complete()
{
    switch (aggregateState()) {
    case Finished:
        finish();
        break;
    case Aborted:
        userCancel();
        break;
    default:
        fail();
        break;
    }
}

void ComposedTaskSpecification::connectSubTask(TaskSpecification* child)
{
    connect(child, &TaskSpecification::finished, this, &ComposedTaskSpecification::onSubTaskFinished);
    connect(child, &TaskSpecification::canceled, this, &ComposedTaskSpecification::onSubTaskCanceled);
    connect(child, &TaskSpecification::error, this, &TaskSpecification::error);
    // The child is bound into the connection: QObject::sender() would search every connection to
    // this composite, one per child.
    connect(child, &TaskSpecification::updateProgress, this, [this, child](double) { countProgressOf(child); });
    connect(child, &TaskSpecification::message, this, &TaskSpecification::message);
    connect(this, &TaskSpecification::otherTaskCancelled, child, &ComposedTaskSpecification::onOtherTaskCancelled);
}

void ComposedTaskSpecification::addTask(TaskSpecification* child)
{
    if (!child || allTasks.contains(child))
        return;
    allTasks.append(child);
    pendingTasks.append(child);
    connectSubTask(child);
    child->countedProgress = 0.0;
    countProgressOf(child);
}

void ComposedTaskSpecification::startSubTasks()
{
    state = Running;
    const int n = std::min(pendingTasks.size(), maxParallel);
    if (n == 0) {
        if (!completing)
            completeOnce();
        return;
    }
    for (int i = 0; i < n; ++i)
        scheduleStart();
}

TaskSpecification::TaskState ComposedTaskSpecification::aggregateState() const
{
    if (allTasks.isEmpty())
        return Finished;
    bool anyAborted = false;
    bool allFinished = true;
    for (const TaskSpecification* child : allTasks) {
        const TaskState childState = child->getState();
        if (childState == Failed)
            return Failed;
        if (childState == Aborted)
            anyAborted = true;
        if (childState != Finished)
            allFinished = false;
    }
    if (anyAborted)
        return Aborted;
    if (allFinished)
        return Finished;
    if (cancelRequested)
        return Aborted;
    if (subTaskCanceled)
        return Failed;
    return Running;
}

void ComposedTaskSpecification::deleteSubTasks()
{
    for (TaskSpecification* child : qAsConst(allTasks)) {
        disconnect(child, nullptr, this, nullptr);
        disconnect(this, nullptr, child, nullptr);
        child->deleteLater();
    }
    allTasks.clear();
    pendingTasks.clear();
    clearRound();
    ++round;
}

void ComposedTaskSpecification::clearRound()
{
    runningTasks.clear();
    doneTasks.clear();
    subTaskCanceled = false;
    completing = false;
    otherTaskCancelledSeen = false;
    discardScheduledStarts();
    // The children start at 0; begin the sum afresh rather than from rounded differences.
    progressSum = 0.0;
}

void ComposedTaskSpecification::onStartNextTask()
{
    if (staleStarts > 0) {
        --staleStarts;
        return;
    }
    if (scheduledStarts > 0)
        --scheduledStarts;
    if (state != Running)
        return;
    if (pendingTasks.isEmpty() || subTaskCanceled || cancelRequested) {
        if (runningTasks.isEmpty() && !completing)
            completeOnce();
        return;
    }
    TaskSpecification* child = pendingTasks.takeFirst();
    runningTasks.append(child);
    // A fast file child ends inside start(); its finished/canceled is handled before this returns.
    child->start();
}

void ComposedTaskSpecification::countProgressOf(TaskSpecification* child)
{
    progressSum += child->weightedProgress - child->countedProgress;
    child->countedProgress = child->weightedProgress;
    setProgress(progressSum);
}

void ComposedTaskSpecification::onSubTaskFinished(TaskSpecification* child)
{
    const int index = runningTasks.indexOf(child);
    if (index < 0)
        return; // not started by this composite, or already accounted for
    runningTasks.removeAt(index);
    doneTasks.append(child);
    scheduleStart();
}

void ComposedTaskSpecification::onSubTaskCanceled(TaskSpecification* child)
{
    const int index = runningTasks.indexOf(child);
    if (index < 0)
        return;
    runningTasks.removeAt(index);
    doneTasks.append(child);
    if (!subTaskCanceled) {
        subTaskCanceled = true;
        emit otherTaskCancelled(child);
    }
    if (runningTasks.isEmpty() && !completing)
        completeOnce();
}

void ComposedTaskSpecification::scheduleStart()
{
    ++scheduledStarts;
    emit startNextTask();
}

void ComposedTaskSpecification::discardScheduledStarts()
{
    staleStarts += scheduledStarts;
    scheduledStarts = 0;
}

void ComposedTaskSpecification::completeOnce()
{
    completing = true;
    complete();
}

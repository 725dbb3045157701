#include "taskspecification.h"

namespace {
const int taskPointerTypeId = qRegisterMetaType<TaskSpecification*>("TaskSpecification*");
}

TaskSpecification::TaskSpecification(QObject* parent, double weight)
    : QObject(parent), weight(weight)
{
    (void)taskPointerTypeId;
}

TaskSpecification::~TaskSpecification() = default;

void TaskSpecification::reset()
{
    cancelRequested = false;
    state = Idle;
    setProgress(0.0);
}

void TaskSpecification::getDownloadProgress(quint64& done, quint64& total, quint64& speed, bool& downloading)
{
    done = 0;
    total = 0;
    speed = 0;
    downloading = false;
}

void TaskSpecification::checkIdleTimeout() {}

void TaskSpecification::cancel()
{
    cancelRequested = true;
}

void TaskSpecification::handleOtherTaskCancelled(TaskSpecification* other)
{
    Q_UNUSED(other);
}

void TaskSpecification::onOtherTaskCancelled(TaskSpecification* other)
{
    if (other != this && state == Running)
        handleOtherTaskCancelled(other);
}

bool TaskSpecification::finish()
{
    if (state != Running)
        return false;
    state = Finished;
    setProgress(1.0);
    emit finished(this);
    return true;
}

bool TaskSpecification::fail()
{
    if (state != Running)
        return false;
    state = Failed;
    emit canceled(this);
    return true;
}

bool TaskSpecification::userCancel()
{
    if (state != Running)
        return false;
    state = Aborted;
    emit canceled(this);
    return true;
}

void TaskSpecification::setProgress(double fraction)
{
    weightedProgress = fraction * weight;
    emit updateProgress(weightedProgress);
}

#pragma once

// Small concrete tasks for exercising the framework.

#include "asynctaskspecification.h"
#include "composedtaskspecification.h"
#include "fastfileoptaskspecification.h"

#include <QPointer>
#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

// Records what happens to the tasks of one test.
struct TaskLog
{
    QStringList started;
    QStringList othersCancelled; // "<receiver> saw <other>"
    int maxRunning = 0;
    int running = 0;
};

// A leaf that runs until the test ends it.
class ManualTask : public TaskSpecification
{
    Q_OBJECT
public:
    ManualTask(const QString& name, TaskLog* log, QObject* parent, double weight)
        : TaskSpecification(parent, weight), name(name), log(log)
    {
        setObjectName(name);
    }

    void start() override
    {
        state = Running;
        ++startCount;
        if (log) {
            log->started << name;
            log->maxRunning = std::max(log->maxRunning, ++log->running);
        }
    }
    void cancel() override
    {
        TaskSpecification::cancel();
        if (abortOnCancel)
            endWith(Aborted);
    }
    void handleOtherTaskCancelled(TaskSpecification* other) override
    {
        if (log)
            log->othersCancelled << name + " saw " + other->objectName();
        if (abortOnOtherCancelled)
            endWith(Aborted);
    }
    void getDownloadProgress(quint64& done, quint64& total, quint64& speed, bool& downloading) override
    {
        done = dlDone;
        total = dlTotal;
        speed = dlSpeed;
        downloading = dlActive;
    }

    // Ends the task as the test says; returns whether it ended it.
    bool endWith(TaskState how)
    {
        const bool wasRunning = state == Running;
        bool ended = false;
        if (how == Finished)
            ended = finish();
        else if (how == Failed)
            ended = fail();
        else
            ended = userCancel();
        if (wasRunning && ended && log)
            --log->running;
        return ended;
    }
    void progress(double fraction) { setProgress(fraction); }

    QString name;
    TaskLog* log;
    int startCount = 0;
    bool abortOnCancel = false;
    bool abortOnOtherCancelled = false;
    quint64 dlDone = 0, dlTotal = 0, dlSpeed = 0;
    bool dlActive = false;
};

// A composite whose children the test adds before starting it.
class TestComposite : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    using ComposedTaskSpecification::ComposedTaskSpecification;

    ManualTask* addManual(const QString& name, TaskLog* log, double weight)
    {
        auto* child = new ManualTask(name, log, this, weight);
        addTask(child);
        return child;
    }
    void add(TaskSpecification* child) { addTask(child); }
    void start() override { startSubTasks(); }
    TaskState aggregate() const { return aggregateState(); }
    bool isCompleting() const { return completing; }
    // The reset of a concrete composite that builds fresh children in each start().
    void dropChildren()
    {
        deleteSubTasks();
        TaskSpecification::reset();
    }
};

// A fast file operation with a fixed outcome that appends its path to `done` on success.
class TestFastOp : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    TestFastOp(const QString& path, bool succeed, QStringList* done, QObject* parent, double weight)
        : FastFileOpTaskSpecification(path, parent, weight), succeed(succeed), done(done)
    {
        setObjectName(path);
    }

protected:
    bool runOperation() override
    {
        if (!succeed) {
            emit error("cannot work on " + path);
            return false;
        }
        emit message("worked on " + path);
        if (done)
            *done << path;
        return true;
    }

private:
    bool succeed;
    QStringList* done;
};

// A gate the test opens to let a work object's run() return (standard primitives, so that the
// thread sanitizer sees the hand-over).
class Gate
{
public:
    void open()
    {
        std::lock_guard<std::mutex> lock(mutex);
        isOpen = true;
        cv.notify_all();
    }
    // Waits at most 10 s; returns whether the gate opened.
    bool wait()
    {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, std::chrono::seconds(10), [this] { return isOpen; });
    }
    void markEntered()
    {
        std::lock_guard<std::mutex> lock(mutex);
        entered = true;
        cv.notify_all();
    }
    bool hasEntered()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return entered;
    }

private:
    std::mutex mutex;
    std::condition_variable cv;
    bool isOpen = false;
    bool entered = false;
};

struct WorkPlan
{
    bool result = true;
    bool throwInstead = false;
    std::shared_ptr<Gate> gate; // null: return at once
};

class TestFunc : public ASyncFunc
{
    Q_OBJECT
public:
    explicit TestFunc(const WorkPlan& plan) : plan(plan) {}
    bool run() override
    {
        emit progress(0.5);
        emit message(QStringLiteral("working"));
        if (plan.gate) {
            plan.gate->markEntered();
            plan.gate->wait();
        }
        if (plan.throwInstead)
            throw std::runtime_error("broken input");
        if (!plan.result)
            emit error(QStringLiteral("work failed"));
        return plan.result;
    }

private:
    WorkPlan plan;
};

class TestASyncTask : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    TestASyncTask(QObject* parent, double weight) : ASyncTaskSpecification(parent, weight) {}
    WorkPlan plan;

protected:
    ASyncFunc* createFunc() override { return new TestFunc(plan); }
};

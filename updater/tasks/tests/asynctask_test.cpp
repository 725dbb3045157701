// Thread-pool tasks: results, queued reports, cancellation and reports that arrive too late.
#include "testsupport.h"
#include "testtasks.h"

#include <QSignalSpy>
#include <QThread>
#include <QThreadPool>

#include <gtest/gtest.h>

using testsupport::drainEvents;
using testsupport::waitUntil;

namespace {

bool ended(const TaskSpecification& task)
{
    return task.hasEnded();
}

TEST(ASyncTask, ResultEndsTheTaskAndReportsArriveOnTheGuiThread)
{
    for (bool result : {true, false}) {
        TestASyncTask task(nullptr, 0.5);
        task.plan.result = result;
        QThread* reportThread = nullptr;
        QObject::connect(&task, &TaskSpecification::message, &task,
                         [&reportThread](const QString&) { reportThread = QThread::currentThread(); });
        QSignalSpy messages(&task, &TaskSpecification::message);
        QSignalSpy errors(&task, &TaskSpecification::error);
        QSignalSpy progress(&task, &TaskSpecification::updateProgress);
        task.start();
        EXPECT_EQ(task.getState(), TaskSpecification::Running);
        ASSERT_TRUE(waitUntil([&] { return ended(task); }));
        EXPECT_EQ(task.getState(), result ? TaskSpecification::Finished : TaskSpecification::Failed);
        EXPECT_EQ(reportThread, QThread::currentThread());
        ASSERT_GE(messages.count(), 1);
        EXPECT_EQ(messages[0][0].toString(), "working");
        EXPECT_EQ(errors.count(), result ? 0 : 1);
        ASSERT_GE(progress.count(), 1);
        EXPECT_DOUBLE_EQ(progress[0][0].toDouble(), 0.25) << "progress is weighted";
    }
}

TEST(ASyncTask, CancelDoesNotInterruptTheWorkWhichStillDecides)
{
    TestASyncTask task(nullptr, 1.0);
    task.plan.gate = std::make_shared<Gate>();
    task.start();
    ASSERT_TRUE(waitUntil([&] { return task.plan.gate->hasEntered(); }));
    task.cancel();
    drainEvents();
    EXPECT_EQ(task.getState(), TaskSpecification::Running);
    task.plan.gate->open();
    ASSERT_TRUE(waitUntil([&] { return ended(task); }));
    EXPECT_EQ(task.getState(), TaskSpecification::Finished);
}

TEST(ASyncTask, LateResultAfterResetIsIgnoredAndCannotEndTheNextRun)
{
    TestASyncTask task(nullptr, 1.0);
    auto firstGate = std::make_shared<Gate>();
    task.plan.gate = firstGate;
    task.plan.result = false;
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy errors(&task, &TaskSpecification::error);
    task.start();
    ASSERT_TRUE(waitUntil([&] { return firstGate->hasEntered(); }));
    firstGate->open();
    task.reset(); // waits for the pool; the failing result is now queued but stale
    EXPECT_EQ(task.getState(), TaskSpecification::Idle);

    auto secondGate = std::make_shared<Gate>();
    task.plan.gate = secondGate;
    task.plan.result = true;
    task.start();
    drainEvents(); // delivers the first run's result, which must be dropped
    EXPECT_EQ(task.getState(), TaskSpecification::Running);
    EXPECT_EQ(canceled.count(), 0);
    EXPECT_EQ(errors.count(), 0) << "texts of the earlier run are dropped too";
    secondGate->open();
    ASSERT_TRUE(waitUntil([&] { return ended(task); }));
    EXPECT_EQ(task.getState(), TaskSpecification::Finished);
    EXPECT_EQ(finished.count(), 1);
    EXPECT_EQ(canceled.count(), 0);
}

TEST(ASyncTask, ResultOfADeletedTaskGoesNowhere)
{
    auto gate = std::make_shared<Gate>();
    {
        TestASyncTask task(nullptr, 1.0);
        task.plan.gate = gate;
        task.start();
        ASSERT_TRUE(waitUntil([&] { return gate->hasEntered(); }));
    }
    gate->open();
    QThreadPool::globalInstance()->waitForDone();
    drainEvents(); // must not touch the deleted task
    SUCCEED();
}

TEST(ASyncTask, ExceptionInTheWorkBecomesAnErrorAndAFailure)
{
    TestASyncTask task(nullptr, 1.0);
    task.plan.throwInstead = true;
    QSignalSpy errors(&task, &TaskSpecification::error);
    task.start();
    ASSERT_TRUE(waitUntil([&] { return ended(task); }));
    EXPECT_EQ(task.getState(), TaskSpecification::Failed);
    ASSERT_EQ(errors.count(), 1);
    EXPECT_EQ(errors[0][0].toString(), "broken input");
}

TEST(ASyncTask, ParallelWorkersInACompositeWithOneFailingWhileOthersRun)
{
    TestComposite root(3, nullptr, 1.0);
    QList<TestASyncTask*> workers;
    QList<std::shared_ptr<Gate>> gates;
    for (int i = 0; i < 4; ++i) {
        auto* worker = new TestASyncTask(&root, 0.25);
        worker->plan.gate = std::make_shared<Gate>();
        gates << worker->plan.gate;
        workers << worker;
        root.add(worker);
    }
    workers[1]->plan.result = false;
    QSignalSpy canceled(&root, &TaskSpecification::canceled);
    root.start();
    ASSERT_TRUE(waitUntil([&] { return gates[0]->hasEntered() && gates[1]->hasEntered() && gates[2]->hasEntered(); }));

    gates[1]->open();
    ASSERT_TRUE(waitUntil([&] { return ended(*workers[1]); }));
    drainEvents();
    EXPECT_EQ(root.getState(), TaskSpecification::Running) << "two workers still run";
    root.cancel(); // the user gives up as well: running work is not interrupted
    gates[0]->open();
    gates[2]->open();
    ASSERT_TRUE(waitUntil([&] { return ended(root); }));
    EXPECT_EQ(workers[0]->getState(), TaskSpecification::Finished);
    EXPECT_EQ(workers[2]->getState(), TaskSpecification::Finished);
    EXPECT_EQ(workers[3]->getState(), TaskSpecification::Idle);
    EXPECT_EQ(root.getState(), TaskSpecification::Failed);
    EXPECT_EQ(canceled.count(), 1);
    gates[3]->open();
}

} // namespace

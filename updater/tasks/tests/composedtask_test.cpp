// Composite tasks: starting, parallelism, aggregation, cancellation, progress and re-use.
#include "testsupport.h"
#include "testtasks.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

using testsupport::drainEvents;

namespace {

struct Ends
{
    explicit Ends(TaskSpecification* task)
        : finished(task, &TaskSpecification::finished), canceled(task, &TaskSpecification::canceled)
    {
    }
    int total() const { return finished.count() + canceled.count(); }
    QSignalSpy finished;
    QSignalSpy canceled;
};

TEST(ComposedTask, EmptyCompositeFinishesAtStartWithFullProgress)
{
    TestComposite root(3, nullptr, 0.25);
    Ends ends(&root);
    root.start();
    EXPECT_EQ(root.getState(), TaskSpecification::Finished);
    EXPECT_EQ(ends.finished.count(), 1);
    EXPECT_EQ(ends.canceled.count(), 0);
    EXPECT_DOUBLE_EQ(root.getWeightedProgress(), 0.25);
}

TEST(ComposedTask, ChildrenStartOnlyFromTheEventLoopAndAllStartWhenLimitIsLarger)
{
    TaskLog log;
    TestComposite root(10, nullptr, 1.0);
    QList<ManualTask*> kids;
    for (int i = 0; i < 4; ++i)
        kids << root.addManual(QString("c%1").arg(i), &log, 0.25);
    root.start();
    EXPECT_EQ(root.getState(), TaskSpecification::Running);
    EXPECT_TRUE(log.started.isEmpty()) << "children must not start inside start()";
    drainEvents();
    EXPECT_EQ(log.started, QStringList({"c0", "c1", "c2", "c3"}));
    Ends ends(&root);
    for (ManualTask* kid : kids)
        kid->endWith(TaskSpecification::Finished);
    EXPECT_EQ(ends.total(), 0) << "the composite completes from the event loop";
    drainEvents();
    EXPECT_EQ(root.getState(), TaskSpecification::Finished);
    EXPECT_EQ(ends.finished.count(), 1);
}

TEST(ComposedTask, OneAtATimeRunsChildrenStrictlyInOrder)
{
    TaskLog log;
    TestComposite root(1, nullptr, 1.0);
    QList<ManualTask*> kids;
    for (int i = 0; i < 3; ++i)
        kids << root.addManual(QString("c%1").arg(i), &log, 1.0 / 3);
    root.start();
    for (int i = 0; i < 3; ++i) {
        drainEvents();
        ASSERT_EQ(log.started.size(), i + 1);
        EXPECT_EQ(log.started.last(), QString("c%1").arg(i));
        EXPECT_EQ(root.runningCount(), 1);
        kids[i]->endWith(TaskSpecification::Finished);
    }
    drainEvents();
    EXPECT_EQ(log.maxRunning, 1);
    EXPECT_EQ(root.getState(), TaskSpecification::Finished);
}

TEST(ComposedTask, LimitBelowOneRunsOneAtATimeInsteadOfNeverEnding)
{
    for (int limit : {0, -2}) {
        TaskLog log;
        TestComposite root(limit, nullptr, 1.0);
        ManualTask* a = root.addManual("a", &log, 0.5);
        ManualTask* b = root.addManual("b", &log, 0.5);
        root.start();
        drainEvents();
        EXPECT_EQ(log.started, QStringList({"a"}));
        a->endWith(TaskSpecification::Finished);
        drainEvents();
        b->endWith(TaskSpecification::Finished);
        drainEvents();
        EXPECT_EQ(root.getState(), TaskSpecification::Finished) << "limit " << limit;
    }
}

TEST(ComposedTask, ParallelLimitHoldsWhileChildrenEndOutOfOrder)
{
    TaskLog log;
    TestComposite root(2, nullptr, 1.0);
    QList<ManualTask*> kids;
    for (int i = 0; i < 5; ++i)
        kids << root.addManual(QString("c%1").arg(i), &log, 0.2);
    root.start();
    drainEvents();
    ASSERT_EQ(log.started.size(), 2);
    kids[1]->endWith(TaskSpecification::Finished);
    drainEvents();
    EXPECT_EQ(log.started.last(), "c2");
    kids[0]->endWith(TaskSpecification::Finished);
    kids[2]->endWith(TaskSpecification::Finished);
    drainEvents();
    EXPECT_EQ(log.started.size(), 5);
    EXPECT_EQ(root.runningCount(), 2);
    kids[4]->endWith(TaskSpecification::Finished);
    drainEvents();
    EXPECT_EQ(root.getState(), TaskSpecification::Running);
    kids[3]->endWith(TaskSpecification::Finished);
    drainEvents();
    EXPECT_EQ(log.maxRunning, 2);
    EXPECT_EQ(root.getState(), TaskSpecification::Finished);
}

TEST(ComposedTask, FailingChildWaitsForRunningSiblingsAndStartsNoMore)
{
    TaskLog log;
    TestComposite root(3, nullptr, 1.0);
    QList<ManualTask*> kids;
    for (int i = 0; i < 4; ++i)
        kids << root.addManual(QString("c%1").arg(i), &log, 0.25);
    QSignalSpy notices(&root, &TaskSpecification::otherTaskCancelled);
    Ends ends(&root);
    root.start();
    drainEvents();
    ASSERT_EQ(log.started.size(), 3);

    kids[1]->endWith(TaskSpecification::Failed);
    EXPECT_EQ(notices.count(), 1);
    EXPECT_EQ(log.othersCancelled, QStringList({"c0 saw c1", "c2 saw c1"}))
        << "only running siblings react, the failed child and pending ones do not";
    drainEvents();
    EXPECT_EQ(root.getState(), TaskSpecification::Running) << "two children still run";

    kids[0]->endWith(TaskSpecification::Finished);
    drainEvents();
    EXPECT_EQ(log.started.size(), 3) << "no further child after a failure";
    EXPECT_EQ(root.getState(), TaskSpecification::Running);

    kids[2]->endWith(TaskSpecification::Aborted);
    drainEvents();
    EXPECT_EQ(notices.count(), 1) << "the siblings are told once";
    EXPECT_EQ(root.getState(), TaskSpecification::Failed);
    EXPECT_EQ(ends.canceled.count(), 1);
    EXPECT_EQ(ends.finished.count(), 0);
    EXPECT_EQ(kids[3]->startCount, 0);
}

TEST(ComposedTask, FailedChildWinsOverAbortedChildInEitherOrder)
{
    for (bool abortFirst : {true, false}) {
        TestComposite root(2, nullptr, 1.0);
        ManualTask* a = root.addManual("a", nullptr, 0.5);
        ManualTask* b = root.addManual("b", nullptr, 0.5);
        root.start();
        drainEvents();
        if (abortFirst) {
            a->endWith(TaskSpecification::Aborted);
            b->endWith(TaskSpecification::Failed);
        } else {
            b->endWith(TaskSpecification::Failed);
            a->endWith(TaskSpecification::Aborted);
        }
        drainEvents();
        EXPECT_EQ(root.getState(), TaskSpecification::Failed) << "abort first: " << abortFirst;
    }
}

TEST(ComposedTask, AbortedChildWithoutFailureAbortsTheComposite)
{
    TestComposite root(2, nullptr, 1.0);
    ManualTask* a = root.addManual("a", nullptr, 0.5);
    ManualTask* b = root.addManual("b", nullptr, 0.5);
    root.start();
    drainEvents();
    a->endWith(TaskSpecification::Aborted);
    b->endWith(TaskSpecification::Finished);
    drainEvents();
    EXPECT_EQ(root.getState(), TaskSpecification::Aborted);
}

TEST(ComposedTask, SiblingThatAbortsOnNewsEndsTheCompositeWithoutWaiting)
{
    TaskLog log;
    TestComposite root(2, nullptr, 1.0);
    ManualTask* a = root.addManual("a", &log, 0.5);
    ManualTask* b = root.addManual("b", &log, 0.5);
    b->abortOnOtherCancelled = true;
    Ends ends(&root);
    root.start();
    drainEvents();
    a->endWith(TaskSpecification::Failed);
    EXPECT_EQ(b->getState(), TaskSpecification::Aborted);
    EXPECT_EQ(root.getState(), TaskSpecification::Failed);
    drainEvents();
    EXPECT_EQ(ends.total(), 1);
}

TEST(ComposedTask, CancelReachesEveryDescendantAndEachLevelEndsOnceAborted)
{
    TaskLog log;
    TestComposite root(1, nullptr, 1.0);
    auto* mid = new TestComposite(2, &root, 0.6);
    root.add(mid);
    ManualTask* tail = root.addManual("tail", &log, 0.4);
    ManualTask* leaf1 = mid->addManual("leaf1", &log, 0.5);
    ManualTask* leaf2 = mid->addManual("leaf2", &log, 0.5);
    leaf1->abortOnCancel = true;
    Ends rootEnds(&root);
    Ends midEnds(mid);
    root.start();
    drainEvents();
    drainEvents();
    ASSERT_EQ(log.started, QStringList({"leaf1", "leaf2"}));

    root.cancel();
    EXPECT_TRUE(mid->isCancelRequested());
    EXPECT_TRUE(leaf2->isCancelRequested());
    EXPECT_TRUE(tail->isCancelRequested()) << "pending children are cancelled too";
    EXPECT_EQ(leaf1->getState(), TaskSpecification::Aborted);
    EXPECT_EQ(mid->getState(), TaskSpecification::Running) << "leaf2 ignores cancel and still runs";

    leaf2->endWith(TaskSpecification::Finished);
    drainEvents();
    EXPECT_EQ(mid->getState(), TaskSpecification::Aborted);
    EXPECT_EQ(root.getState(), TaskSpecification::Aborted);
    EXPECT_EQ(tail->startCount, 0);
    EXPECT_EQ(rootEnds.total(), 1);
    EXPECT_EQ(midEnds.total(), 1);
}

TEST(ComposedTask, CancelBeforeAnyChildStartedAbortsWithoutStartingOne)
{
    TaskLog log;
    TestComposite root(2, nullptr, 1.0);
    root.addManual("a", &log, 0.5);
    root.addManual("b", &log, 0.5);
    root.start();
    root.cancel(); // the queued starts have not run yet
    drainEvents();
    EXPECT_TRUE(log.started.isEmpty());
    EXPECT_EQ(root.getState(), TaskSpecification::Aborted);
}

TEST(ComposedTask, CancelOfCompositeNotRunningOnlySetsItsFlag)
{
    TestComposite root(2, nullptr, 1.0);
    ManualTask* a = root.addManual("a", nullptr, 1.0);
    root.cancel();
    EXPECT_TRUE(root.isCancelRequested());
    EXPECT_FALSE(a->isCancelRequested());
    EXPECT_EQ(root.getState(), TaskSpecification::Idle);
}

TEST(ComposedTask, ProgressIsTheWeightedSumAndStepWeightsAddUpToTheWhole)
{
    TestComposite root(1, nullptr, 1.0);
    QList<ManualTask*> steps;
    for (double w : {0.1, 0.05, 0.4, 0.4, 0.05})
        steps << root.addManual("s", nullptr, w);
    QSignalSpy progress(&root, &TaskSpecification::updateProgress);
    root.start();
    drainEvents();
    steps[0]->progress(0.5);
    EXPECT_DOUBLE_EQ(root.getWeightedProgress(), 0.05);
    EXPECT_DOUBLE_EQ(progress.last().at(0).toDouble(), 0.05);
    for (ManualTask* step : steps) {
        drainEvents();
        step->endWith(TaskSpecification::Finished);
    }
    drainEvents();
    EXPECT_EQ(root.getState(), TaskSpecification::Finished);
    EXPECT_NEAR(root.getWeightedProgress(), 1.0, 1e-12);

    // A nested composite reports its share of the parent's whole.
    TestComposite outer(1, nullptr, 1.0);
    auto* inner = new TestComposite(1, &outer, 0.4);
    outer.add(inner);
    ManualTask* deep = inner->addManual("deep", nullptr, 1.0);
    outer.start();
    drainEvents();
    drainEvents();
    deep->progress(0.5);
    EXPECT_DOUBLE_EQ(inner->getWeightedProgress(), 0.2);
    EXPECT_DOUBLE_EQ(outer.getWeightedProgress(), 0.2);
}

TEST(ComposedTask, DownloadCountersSkipBytesOfChildrenWithoutTotalButKeepTheirSpeed)
{
    TestComposite root(3, nullptr, 1.0);
    ManualTask* a = root.addManual("a", nullptr, 0.5);
    ManualTask* b = root.addManual("b", nullptr, 0.5);
    a->dlDone = 100;
    a->dlTotal = 1000;
    a->dlSpeed = 10;
    b->dlDone = 55;
    b->dlTotal = 0;
    b->dlSpeed = 7;
    b->dlActive = true;
    quint64 done = 0, total = 0, speed = 0;
    bool downloading = false;
    root.getDownloadProgress(done, total, speed, downloading);
    EXPECT_EQ(done, 100u);
    EXPECT_EQ(total, 1000u);
    EXPECT_EQ(speed, 17u);
    EXPECT_TRUE(downloading);
}

TEST(ComposedTask, ResetMakesTheCompositeRunnableAgain)
{
    TaskLog log;
    TestComposite root(2, nullptr, 1.0);
    ManualTask* a = root.addManual("a", &log, 0.5);
    ManualTask* b = root.addManual("b", &log, 0.5);
    root.start();
    drainEvents();
    a->endWith(TaskSpecification::Failed);
    b->endWith(TaskSpecification::Finished);
    drainEvents();
    ASSERT_EQ(root.getState(), TaskSpecification::Failed);

    root.reset();
    EXPECT_EQ(root.getState(), TaskSpecification::Idle);
    EXPECT_EQ(a->getState(), TaskSpecification::Idle);
    EXPECT_DOUBLE_EQ(root.getWeightedProgress(), 0.0);
    EXPECT_EQ(root.pendingCount(), 2);

    Ends ends(&root);
    root.start();
    drainEvents();
    a->endWith(TaskSpecification::Finished);
    b->endWith(TaskSpecification::Finished);
    drainEvents();
    EXPECT_EQ(root.getState(), TaskSpecification::Finished);
    EXPECT_EQ(ends.total(), 1);
}

TEST(ComposedTask, StartsQueuedBeforeAResetNeverExceedTheLimitAfterARestart)
{
    TaskLog log;
    TestComposite root(1, nullptr, 1.0);
    for (int i = 0; i < 3; ++i)
        root.addManual(QString("c%1").arg(i), &log, 1.0 / 3);
    root.start();
    root.reset(); // the first round's queued start is still in the event queue
    root.start();
    drainEvents();
    EXPECT_EQ(log.started.size(), 1);
    EXPECT_EQ(root.runningCount(), 1);
}

TEST(ComposedTask, DeletedChildrenAreDisconnectedAndFreshOnesRun)
{
    // What a step does when it retries: throw its children away and build new ones.
    TaskLog log;
    TestComposite retrying(1, nullptr, 1.0);
    ManualTask* first = retrying.addManual("first", &log, 1.0);
    retrying.start();
    drainEvents();
    QPointer<ManualTask> firstRef(first);
    Ends ends(&retrying);
    retrying.dropChildren();
    first->endWith(TaskSpecification::Failed); // still alive until the event loop deletes it
    EXPECT_EQ(ends.total(), 0) << "a dropped child's end must not reach the composite";
    drainEvents();
    EXPECT_TRUE(firstRef.isNull()) << "dropped children are deleted later";
    ManualTask* second = retrying.addManual("second", &log, 1.0);
    retrying.start();
    drainEvents();
    second->endWith(TaskSpecification::Finished);
    drainEvents();
    EXPECT_EQ(retrying.getState(), TaskSpecification::Finished);
    EXPECT_EQ(ends.total(), 1);
}

TEST(ComposedTask, FastFileChildrenEndInsideTheirStartInOrder)
{
    QStringList done;
    TestComposite root(1, nullptr, 1.0);
    root.add(new TestFastOp("one", true, &done, &root, 0.5));
    root.add(new TestFastOp("two", true, &done, &root, 0.5));
    QSignalSpy messages(&root, &TaskSpecification::message);
    root.start();
    drainEvents();
    drainEvents();
    drainEvents();
    EXPECT_EQ(root.getState(), TaskSpecification::Finished);
    EXPECT_EQ(done, (QStringList{"one", "two"}));
    EXPECT_EQ(messages.count(), 2) << "children's texts are passed up";

    TestComposite failing(1, nullptr, 1.0);
    failing.add(new TestFastOp("bad", false, nullptr, &failing, 0.5));
    auto* never = new TestFastOp("never", true, &done, &failing, 0.5);
    failing.add(never);
    QSignalSpy errors(&failing, &TaskSpecification::error);
    failing.start();
    drainEvents();
    drainEvents();
    EXPECT_EQ(failing.getState(), TaskSpecification::Failed);
    EXPECT_EQ(never->getState(), TaskSpecification::Idle);
    ASSERT_EQ(errors.count(), 1);
    EXPECT_EQ(errors[0][0].toString(), "cannot work on bad");
    EXPECT_EQ(done.size(), 2);
}

TEST(TaskEnding, ATaskEndsExactlyOnceAndOnlyWhileRunning)
{
    ManualTask task("t", nullptr, nullptr, 1.0);
    Ends ends(&task);
    EXPECT_FALSE(task.endWith(TaskSpecification::Finished)) << "an idle task cannot end";
    task.start();
    EXPECT_TRUE(task.endWith(TaskSpecification::Finished));
    EXPECT_FALSE(task.endWith(TaskSpecification::Failed));
    EXPECT_FALSE(task.endWith(TaskSpecification::Aborted));
    EXPECT_EQ(task.getState(), TaskSpecification::Finished);
    EXPECT_EQ(ends.finished.count(), 1);
    EXPECT_EQ(ends.canceled.count(), 0);
    task.reset();
    EXPECT_EQ(task.getState(), TaskSpecification::Idle);
    EXPECT_FALSE(task.endWith(TaskSpecification::Failed)) << "a late end after reset changes nothing";
    EXPECT_EQ(ends.total(), 1);
}

TEST(TaskEnding, SiblingNewsIsIgnoredByTasksThatDoNotRun)
{
    TaskLog log;
    TestComposite root(1, nullptr, 1.0);
    ManualTask* a = root.addManual("a", &log, 0.5);
    root.addManual("b", &log, 0.5);
    root.start();
    drainEvents();
    a->endWith(TaskSpecification::Failed);
    EXPECT_TRUE(log.othersCancelled.isEmpty()) << "b never started, a is the sender";
}

} // namespace

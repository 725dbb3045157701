// The scanner thread: start/stop hand-shake, periodic scans reaching the manager, and the switch.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "client_folders.h"
#include "fake_process.h"
#include "plugin_state.h"
#include "runwatch_manager.h"
#include "runwatcher_ops.h"
#include "runwatcher_thread.h"
#include "testsupport.h"

namespace {

// The scanner thread's waits allow 20 s, twice the usual deadline.
bool waitUntil(const std::function<bool()>& condition)
{
    return testsupport::waitUntil(condition, 20000);
}

class ScannerThread : public ::testing::Test {
protected:
    ClientFolders client;
    QTemporaryDir fake;

    void SetUp() override
    {
        client.writeSettings("[Runwatcher]\nEnabled=true\n");
        client.writeCatalogue("[Alpha]\nbinary_linux=alpha\n[Be#ta]\nbinary_linux=beta\n[Gamma]\nbinary_linux=gamma\n");
        client.host.setConnections({1});
        client.host.ownIds = {{1, 7}};
        QDir(fake.path()).mkpath("proc");
        QDir(fake.path()).mkpath("bin");
        for (const char* name : {"alpha", "beta", "gamma"}) {
            QFile file(fake.path() + "/bin/" + name);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        }
        runwatcher::registerPluginID("runwatcher-id");
    }
    void TearDown() override { runwatcher::shutdown(); }

    ScanOptions fakeOptions(int intervalMs = 5) const { return ScanOptions{fake.path() + "/proc", intervalMs}; }

    void startProcess(const QString& pid, const QString& binary) const
    {
        makeFakeProcess(fake.path() + "/proc", pid, fake.path() + "/bin/" + binary);
    }
    void endProcess(const QString& pid) const { QDir(fake.path() + "/proc/" + pid).removeRecursively(); }

    QStringList commands() const
    {
        QStringList result;
        for (const SentCommand& c : client.host.sent) {
            result << c.command;
        }
        return result;
    }
};

TEST_F(ScannerThread, StartsAndStopsRepeatedly)
{
    RunwatchManager manager(fakeOptions(1));
    ASSERT_TRUE(manager.loadApps());
    startProcess("10", "alpha");
    for (int i = 0; i < 200; ++i) {
        manager.startScanning();
        ASSERT_TRUE(manager.isScanning());
        if (i % 2 == 0) {
            manager.startScanning();  // already running: returns at once
        }
        if (i % 50 == 0) {
            QCoreApplication::processEvents();
        }
        manager.stopScanning();
        ASSERT_FALSE(manager.isScanning());
    }
    manager.stopScanning();  // stopping a stopped scanner does nothing
}

TEST_F(ScannerThread, StopLeavesAScanStuckInTheKernelBehind)
{
    // A status file that is a FIFO: the scan waits in the kernel for its data, as it would on a
    // process whose files do not answer. The scan reads the status of root's folders only, and
    // only root's test makes them.
    if (getuid() != 0) {
        GTEST_SKIP() << "needs process folders of root's";
    }
    startProcess("10", "alpha");
    QDir(fake.path() + "/proc").mkpath("40");
    ASSERT_TRUE(QFile::link(fake.path() + "/bin/beta", fake.path() + "/proc/40/exe"));
    const QByteArray fifo = QFile::encodeName(fake.path() + "/proc/40/status");
    ASSERT_EQ(mkfifo(fifo.constData(), 0600), 0);
    const int threadsBefore = RunwatcherThread::liveCount();
    int writer = -1;
    {
        ScanOptions options = fakeOptions(1);
        options.stopWaitMs = 50;
        RunwatchManager manager(options);
        ASSERT_TRUE(manager.loadApps());
        manager.startScanning();
        // Opening the writing end succeeds once the scan has opened the reading end; it then waits
        // in read() for as long as the writing end stays open and silent.
        ASSERT_TRUE(waitUntil([&] { return (writer = open(fifo.constData(), O_WRONLY | O_NONBLOCK)) >= 0; }));
        manager.stopScanning();
        EXPECT_FALSE(manager.isScanning());
        EXPECT_EQ(client.host.logLines().filter("did not stop within 50 ms").size(), 1) << client.host.logLines().join(QLatin1Char(10)).toStdString();
        EXPECT_EQ(RunwatcherThread::liveCount(), threadsBefore + 1);

        // Scanning again works through a new thread, which sees the other process.
        ASSERT_EQ(unlink(fifo.constData()), 0);
        manager.startScanning();
        EXPECT_TRUE(waitUntil([&] { return commands().contains("7&&Alpha"); }));
        manager.stopScanning();
        EXPECT_EQ(RunwatcherThread::liveCount(), threadsBefore + 1);
    }
    // The manager is gone when the stuck scan comes back: the thread ends and deletes itself.
    close(writer);
    EXPECT_TRUE(waitUntil([&] { return RunwatcherThread::liveCount() == threadsBefore; }));
}

TEST_F(ScannerThread, ScansReportChangesInAscendingIdOrder)
{
    RunwatchManager manager(fakeOptions());
    ASSERT_TRUE(manager.loadApps());
    startProcess("30", "gamma");
    startProcess("10", "alpha");
    startProcess("20", "beta");
    startProcess("21", "beta");
    manager.startScanning();
    ASSERT_TRUE(waitUntil([&] { return !client.host.sent.isEmpty(); }));
    EXPECT_EQ(commands(), QStringList{"7&&Alpha, Be\\#ta, Gamma"});

    // Opting an application out under a running scanner.
    int alphaId = -1;
    for (auto it = manager.applications().cbegin(); it != manager.applications().cend(); ++it) {
        if (it.value()->name == "Alpha") {
            alphaId = it.key();
        }
    }
    manager.setAppEnabled(alphaId, false);
    ASSERT_TRUE(waitUntil([&] { return client.host.sent.size() == 2; }));
    EXPECT_EQ(commands().last(), "7&&Be\\#ta, Gamma");

    // A scan may see the processes end one by one; each change goes out once.
    endProcess("20");
    endProcess("21");
    endProcess("30");
    ASSERT_TRUE(waitUntil([&] { return commands().last() == "7&&"; }));
    EXPECT_EQ(commands().removeDuplicates(), 0);
}

TEST_F(ScannerThread, SwitchingOffStopsTheScannerAndSendsTheEmptyListLast)
{
    ASSERT_EQ(runwatcher::init(), 0);  // broadcasting on and a catalogue: the scanner runs
    ASSERT_TRUE(runwatchManager->isScanning());
    runwatchManager->stopScanning();
    delete runwatchManager;
    runwatchManager = new RunwatchManager(fakeOptions(1));
    ASSERT_TRUE(runwatchManager->loadApps());
    startProcess("10", "alpha");
    runwatchManager->startScanning();
    ASSERT_TRUE(waitUntil([&] { return !client.host.sent.isEmpty(); }));

    runwatchManager->setEnabled(false);
    EXPECT_FALSE(runwatchManager->isScanning());
    EXPECT_EQ(commands().last(), "7&&");
    const int count = client.host.sent.size();
    // Results the scanner queued before it stopped are dropped.
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(client.host.sent.size(), count);

    runwatchManager->setEnabled(true);
    EXPECT_TRUE(runwatchManager->isScanning());
    ASSERT_TRUE(waitUntil([&] { return client.host.sent.size() == count + 1; }));
    EXPECT_EQ(commands().last(), "7&&Alpha");
}

TEST_F(ScannerThread, ReloadWorksThroughANewScanner)
{
    RunwatchManager manager(fakeOptions());
    ASSERT_TRUE(manager.loadApps());
    startProcess("10", "alpha");
    manager.startScanning();
    ASSERT_TRUE(waitUntil([&] { return !client.host.sent.isEmpty(); }));
    client.writeCatalogue("[Renamed Alpha]\nbinary_linux=alpha\n");
    manager.reload();
    EXPECT_TRUE(manager.isScanning());
    ASSERT_TRUE(waitUntil([&] { return commands().last() == "7&&Renamed Alpha"; }));
}

TEST_F(ScannerThread, RealProcessIsReportedWithinAScanAndNotAfterItEnds)
{
    // A game of the shipped catalogue that no other test starts.
    const QString program = fake.path() + "/bin/warzone2100";
    ASSERT_TRUE(QFile::copy("/bin/sleep", program));
    QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    client.useShippedCatalogue();
    RunwatchManager manager(ScanOptions{QStringLiteral("/proc"), 20});
    ASSERT_TRUE(manager.loadApps());
    manager.startScanning();

    QProcess process;
    process.start(program, {"60"});
    ASSERT_TRUE(process.waitForStarted(10000));
    // Other catalogued programs of the user may run as well.
    const auto lastListHasGame = [&] {
        return !commands().isEmpty() && commands().last().mid(3).split(", ").contains("Warzone 2100");
    };
    ASSERT_TRUE(waitUntil(lastListHasGame));
    EXPECT_TRUE(commands().last().startsWith("7&&"));

    process.kill();
    ASSERT_TRUE(process.waitForFinished(10000));
    ASSERT_TRUE(waitUntil([&] { return !lastListHasGame(); }));
}

}  // namespace

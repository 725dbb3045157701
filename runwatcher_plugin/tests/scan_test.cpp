// The process scan: a fake process table, companion files, and real processes under /proc.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <unistd.h>

#include "application_scan.h"
#include "application_scan_impl_linux.h"
#include "fake_process.h"

namespace {

class FakeProc : public ::testing::Test {
protected:
    QTemporaryDir root;
    QString proc() const { return root.path() + "/proc"; }
    QString bin() const { return root.path() + "/bin"; }

    void SetUp() override
    {
        QDir(root.path()).mkpath("proc");
        QDir(root.path()).mkpath("bin/real");
        QDir(root.path()).mkpath("elsewhere/104");
    }
    void makeFile(const QString& path) const
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    void makeProcess(const QString& name, const QString& target, uid_t uid = getuid()) const
    {
        ASSERT_TRUE(makeFakeProcess(proc(), name, target, uid));
    }
};

TEST_F(FakeProc, ReportsTheLinkTextsOfOwnProcessesWithoutLookingAtThem)
{
    makeFile(bin() + "/alpha");
    makeFile(bin() + "/delta");
    makeFile(bin() + "/epsilon");
    makeFile(bin() + "/zeta");
    makeFile(bin() + "/eta");

    makeProcess("100", bin() + "/alpha");
    makeProcess("107", bin() + "/alpha");              // a second process of the same executable
    // The kernel's text is the executable's path without links; it is taken as it stands, also
    // for a file that is gone (matching looks at the files of catalogued names only).
    makeProcess("101", bin() + "/missing");
    makeProcess("109", bin() + "/alpha (deleted)");
    QDir(proc()).mkpath("103");                        // no exe at all
    makeProcess("abc", bin() + "/epsilon");            // not a process folder
    makeFile(proc() + "/106");                         // a numeric file, not a folder
    ASSERT_TRUE(QFile::link(root.path() + "/elsewhere/104", proc() + "/104"));  // linked folder
    ASSERT_TRUE(QFile::link(bin() + "/delta", root.path() + "/elsewhere/104/exe"));
    ASSERT_TRUE(QFile::link(proc() + "/100", proc() + "/self"));
    makeProcess("108", "../../bin/eta");               // not a path the kernel writes
    // A folder of root's (as that of any process that is not dumpable): the real user id of the
    // status file decides. Only root's test makes such folders; the user's own are the user's.
    makeProcess("105", bin() + "/zeta", getuid() + 1);
    makeProcess("110", bin() + "/delta");
    const bool rootFolders = getuid() == 0;
    // Another user's folder is never the user's, whatever its status says; only root of the whole
    // machine (not of a user namespace) can make one.
    const bool otherUser = rootFolders && chown(QFile::encodeName(proc() + "/110").constData(), 65534, 65534) == 0;

    ApplicationScanImpl_Linux scanner(proc());
    QSet<QString> expected{bin() + "/alpha", bin() + "/missing", bin() + "/alpha (deleted)"};
    if (!rootFolders) {
        expected += {bin() + "/zeta", bin() + "/delta"};
    } else if (!otherUser) {
        expected += bin() + "/delta";
    }
    EXPECT_EQ(scanner.scan(), expected);

    ApplicationScan scan(proc());
    scan.registerApp(1, {"alpha"}, {});
    scan.registerApp(2, {"missing"}, {});
    scan.registerApp(3, {"zeta"}, {});
    EXPECT_EQ(scan.findRunningApps(), (rootFolders ? std::set<int>{1} : std::set<int>{1, 3}));
}

TEST_F(FakeProc, MissingProcessTableYieldsNothing)
{
    ApplicationScanImpl_Linux scanner(root.path() + "/nothing-here");
    EXPECT_TRUE(scanner.scan().isEmpty());
}

TEST_F(FakeProc, MatchesFileNamesAndRequiresCompanionFiles)
{
    QDir(bin()).mkpath("game/tf");
    QDir(bin()).mkpath("other");
    makeFile(bin() + "/game/hl2_linux");
    makeFile(bin() + "/other/hl2_linux");
    makeFile(bin() + "/other/Engine");

    ApplicationScan scan(proc());
    scan.registerApp(5, {"hl2_linux", "tf_linux64"}, {"tf"});            // folder beside the executable
    scan.registerApp(2, {"hl2_linux"}, {"left4dead2"});                  // companion missing everywhere
    scan.registerApp(9, {"Engine"}, {});                                 // name alone decides
    scan.registerApp(3, {"HL2_LINUX"}, {});                              // names compare case-sensitively
    scan.registerApp(7, {"hl2_linux"}, {"tf/../tf", "../game/tf"});      // relative paths with folders

    EXPECT_EQ(scan.matchExecutables({bin() + "/game/hl2_linux"}), (std::set<int>{5, 7}));
    EXPECT_TRUE(scan.matchExecutables({bin() + "/other/hl2_linux"}).empty());
    EXPECT_EQ(scan.matchExecutables({bin() + "/other/Engine", bin() + "/game/hl2_linux"}),
              (std::set<int>{5, 7, 9}));

    // Registering again replaces the entry.
    scan.registerApp(5, {"hl2_linux"}, {"tf", "tf/missing.vpk"});
    EXPECT_EQ(scan.matchExecutables({bin() + "/game/hl2_linux"}), (std::set<int>{7}));
}

TEST_F(FakeProc, FindRunningAppsWalksTheTableOnce)
{
    makeFile(bin() + "/alpha");
    makeProcess("10", bin() + "/alpha");
    makeProcess("11", bin() + "/alpha");
    ApplicationScan scan(proc());
    scan.registerApp(1, {"alpha"}, {});
    scan.registerApp(0, {"beta"}, {});
    EXPECT_EQ(scan.findRunningApps(), (std::set<int>{1}));
}

// A real process under a catalogued executable name, copied from a small system program.
class RealProcess : public ::testing::Test {
protected:
    QTemporaryDir root;

    QString installCopy(const QString& name, const QString& program = "/bin/sleep") const
    {
        const QString path = root.path() + "/" + name;
        if (!QFile::copy(program, path)) {
            return QString();
        }
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return path;
    }
};

TEST_F(RealProcess, RunningCopyIsReportedUntilItEnds)
{
    // A name of its own, so that no other test's process can be taken for it.
    const QString name = QStringLiteral("scan-probe-%1").arg(QCoreApplication::applicationPid());
    const QString program = installCopy(name);
    ASSERT_FALSE(program.isEmpty());
    ApplicationScan scan;
    scan.registerApp(17, {name}, {});
    scan.registerApp(18, {"not-running-anywhere"}, {});
    EXPECT_EQ(scan.findRunningApps().count(17), 0u);

    QProcess process;
    process.start(program, {"60"});
    ASSERT_TRUE(process.waitForStarted(10000));
    EXPECT_EQ(scan.findRunningApps(), (std::set<int>{17}));

    process.kill();
    ASSERT_TRUE(process.waitForFinished(10000));
    EXPECT_TRUE(scan.findRunningApps().empty());
}

TEST_F(RealProcess, DeletedExecutableIsIgnored)
{
    const QString name = QStringLiteral("deleted-probe-%1").arg(QCoreApplication::applicationPid());
    const QString program = installCopy(name);
    ASSERT_FALSE(program.isEmpty());
    ApplicationScan scan;
    scan.registerApp(1, {name}, {});
    QProcess process;
    process.start(program, {"60"});
    ASSERT_TRUE(process.waitForStarted(10000));
    ASSERT_EQ(scan.findRunningApps(), (std::set<int>{1}));
    ASSERT_TRUE(QFile::remove(program));
    EXPECT_TRUE(scan.findRunningApps().empty());
    process.kill();
    process.waitForFinished(10000);
}

// A process that is not dumpable hides its folder (root's) and its executable from its own user;
// it is the user's all the same. (Only a test run by another user than root shows the difference.)
TEST_F(RealProcess, ProcessThatIsNotDumpableIsReported)
{
    const QString name = QStringLiteral("nondumpable-probe-%1").arg(QCoreApplication::applicationPid());
    const QString program = installCopy(name, RUNWATCHER_NONDUMPABLE_PROBE);
    ASSERT_FALSE(program.isEmpty());
    ApplicationScan scan;
    scan.registerApp(4, {name}, {});
    QProcess process;
    process.start(program, QStringList());
    ASSERT_TRUE(process.waitForStarted(10000));
    ASSERT_TRUE(process.waitForReadyRead(10000));
    EXPECT_EQ(scan.findRunningApps(), (std::set<int>{4}));
    process.closeWriteChannel();
    ASSERT_TRUE(process.waitForFinished(10000));
}

}  // namespace

// The real `update` program, copied into a temporary installation: command-line forms, exit
// codes, the single-instance hand-over between two processes and the start-up clean-up.
#include "singleinstancechecker.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QProcess>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using testsupport::makeTempFolder;
using testsupport::waitUntil;
using testsupport::writeFile;

namespace {

const int processTimeoutMs = 60000;

class UpdateProgramTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        installation = makeTempFolder("client");
        program = installation + "/update";
        ASSERT_TRUE(QFile::copy(QStringLiteral(UPDATE_BINARY), program));
        QFile::setPermissions(program, QFile::permissions(program) | QFile::ExeOwner);
    }

    void TearDown() override
    {
        for (QProcess* process : started) {
            if (process->state() != QProcess::NotRunning) {
                process->kill();
                process->waitForFinished(processTimeoutMs);
            }
            delete process;
        }
    }

    QProcess* launch(const QStringList& args, const QString& locale = QString())
    {
        auto* process = new QProcess;
        started << process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        if (!tmpDir.isEmpty())
            env.insert("TMPDIR", tmpDir);
        if (!locale.isEmpty()) {
            env.insert("LC_ALL", locale);
            env.insert("LANG", locale);
        }
        env.insert("VXM_UPDATE_NO_DIALOGS", "1");
        env.insert("QT_QPA_PLATFORM", "offscreen");
        process->setProcessEnvironment(env);
        process->setWorkingDirectory(QDir::tempPath());
        process->start(program, args);
        return process;
    }

    // Runs to the end; returns the exit code (-1 when it did not end normally).
    int runToEnd(const QStringList& args, QByteArray* errors = nullptr, const QString& locale = QString())
    {
        QProcess* process = launch(args, locale);
        if (!process->waitForFinished(processTimeoutMs))
            return -1;
        if (errors)
            *errors = process->readAllStandardError();
        return process->exitStatus() == QProcess::NormalExit ? process->exitCode() : -1;
    }

    // The socket file of this installation's guard (the test and the program share TMPDIR).
    QString guardSocket() const
    {
        return (tmpDir.isEmpty() ? QDir::tempPath() : tmpDir) + "/" + instanceServerName(QFileInfo(program).absoluteFilePath(), QDir::homePath());
    }

    // Waits until `process` has written `text` to standard error.
    bool waitForErrorText(QProcess* process, const QByteArray& text, QByteArray& seen)
    {
        return waitUntil(
            [&] {
                seen += process->readAllStandardError();
                return seen.contains(text) || process->state() == QProcess::NotRunning;
            },
            processTimeoutMs) &&
               seen.contains(text);
    }

    QString installation;
    QString program;
    QString tmpDir; // TMPDIR of the programs when set (else the test's own)
    QList<QProcess*> started;
};

TEST_F(UpdateProgramTest, InvalidVersionsEndWithExitCodeOne)
{
    QByteArray errors;
    EXPECT_EQ(runToEnd({"client_linux_amd64", "3.6"}, &errors), 1);
    EXPECT_TRUE(errors.contains("Error: Invalid version nr (3.6)")) << errors.constData();

    EXPECT_EQ(runToEnd({"--nouser", "client_linux_amd64", "", "#", "news"}, &errors), 1);
    EXPECT_TRUE(errors.contains("Invalid version nr ()")) << errors.constData();
}

TEST_F(UpdateProgramTest, TextsComeFromTheCatalogueOfTheSystemLocale)
{
    ASSERT_TRUE(QDir(installation).mkdir("translations"));
    ASSERT_TRUE(QFile::copy(QStringLiteral(GERMAN_CATALOGUE), installation + "/translations/update_de.qm"));
    QByteArray errors;
    // The catalogue's name is found by shortening the locale name at '_'.
    EXPECT_EQ(runToEnd({"client_linux_amd64", "x"}, &errors, "de_DE.UTF-8"), 1);
    EXPECT_TRUE(errors.contains("Fehler: Ung\xc3\xbcltige Versionsnummer (x)")) << errors.constData();
    EXPECT_EQ(runToEnd({"client_linux_amd64", "x"}, &errors, "fr_FR.UTF-8"), 1);
    EXPECT_TRUE(errors.contains("Error: Invalid version nr (x)")) << errors.constData();
}

TEST_F(UpdateProgramTest, SecondUpdaterActivatesTheFirstAndLeavesItsBackupsAlone)
{
    // Leftovers of an earlier self-update: the first updater clears them at its start.
    ASSERT_TRUE(writeFile(installation + "/_old_update", "old"));
    ASSERT_TRUE(writeFile(installation + "/old/_old_libQt5Core.so.5", "old"));
    // The alpha channel's revision makes the run's version; the version argument is not read.
    ASSERT_TRUE(writeFile(installation + "/update.ini", "[Channel]\nalpha=http://127.0.0.1:1/alpha\nalphaRevno=42\n"));
    // The unattended run starts after 2000 ms; its mirror refuses every connection, so the run
    // fails and the window stays, offering a restart.
    ASSERT_TRUE(writeFile(installation + "/mirrors.ini", "[mirrors]\nsize=0\n"));

    QProcess* first = launch({"--nouser", "client_linux_amd64", "not-a-number", "#", ""});
    ASSERT_TRUE(first->waitForStarted(processTimeoutMs));
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(guardSocket()) || first->state() == QProcess::NotRunning; },
                          processTimeoutMs));
    ASSERT_EQ(first->state(), QProcess::Running) << first->readAllStandardError().constData();
    EXPECT_FALSE(QFile::exists(installation + "/_old_update"));
    EXPECT_FALSE(QFileInfo::exists(installation + "/old")) << "the emptied backup folder goes";

    // While it runs, its update keeps backups that a second start must not touch.
    ASSERT_TRUE(writeFile(installation + "/_old_update", "backup in use"));
    ASSERT_TRUE(writeFile(installation + "/old/_old_libQt5Core.so.5", "backup in use"));
    ASSERT_TRUE(writeFile(installation + "/libQtCore.so.4", "old library"));

    QByteArray secondErrors;
    EXPECT_EQ(runToEnd({"client_linux_amd64", "7"}, &secondErrors), 0) << secondErrors.constData();
    QByteArray firstErrors;
    EXPECT_TRUE(waitForErrorText(first, "raising the window", firstErrors)) << firstErrors.constData();
    EXPECT_EQ(first->state(), QProcess::Running);
    EXPECT_TRUE(QFile::exists(installation + "/_old_update"));
    EXPECT_TRUE(QFile::exists(installation + "/old/_old_libQt5Core.so.5"));
    EXPECT_TRUE(QFile::exists(installation + "/libQtCore.so.4"));

    // No argument form of the second start is parsed: even a bad version still hands over.
    EXPECT_EQ(runToEnd({"client_linux_amd64", "bad"}), 0);
}

TEST_F(UpdateProgramTest, TypeAndVersionZeroRunsWithoutAskingTheService)
{
    QProcess* first = launch({"client_linux_amd64", "0"});
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(guardSocket()) || first->state() == QProcess::NotRunning; },
                          processTimeoutMs));
    // Reaching the event loop shows that the form was accepted: the window answers the next start.
    EXPECT_EQ(runToEnd({}), 0);
    QByteArray errors;
    EXPECT_TRUE(waitForErrorText(first, "raising the window", errors)) << errors.constData();
}

TEST_F(UpdateProgramTest, TwoUpdatersStartedTogetherLeaveOneRunning)
{
    // Both find nobody listening yet; only one may go on, and the other hands over to it.
    QProcess* first = launch({"client_linux_amd64", "5"});
    QProcess* second = launch({"client_linux_amd64", "5"});
    ASSERT_TRUE(waitUntil([&] { return first->state() == QProcess::NotRunning || second->state() == QProcess::NotRunning; },
                          processTimeoutMs));
    QProcess* ended = first->state() == QProcess::NotRunning ? first : second;
    QProcess* running = ended == first ? second : first;
    EXPECT_EQ(ended->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(ended->exitCode(), 0) << ended->readAllStandardError().constData();
    EXPECT_EQ(running->state(), QProcess::Running);
    QByteArray errors;
    EXPECT_TRUE(waitForErrorText(running, "raising the window", errors)) << errors.constData();
}

TEST_F(UpdateProgramTest, UpdatersWithDifferentTemporaryFoldersNeverRunTogether)
{
    // Their guards cannot see each other; the installation's lock stops the second.
    tmpDir = makeTempFolder("first_tmp");
    QProcess* first = launch({"client_linux_amd64", "5"});
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(guardSocket()) || first->state() == QProcess::NotRunning; },
                          processTimeoutMs));
    ASSERT_EQ(first->state(), QProcess::Running);
    tmpDir = makeTempFolder("second_tmp");
    QByteArray errors;
    EXPECT_EQ(runToEnd({"client_linux_amd64", "5"}, &errors), 1);
    EXPECT_TRUE(errors.contains("Another updater is running for " + QFile::encodeName(installation)))
        << errors.constData();
    EXPECT_EQ(first->state(), QProcess::Running);
}

TEST_F(UpdateProgramTest, StaleGuardSocketFromACrashIsReplaced)
{
    QProcess* crashed = launch({"client_linux_amd64", "5"});
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(guardSocket()); }, processTimeoutMs));
    crashed->kill(); // no clean-up: the socket file stays
    ASSERT_TRUE(crashed->waitForFinished(processTimeoutMs));
    ASSERT_TRUE(QFile::exists(guardSocket()));

    QProcess* next = launch({"client_linux_amd64", "5"});
    // Wait until the new updater accepts connections under the same name.
    ASSERT_TRUE(waitUntil(
        [&] {
            QLocalSocket probe;
            probe.connectToServer(guardSocket());
            return probe.waitForConnected(1000) || next->state() == QProcess::NotRunning;
        },
        processTimeoutMs));
    ASSERT_EQ(next->state(), QProcess::Running);
    EXPECT_EQ(runToEnd({}), 0);
    QByteArray errors;
    EXPECT_TRUE(waitForErrorText(next, "raising the window", errors)) << errors.constData();
}

TEST_F(UpdateProgramTest, NameTakenByAnotherUserDoesNotStopTheUpdater)
{
    const QString setpriv = "/usr/bin/setpriv";
    const QString python = "/usr/bin/python3";
    // Root of a user namespace is not enough: the other user must exist there.
    if (!QFile::exists(setpriv) || !QFile::exists(python)
        || QProcess::execute(setpriv, {"--reuid=65534", "--regid=65534", "--clear-groups", "/bin/true"}) != 0)
        GTEST_SKIP() << "needs root, setpriv and python3 to act as another user";

    // A temporary folder shared with another user, as /tmp is.
    tmpDir = makeTempFolder("shared");
    ASSERT_EQ(::chmod(QFile::encodeName(tmpDir).constData(), 01777), 0);
    const QString isolationRoot = QFileInfo(QDir::tempPath()).absolutePath();
    ASSERT_EQ(::chmod(QFile::encodeName(isolationRoot).constData(), 0711), 0);

    QProcess squatter;
    squatter.start(setpriv, {"--reuid=65534", "--regid=65534", "--clear-groups", python, "-c",
                             "import socket, sys\n"
                             "s = socket.socket(socket.AF_UNIX)\n"
                             "s.bind(sys.argv[1])\n"
                             "s.listen(8)\n"
                             "print('ready', flush=True)\n"
                             "sys.stdin.read()\n",
                             guardSocket()});
    ASSERT_TRUE(waitUntil([&] { return squatter.canReadLine() || squatter.state() == QProcess::NotRunning; },
                          processTimeoutMs));
    ASSERT_EQ(squatter.readLine().trimmed(), "ready") << squatter.readAllStandardError().constData();

    // Handing over to the other user's server would end with 0; the updater must go on instead
    // (and here stop at its bad version).
    QByteArray errors;
    EXPECT_EQ(runToEnd({"client_linux_amd64", "x"}, &errors), 1) << errors.constData();
    EXPECT_TRUE(errors.contains("Invalid version nr (x)")) << errors.constData();

    squatter.closeWriteChannel();
    if (!squatter.waitForFinished(processTimeoutMs))
        squatter.kill();
    ::chmod(QFile::encodeName(isolationRoot).constData(), 0700);
}

} // namespace

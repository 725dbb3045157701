// The single-instance guard in one process: naming, texts, stale socket files, permissions.
#include "singleinstancechecker.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using testsupport::waitUntil;

namespace {

QString socketPath()
{
    return QDir::tempPath() + "/" + instanceServerName();
}

TEST(InstanceServerName, SameForPathsThatDifferInCaseButNotForOtherHomes)
{
    const QString a = instanceServerName("/opt/Voxmere/update", "/home/ann");
    EXPECT_TRUE(QRegularExpression("^VXMClientUpdate[0-9a-f]{1,4}$").match(a).hasMatch()) << a.toStdString();
    EXPECT_EQ(a, instanceServerName("/OPT/voxmere/UPDATE", "/home/ann"));
    EXPECT_NE(a, instanceServerName("/opt/Voxmere/update", "/home/Ann")) << "the home folder keeps its case";
    EXPECT_NE(a, instanceServerName("/opt/Voxmere2/update", "/home/ann"));
    // Separators do not count: only the remaining characters make the name.
    EXPECT_EQ(instanceServerName("/a/b:c", "/d"), instanceServerName("ab", "c/d:"));
}

class SingleInstanceTest : public ::testing::Test
{
protected:
    void TearDown() override { QLocalServer::removeServer(instanceServerName()); }
};

TEST_F(SingleInstanceTest, ARunningCheckerTakesTheTextOfTheNextUpdater)
{
    EXPECT_FALSE(notifyRunningInstance("#")) << "nobody runs yet";
    SingleInstanceChecker checker(nullptr);
    ASSERT_TRUE(checker.isListening());
    QSignalSpy activated(&checker, &SingleInstanceChecker::otherInstanceActivate);
    EXPECT_TRUE(notifyRunningInstance("#"));
    ASSERT_TRUE(waitUntil([&] { return activated.count() == 1; }));
    EXPECT_EQ(activated[0][0].toString(), "#");

    // Only this user may connect.
    struct stat info;
    ASSERT_EQ(::stat(QFile::encodeName(socketPath()).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 077, 0u);
}

TEST_F(SingleInstanceTest, TextIsCutAtNulAndSilentConnectionsAreReplaced)
{
    SingleInstanceChecker checker(nullptr);
    QSignalSpy activated(&checker, &SingleInstanceChecker::otherInstanceActivate);

    QLocalSocket silent;
    silent.connectToServer(instanceServerName());
    ASSERT_TRUE(silent.waitForConnected(5000));

    QLocalSocket talker;
    talker.connectToServer(instanceServerName());
    ASSERT_TRUE(talker.waitForConnected(5000));
    talker.write(QByteArray("ab\0cd", 5));
    ASSERT_TRUE(talker.waitForBytesWritten(5000));
    ASSERT_TRUE(waitUntil([&] { return activated.count() == 1; }));
    EXPECT_EQ(activated[0][0].toString(), "ab");

    // The first connection was dropped for the second: a late text of it goes nowhere.
    silent.write("late");
    silent.waitForBytesWritten(5000);
    EXPECT_TRUE(waitUntil([&] { return silent.state() == QLocalSocket::UnconnectedState; }, 5000));
    EXPECT_EQ(activated.count(), 1);
}

TEST_F(SingleInstanceTest, SocketFileOfACrashedUpdaterDoesNotDisableTheGuard)
{
    // A bound socket whose process is gone: the file stays, nobody accepts.
    const QByteArray path = QFile::encodeName(socketPath());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(static_cast<size_t>(path.size()), sizeof(address.sun_path));
    memcpy(address.sun_path, path.constData(), static_cast<size_t>(path.size()));
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ::close(fd);
    ASSERT_TRUE(QFile::exists(socketPath()));
    EXPECT_FALSE(notifyRunningInstance("#"));

    SingleInstanceChecker checker(nullptr);
    EXPECT_TRUE(checker.isListening());
    QSignalSpy activated(&checker, &SingleInstanceChecker::otherInstanceActivate);
    EXPECT_TRUE(notifyRunningInstance("#"));
    EXPECT_TRUE(waitUntil([&] { return activated.count() == 1; }));
}

TEST_F(SingleInstanceTest, ALiveServerIsNotTakenOver)
{
    SingleInstanceChecker first(nullptr);
    ASSERT_TRUE(first.isListening());
    SingleInstanceChecker second(nullptr);
    EXPECT_FALSE(second.isListening());
    QSignalSpy firstActivated(&first, &SingleInstanceChecker::otherInstanceActivate);
    EXPECT_TRUE(notifyRunningInstance("#"));
    EXPECT_TRUE(waitUntil([&] { return firstActivated.count() == 1; }));
}

} // namespace

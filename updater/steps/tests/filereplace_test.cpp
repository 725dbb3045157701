// The replacement step on a temporary installation: backups, permissions, the delete list, and
// that every failure, cancel or reset leaves the installation exactly as it was.
#include "runsettings.h"
#include "fileopfaults.h"
#include "fileoptestutil.h"
#include "programfolder.h"
#include "filereplacetasks.h"
#include "testsupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QSignalSpy>

#include <gtest/gtest.h>
#include <sys/stat.h>

using fileoptest::contentOf;
using fileoptest::texts;
using fileoptest::writeGzip;
using testsupport::makeTempFolder;
using testsupport::waitUntil;
using testsupport::writeFile;

namespace {

QByteArray md5(const QByteArray& data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
}

bool writeFileWithMode(const QString& path, const QByteArray& data, mode_t mode)
{
    return writeFile(path, data) && ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

mode_t modeOf(const QString& path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// The installation without old/, or with `old` set only what is inside old/.
QMap<QString, QString> snapshot(const QString& root, bool old = false)
{
    return testsupport::treeSnapshot(root, [old](const QString& relative) {
        return relative != "old" && relative.startsWith("old/") == old;
    });
}

ReplaceEntry entry(const QString& path, const QString& installPath = QString(), const QByteArray& unpacked = "")
{
    ReplaceEntry e;
    e.group = "files";
    e.path = path;
    e.installPath = installPath;
    if (!installPath.isEmpty()) {
        e.unpackedMd5 = md5(unpacked);
        e.unpackedSize = quint64(unpacked.size());
    }
    return e;
}

class ReplaceStep : public ::testing::Test
{
protected:
    void SetUp() override
    {
        fileopfaults::clear();
        base = makeTempFolder("replace");
        root = base + "/install";
        config.tempDir = base + "/temp";
        setProgramFolderForTesting(root);
    }
    void TearDown() override
    {
        fileopfaults::clear();
        setProgramFolderForTesting(QString());
    }

    // An installation with a release in the temporary folder that changes it in every way the
    // step knows: copies, unpacks, new folders, an old backup in the way, the updater itself.
    void makeInstallation()
    {
        QDir(base).removeRecursively();
        QDir().mkpath(root);
        QDir().mkpath(config.tempDir);
        const QString t = config.tempDir;
        writeFileWithMode(root + "/vxmclient_linux_amd64", "client v1", 0750);
        writeFileWithMode(root + "/translations/update_de.qm", "qm v1", 0640);
        writeFileWithMode(root + "/old/_old_update_de.qm", "a backup of an earlier update", 0644);
        writeFileWithMode(root + "/update", "updater v1", 0755);
        writeFileWithMode(root + "/plugins/libhelper.so.5.1", "helper v1", 06750);
        writeFileWithMode(root + "/readme.txt", "stays", 0600);
        QFile::link("vxmclient_linux_amd64", root + "/current");

        writeFileWithMode(t + "/vxmclient_linux_amd64", "client v2", 0644);
        writeGzip(t + "/translations/update_de.qm.gz", "qm v2");
        writeFileWithMode(t + "/newdir/sub/new.txt", "new file", 0644);
        writeGzip(t + "/plugins/libnew.so.gz", "lib v2");
        writeFileWithMode(t + "/update", "updater v2", 0644);
        writeFileWithMode(t + "/plugins/libhelper.so.5.1", "helper v2", 0644);
        list = {entry("vxmclient_linux_amd64"),
                entry("translations/update_de.qm.gz", "translations/update_de.qm", "qm v2"),
                entry("newdir/sub/new.txt"),
                entry("plugins/libnew.so.gz", "plugins/libnew.so", "lib v2"),
                entry("update"),
                entry("plugins/libhelper.so.5.1")};
        deleteList.clear();
    }

    TaskSpecification::TaskState run(FileReplaceListTaskSpecification& step)
    {
        step.start();
        EXPECT_TRUE(waitUntil([&] { return step.hasEnded(); }));
        return step.getState();
    }

    // The installation is as before, and old/ holds nothing that was not there before.
    void expectRestored(const QMap<QString, QString>& before, const QMap<QString, QString>& oldBefore)
    {
        EXPECT_EQ(snapshot(root), before);
        const QMap<QString, QString> oldNow = snapshot(root, true);
        for (auto it = oldNow.begin(); it != oldNow.end(); ++it)
            EXPECT_EQ(oldBefore.value(it.key()), it.value()) << "new in old/: " << it.key().toStdString();
    }

    QString base;
    QString root;
    RunSettings config;
    QList<ReplaceEntry> list;
    QStringList deleteList;
};

TEST_F(ReplaceStep, InstallsTheReleaseWithBackupsAndPermissions)
{
    makeInstallation();
    FileReplaceListTaskSpecification step(list, deleteList, &config, nullptr, 0.4);
    QSignalSpy messages(&step, &TaskSpecification::message);
    EXPECT_EQ(run(step), TaskSpecification::Finished);
    EXPECT_DOUBLE_EQ(step.getWeightedProgress(), 0.4);
    ASSERT_FALSE(messages.isEmpty());
    EXPECT_EQ(messages[0][0].toString(), "Starting file updates");
    EXPECT_TRUE(texts(messages).contains("add/replace translations/update_de.qm.gz"));
    EXPECT_FALSE(texts(messages).contains("rolling back file updates"));

    EXPECT_EQ(contentOf(root + "/vxmclient_linux_amd64"), "client v2");
    EXPECT_EQ(contentOf(root + "/translations/update_de.qm"), "qm v2");
    EXPECT_EQ(contentOf(root + "/newdir/sub/new.txt"), "new file");
    EXPECT_EQ(contentOf(root + "/plugins/libnew.so"), "lib v2");
    EXPECT_EQ(contentOf(root + "/update"), "updater v2");
    EXPECT_EQ(contentOf(root + "/plugins/libhelper.so.5.1"), "helper v2");
    EXPECT_EQ(contentOf(root + "/readme.txt"), "stays");

    // A replaced file keeps its permissions without set-id bits; new programs and libraries can
    // be run by everyone but written only by the owner.
    EXPECT_EQ(modeOf(root + "/vxmclient_linux_amd64"), mode_t(0750));
    EXPECT_EQ(modeOf(root + "/update"), mode_t(0755));
    EXPECT_EQ(modeOf(root + "/translations/update_de.qm"), mode_t(0640));
    EXPECT_EQ(modeOf(root + "/plugins/libnew.so"), mode_t(0755));
    EXPECT_EQ(modeOf(root + "/plugins/libhelper.so.5.1"), mode_t(0750)) << "set-id bits dropped";
    EXPECT_EQ(modeOf(root + "/newdir/sub/new.txt"), mode_t(0644));

    EXPECT_EQ(contentOf(root + "/old/_old_vxmclient_linux_amd64"), "client v1");
    // The earlier backup may be the only copy of an original: it stays until the update is done.
    EXPECT_EQ(contentOf(root + "/old/_old_update_de.qm"), "a backup of an earlier update");
    EXPECT_EQ(contentOf(root + "/old/_old_2_update_de.qm"), "qm v1");
    EXPECT_EQ(contentOf(root + "/old/_old_update"), "updater v1");
    QStringList sorted = deleteList;
    sorted.sort();
    EXPECT_EQ(sorted, (QStringList{"old/_old_2_update_de.qm", "old/_old_libhelper.so.5.1", "old/_old_update_de.qm",
                                   "old/_old_vxmclient_linux_amd64"}))
        << "the updater's own backup stays for its next start";
    // The committed journal stays until the update has finished.
    EXPECT_TRUE(QFileInfo::exists(ReplaceJournal::pathIn(root)));
    step.removeJournal();
    EXPECT_FALSE(QFileInfo::exists(ReplaceJournal::pathIn(root)));
}

TEST_F(ReplaceStep, EveryFailingFileOperationLeavesTheInstallationAsItWas)
{
    makeInstallation();
    fileopfaults::failOperation(0);
    {
        FileReplaceListTaskSpecification step(list, deleteList, &config, nullptr, 0.4);
        ASSERT_EQ(run(step), TaskSpecification::Finished);
    }
    const int operations = fileopfaults::operations().size();
    ASSERT_GE(operations, 12);

    for (int k = 1; k <= operations; ++k) {
        SCOPED_TRACE("failing operation " + std::to_string(k));
        makeInstallation();
        const QMap<QString, QString> before = snapshot(root);
        const QMap<QString, QString> oldBefore = snapshot(root, true);
        fileopfaults::failOperation(k);
        FileReplaceListTaskSpecification step(list, deleteList, &config, nullptr, 0.4);
        QSignalSpy messages(&step, &TaskSpecification::message);
        EXPECT_EQ(run(step), TaskSpecification::Failed);
        SCOPED_TRACE(fileopfaults::operations().value(k - 1).toStdString());
        expectRestored(before, oldBefore);
        // Before the plan is written nothing has changed, so there is nothing to roll back.
        const bool planWritten = !fileopfaults::operations().value(k - 1).startsWith("journal");
        EXPECT_EQ(texts(messages).contains("rolling back file updates"), planWritten);
        EXPECT_TRUE(texts(messages).filter("warning: rollback").isEmpty()) << texts(messages).join('\n').toStdString();
        EXPECT_FALSE(QFileInfo::exists(ReplaceJournal::pathIn(root)));
    }
}

TEST_F(ReplaceStep, AWrongUnpackedChecksumUndoesTheWholeStep)
{
    makeInstallation();
    list[1].unpackedMd5 = md5("something else");
    const QMap<QString, QString> before = snapshot(root);
    const QMap<QString, QString> oldBefore = snapshot(root, true);
    FileReplaceListTaskSpecification step(list, deleteList, &config, nullptr, 0.4);
    QSignalSpy messages(&step, &TaskSpecification::message);
    EXPECT_EQ(run(step), TaskSpecification::Failed);
    EXPECT_TRUE(texts(messages).contains("Signature check failed for " + root + "/translations/.update_de.qm.vxmnew"));
    expectRestored(before, oldBefore);
}

TEST_F(ReplaceStep, RunAsRootOnAUsersInstallationEverythingItMakesStaysTheUsers)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root";
    makeInstallation();
    QDir(root).removeRecursively();
    QDir().mkpath(root);
    writeFileWithMode(root + "/vxmclient_linux_amd64", "client v1", 0750);
    ASSERT_EQ(QProcess::execute("chown", {"-R", "65534:65534", root}), 0);
    FileReplaceListTaskSpecification step(list, deleteList, &config, nullptr, 0.4);
    ASSERT_EQ(run(step), TaskSpecification::Finished);
    for (const char* made : {"/vxmclient_linux_amd64", "/newdir", "/newdir/sub/new.txt", "/plugins/libnew.so", "/old",
                             "/old/replace.journal"}) {
        struct stat st;
        ASSERT_EQ(::lstat(QFile::encodeName(root + made).constData(), &st), 0) << made;
        EXPECT_EQ(st.st_uid, 65534u) << made;
        EXPECT_EQ(st.st_gid, 65534u) << made;
    }
}

TEST_F(ReplaceStep, AFileThatBecomesAFolderAndAFolderThatBecomesAFileInstallAndUndoWhole)
{
    QDir().mkpath(root);
    writeFileWithMode(root + "/docs", "docs as a file", 0644);
    writeFileWithMode(root + "/help/a.txt", "a", 0644);
    writeFileWithMode(root + "/help/sub/b.txt", "b", 0600);
    writeFileWithMode(config.tempDir + "/docs/readme.txt", "readme", 0644);
    writeFileWithMode(config.tempDir + "/help", "help as a file", 0644);
    list = {entry("docs/readme.txt"), entry("help")};
    const QMap<QString, QString> before = snapshot(root);
    {
        // The last rename fails: both changes are undone whole.
        fileopfaults::failMatching("rename", root + "/help");
        FileReplaceListTaskSpecification step(list, deleteList, &config, nullptr, 0.4);
        QSignalSpy messages(&step, &TaskSpecification::message);
        EXPECT_EQ(run(step), TaskSpecification::Failed);
        EXPECT_FALSE(texts(messages).join('\n').contains("warning")) << texts(messages).join('\n').toStdString();
        expectRestored(before, {});
        EXPECT_FALSE(QFileInfo::exists(ReplaceJournal::pathIn(root)));
    }
    fileopfaults::clear();
    FileReplaceListTaskSpecification step(list, deleteList, &config, nullptr, 0.4);
    QSignalSpy messages(&step, &TaskSpecification::message);
    EXPECT_EQ(run(step), TaskSpecification::Finished) << texts(messages).join('\n').toStdString();
    EXPECT_EQ(contentOf(root + "/docs/readme.txt"), "readme");
    EXPECT_EQ(contentOf(root + "/help"), "help as a file");
    EXPECT_FALSE(QFileInfo::exists(root + "/old/_old_docs"));
    EXPECT_FALSE(QFileInfo::exists(root + "/old/_old_help"));
}

TEST_F(ReplaceStep, TheSecondOfTwoParallelFilesFailsAfterTheFirstSucceeded)
{
    QDir().mkpath(root);
    writeFileWithMode(root + "/a.txt", "a v1", 0644);
    writeFileWithMode(root + "/b.txt", "b v1", 0644);
    writeFileWithMode(config.tempDir + "/a.txt", "a v2", 0644);
    writeFileWithMode(config.tempDir + "/b.txt", "b v2", 0644);
    list = {entry("a.txt"), entry("b.txt")};
    const QMap<QString, QString> before = snapshot(root);

    fileopfaults::holdNext("copy", "b.txt");
    fileopfaults::failMatching("copy", "b.txt");
    FileReplaceListTaskSpecification step(list, deleteList, &config, nullptr, 0.4);
    step.start();
    ASSERT_TRUE(waitUntil([&] {
        return fileopfaults::isHolding() && step.getAllTasks().size() == 2
               && step.getAllTasks()[0]->getState() == TaskSpecification::Finished;
    }));
    // Staged, not yet in place: no name changes before every file is staged and synced.
    EXPECT_EQ(contentOf(root + "/.a.txt.vxmnew"), "a v2");
    EXPECT_EQ(contentOf(root + "/a.txt"), "a v1");
    fileopfaults::release();
    ASSERT_TRUE(waitUntil([&] { return step.hasEnded(); }));
    EXPECT_EQ(step.getState(), TaskSpecification::Failed);
    expectRestored(before, {});
    EXPECT_EQ(contentOf(root + "/a.txt"), "a v1");
}

TEST_F(ReplaceStep, CancelWhileACopyRunsAbortsAndRestores)
{
    makeInstallation();
    const QMap<QString, QString> before = snapshot(root);
    const QMap<QString, QString> oldBefore = snapshot(root, true);
    fileopfaults::holdNext("copy", "update");
    FileReplaceListTaskSpecification step(list, deleteList, &config, nullptr, 0.4);
    QSignalSpy messages(&step, &TaskSpecification::message);
    step.start();
    ASSERT_TRUE(waitUntil([] { return fileopfaults::isHolding(); }));
    step.cancel();
    fileopfaults::release();
    ASSERT_TRUE(waitUntil([&] { return step.hasEnded(); }));
    EXPECT_EQ(step.getState(), TaskSpecification::Aborted);
    EXPECT_TRUE(texts(messages).contains("rolling back file updates"));
    expectRestored(before, oldBefore);
}

TEST_F(ReplaceStep, ResetWhileFilesAreReplacedUndoesThemAndTheStepCanRunAgain)
{
    makeInstallation();
    const QMap<QString, QString> before = snapshot(root);
    const QMap<QString, QString> oldBefore = snapshot(root, true);
    fileopfaults::holdNext("unzip", "libnew.so");
    FileReplaceListTaskSpecification step(list, deleteList, &config, nullptr, 0.4);
    step.start();
    ASSERT_TRUE(waitUntil([] { return fileopfaults::isHolding(); }));
    // The held unpack completes while the reset waits for it; the file it wrote is undone too.
    fileopfaults::release();
    step.reset();
    EXPECT_EQ(step.getState(), TaskSpecification::Idle);
    expectRestored(before, oldBefore);

    deleteList.clear();
    QSignalSpy messages(&step, &TaskSpecification::message);
    EXPECT_EQ(run(step), TaskSpecification::Finished) << texts(messages).join('\n').toStdString();
    EXPECT_EQ(contentOf(root + "/plugins/libnew.so"), "lib v2");
}

TEST_F(ReplaceStep, CollidingOrUnsafePathsStopTheStepBeforeAnythingChanges)
{
    QDir().mkpath(root);
    writeFileWithMode(root + "/one/lib.so", "one v1", 0644);
    writeFileWithMode(root + "/two/lib.so", "two v1", 0644);
    writeFileWithMode(config.tempDir + "/one/lib.so", "one v2", 0644);
    writeFileWithMode(config.tempDir + "/two/lib.so", "two v2", 0644);
    // A folder linked to a place outside: the deletion refuses it, and so does the replacement.
    QDir().mkpath(root + "-outside");
    ASSERT_TRUE(QFile::link(root + "-outside", root + "/linked"));
    writeFileWithMode(config.tempDir + "/linked/sub/lib.so", "linked v2", 0644);
    QMap<QString, QString> before = snapshot(root);

    const QList<QList<ReplaceEntry>> refused = {
        {entry("one/lib.so"), entry("x.gz", "one/lib.so", "one v2")},     // one target for both
        {entry("../outside.txt")},
        {entry("x.gz", "/etc/outside", "x")},
        {entry("one/lib.so"), entry("linked/sub/lib.so")}};
    for (const QList<ReplaceEntry>& entries : refused) {
        list = entries;
        FileReplaceListTaskSpecification step(list, deleteList, &config, nullptr, 0.4);
        QSignalSpy messages(&step, &TaskSpecification::message);
        EXPECT_EQ(run(step), TaskSpecification::Failed);
        EXPECT_EQ(texts(messages).filter("Refusing").size(), 1);
        EXPECT_EQ(snapshot(root), before);
        EXPECT_FALSE(QFileInfo::exists(root + "/old"));
        EXPECT_TRUE(QDir(root + "-outside").isEmpty());
    }
    ASSERT_TRUE(QFile::remove(root + "/linked"));
    before = snapshot(root);

    // A file at old, or a folder at the journal's name, is named with what to do.
    list = {entry("one/lib.so")};
    for (const QString& inTheWay : {root + "/old", root + "/old/replace.journal"}) {
        ASSERT_TRUE(inTheWay.endsWith("/old") ? writeFile(inTheWay, "a file") : QDir().mkpath(inTheWay));
        FileReplaceListTaskSpecification step(list, deleteList, &config, nullptr, 0.4);
        QSignalSpy messages(&step, &TaskSpecification::message);
        EXPECT_EQ(run(step), TaskSpecification::Failed);
        EXPECT_TRUE(texts(messages).contains(
            QString("'%1' is in the way of the rollback journal; move it elsewhere and start the update again").arg(inTheWay)))
            << texts(messages).join('\n').toStdString();
        EXPECT_EQ(snapshot(root), before);
        ASSERT_TRUE(QFile::remove(root + "/old") || QDir(root + "/old").removeRecursively());
    }

    // One file name in two folders: the backups get distinct names, both are replaced, and a
    // failure after both restores both.
    list = {entry("one/lib.so"), entry("two/lib.so")};
    fileopfaults::failMatching("copy", "two/.lib.so");
    {
        FileReplaceListTaskSpecification step(list, deleteList, &config, nullptr, 0.4);
        EXPECT_EQ(run(step), TaskSpecification::Failed);
        EXPECT_EQ(snapshot(root), before);
    }
    fileopfaults::clear();
    FileReplaceListTaskSpecification step(list, deleteList, &config, nullptr, 0.4);
    EXPECT_EQ(run(step), TaskSpecification::Finished);
    EXPECT_EQ(contentOf(root + "/old/_old_lib.so"), "one v1");
    EXPECT_EQ(contentOf(root + "/old/_old_2_lib.so"), "two v1");
    EXPECT_EQ(contentOf(root + "/two/lib.so"), "two v2");
}

TEST_F(ReplaceStep, OnlyProgramsAndLibrariesAreMadeRunnable)
{
    const QMap<QString, bool> expected = {{"libQt5Gui.so.5", true},     {"libqgif.so", true},
                                          {"libold.so.4", true},        {"vxmclient_runscript.sh", true},
                                          {"addon_setup", true},        {"libQt5Gui.so.5.15", false},
                                          {"Update", false},            {"notes.SO", false},
                                          {"vxmclient_linux_x86.txt", false}};
    for (auto it = expected.begin(); it != expected.end(); ++it)
        EXPECT_EQ(FileReplaceTaskSpecification::isRunnable(it.key()), it.value()) << it.key().toStdString();
}

TEST_F(ReplaceStep, AnEmptyListFinishesAtOnce)
{
    QDir().mkpath(root);
    list.clear();
    FileReplaceListTaskSpecification step(list, deleteList, &config, nullptr, 0.4);
    QSignalSpy messages(&step, &TaskSpecification::message);
    EXPECT_EQ(run(step), TaskSpecification::Finished);
    EXPECT_EQ(texts(messages), QStringList{"Starting file updates"});
    EXPECT_TRUE(deleteList.isEmpty());
}

} // namespace

// The replacement plan and its undo: the names the plan picks, the undo from every point a crash
// can leave, failed undo steps, no-replace renames, and what the journal on disk is taken for.
#include "fileoptestutil.h"
#include "replacejournal.h"
#include "rollback.h"
#include "updatelists.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <gtest/gtest.h>

#include <cerrno>

#include <sys/stat.h>
#include <unistd.h>

using fileoptest::contentOf;
using testsupport::makeTempFolder;
using testsupport::writeFile;

namespace {

ReplaceEntry entry(const QString& path, const QString& installPath = QString())
{
    ReplaceEntry e;
    e.path = path;
    e.installPath = installPath;
    return e;
}

// "D <folder>", "N <file> <staged>" or "P <file> <staged> <backup> <earlier backup or ->".
QStringList describe(const RollbackJournal& plan)
{
    QStringList lines;
    for (const RollbackData& c : plan) {
        if (c.type == CreatedDir) {
            lines << "D " + c.path;
        } else if (c.type == CreatedFile) {
            lines << "N " + c.path + " " + c.stagedPath;
        } else if (c.type == FolderForFile) {
            lines << "O " + c.path + " " + c.backupPath;
        } else if (c.type == FileForFolder) {
            lines << "F " + c.path + " " + c.stagedPath + " " + c.backupPath;
        } else {
            lines << "P " + c.path + " " + c.stagedPath + " " + c.backupPath + " "
                         + (c.earlierBackup.isEmpty() ? "-" : c.earlierBackup);
        }
    }
    return lines;
}

TEST(ReplacePlan, KeepsEveryNameItWritesFreeAndRefusesCollisions)
{
    struct Row
    {
        const char* what;
        QList<ReplaceEntry> entries;
        QSet<QString> present;
        QStringList plan; // or the refusal
    };
    const Row rows[] = {
        {"new file in new folders, outer level first", {entry("a/b/f.txt")}, {}, {"D a", "D a/b", "N a/b/f.txt a/b/.f.txt.vxmnew"}},
        {"installed file kept at its backup name", {entry("x.gz", "lib/x.so")}, {"lib", "lib/x.so"},
         {"P lib/x.so lib/.x.so.vxmnew old/_old_x.so -"}},
        {"an earlier backup is stepped round and named", {entry("x")}, {"x", "old/_old_x"},
         {"P x .x.vxmnew old/_old_2_x old/_old_x"}},
        {"one file name in two folders", {entry("one/lib.so"), entry("two/lib.so")}, {"one", "two", "one/lib.so", "two/lib.so"},
         {"P one/lib.so one/.lib.so.vxmnew old/_old_lib.so -", "P two/lib.so two/.lib.so.vxmnew old/_old_2_lib.so -"}},
        {"one target twice", {entry("a"), entry("b.gz", "a")}, {},
         {"Refusing to replace files: 'a' and 'b.gz' would both use 'a'"}},
        {"a target at another's staged name", {entry("a"), entry(".a.vxmnew")}, {},
         {"Refusing to replace files: 'a' and '.a.vxmnew' would both use '.a.vxmnew'"}},
        {"outside the installation", {entry("../a")}, {}, {"Refusing to replace '../a': not a path inside the installation"}},
        {"an absolute install path", {entry("a.gz", "/etc/a")}, {},
         {"Refusing to replace '/etc/a': not a path inside the installation"}},
        {"a staged name someone else's file holds is stepped round", {entry("a"), entry("b")}, {".a.vxmnew", ".a.2.vxmnew", ".b.vxmnew"},
         {"N a .a.3.vxmnew", "N b .b.2.vxmnew"}},
        {"the rollback journal", {entry("j", "old/replace.journal")}, {"old"},
         {"Refusing to replace 'old/replace.journal': the updater keeps its own files there"}},
        {"a name too long for its staged name", {entry("d/" + QString(248, 'n'))}, {},
         {"Refusing to replace 'd/" + QString(248, 'n') + "': the name is too long for its staged or backup name"}},
        {"the longest name that is staged", {entry(QString(247, 'n'))}, {},
         {"N " + QString(247, 'n') + " ." + QString(247, 'n') + ".vxmnew"}},
        // "docs/" is a folder in the installation, "docs" a file.
        {"a file that becomes a folder is kept, and the folder made", {entry("docs/a/readme.txt")}, {"docs"},
         {"O docs old/_old_docs", "D docs/a", "N docs/a/readme.txt docs/a/.readme.txt.vxmnew"}},
        {"a folder that becomes a file is kept whole", {entry("docs")}, {"docs/", "old/_old_docs"},
         {"F docs .docs.vxmnew old/_old_2_docs"}},
        {"one entry a file, another's folder", {entry("docs"), entry("docs/x")}, {},
         {"Refusing to replace files: 'docs' would be a file and a folder of 'docs/x'"}},
    };
    for (const Row& row : rows) {
        QString refusal;
        const PlannedReplacement plan =
            planReplacement(row.entries,
                            [&row](const QString& path) {
                                if (row.present.contains(path + "/"))
                                    return PathKind::Folder;
                                for (const QString& p : row.present) {
                                    if (p.startsWith(path + "/"))
                                        return PathKind::Folder;
                                }
                                return row.present.contains(path) ? PathKind::File : PathKind::Absent;
                            },
                            &refusal);
        EXPECT_EQ(refusal.isEmpty() ? describe(plan.all()) : QStringList{refusal}, row.plan) << row.what;
    }
}

RollbackData replaced(const QString& path)
{
    RollbackData change;
    change.type = ReplacedFile;
    change.path = path;
    change.stagedPath = stagedPath(path);
    change.backupPath = "old/_old_" + path;
    return change;
}

// Every point that carrying out a change can stop at, undone once and then once more.
TEST(ReplacePlan, UndoRestoresFromEveryPointAndTwice)
{
    const QString dir = makeTempFolder("undo_points");
    auto at = [&dir](const QString& path) { return QFile::encodeName(dir + "/" + path); };
    ASSERT_TRUE(QDir().mkpath(dir + "/old"));
    const RollbackData change = replaced("f");
    // How far the replacement of f got: staged written, installed file linked to its backup, the
    // staged file renamed over it.
    for (int done = 0; done <= 3; ++done) {
        SCOPED_TRACE(done);
        ASSERT_TRUE(writeFile(dir + "/f", "old"));
        const bool staged = done < 1 || writeFile(dir + "/.f.vxmnew", "new");
        const bool linked = done < 2 || ::link(at("f").constData(), at("old/_old_f").constData()) == 0;
        const bool renamed = done < 3 || ::rename(at(".f.vxmnew").constData(), at("f").constData()) == 0;
        ASSERT_TRUE(staged && linked && renamed);
        for (int time = 0; time < 2; ++time) {
            QStringList warnings;
            EXPECT_TRUE(change.rollback(dir, [&](const QString& line) { warnings << line; }));
            EXPECT_TRUE(warnings.isEmpty()) << warnings.join('\n').toStdString();
            EXPECT_EQ(contentOf(dir + "/f"), "old");
            EXPECT_FALSE(QFileInfo::exists(dir + "/.f.vxmnew"));
            EXPECT_FALSE(QFileInfo::exists(dir + "/old/_old_f")) << "no backup is left behind";
        }
    }

    RollbackData created;
    created.path = "n";
    created.stagedPath = stagedPath("n");
    RollbackData folder;
    folder.type = CreatedDir;
    folder.path = "made";
    // A created file below a name that is a file: it cannot exist, so there is nothing to undo.
    RollbackData underAFile = created;
    underAFile.path = "f/n";
    underAFile.stagedPath = stagedPath("f/n");
    ASSERT_TRUE(writeFile(dir + "/n", "new"));
    struct stat placed;
    ASSERT_EQ(::lstat(at("n").constData(), &placed), 0);
    created.placedDevice = placed.st_dev;
    created.placedInode = placed.st_ino;
    ASSERT_TRUE(writeFile(dir + "/.n.vxmnew", "new"));
    ASSERT_TRUE(QDir().mkdir(dir + "/made"));
    // Made while the placed file lives, so it cannot reuse its inode.
    ASSERT_TRUE(writeFile(dir + "/old/user", "the user's"));
    for (int time = 0; time < 2; ++time) {
        QStringList warnings;
        EXPECT_TRUE(rollbackAll(dir, {folder, created, underAFile}, [&](const QString& line) { warnings << line; }));
        EXPECT_TRUE(warnings.isEmpty()) << warnings.join('\n').toStdString();
    }
    EXPECT_EQ(QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), (QStringList{"f", "old"}));

    // A file someone else put at a created file's name, before or after the update placed its own
    // there, is not the update's to remove.
    ASSERT_EQ(::rename(at("old/user").constData(), at("n").constData()), 0);
    for (const quint64 inode : {quint64(0), quint64(placed.st_ino)}) {
        created.placedInode = inode;
        QStringList lines;
        EXPECT_TRUE(created.rollback(dir, [&](const QString& line) { lines << line; }));
        EXPECT_EQ(lines, QStringList{"Keeping '" + dir + "/n': it is not the file the update placed"});
        EXPECT_EQ(contentOf(dir + "/n"), "the user's");
    }
}

TEST(ReplacePlan, FailedUndoStepsAreReportedAndTheRestIsStillUndone)
{
    const QString dir = makeTempFolder("undo_failures");
    ASSERT_TRUE(writeFile(dir + "/old/_old_f", "original"));
    ASSERT_TRUE(writeFile(dir + "/f", "new"));
    // Something no plan made stands in the way: a folder at a file's name, a file in a folder.
    ASSERT_TRUE(writeFile(dir + "/g/inside", "someone else's file"));
    ASSERT_TRUE(writeFile(dir + "/old/_old_g", "original g"));
    ASSERT_TRUE(writeFile(dir + "/made/keep", "someone else's file"));
    RollbackData folder;
    folder.type = CreatedDir;
    folder.path = "made";
    QStringList lines;
    EXPECT_FALSE(rollbackAll(dir, {folder, replaced("f"), replaced("g")}, [&](const QString& line) { lines << line; }));
    EXPECT_EQ(lines, (QStringList{QString("warning: rollback rename %1 to %2 failed").arg(dir + "/g", dir + "/old/_old_g"),
                                  dir + "/g: " + qt_error_string(EISDIR),
                                  "warning: rollback create dir " + dir + "/made failed",
                                  dir + "/made: " + qt_error_string(ENOTEMPTY)}));
    EXPECT_EQ(contentOf(dir + "/f"), "original") << "the older change is undone all the same";
    EXPECT_EQ(contentOf(dir + "/g/inside"), "someone else's file");
    EXPECT_EQ(contentOf(dir + "/made/keep"), "someone else's file");
}

TEST(ReplacePlan, ANoReplaceRenameNeverReplacesWhatIsThere)
{
    const QString dir = makeTempFolder("rename_noreplace");
    ASSERT_TRUE(writeFile(dir + "/backup", "original"));
    ASSERT_TRUE(writeFile(dir + "/file", "appeared meanwhile"));
    EXPECT_FALSE(renameNoReplace(dir + "/backup", dir + "/file"));
    EXPECT_EQ(contentOf(dir + "/file"), "appeared meanwhile");

    // A dangling link is something too: it is neither replaced nor followed.
    ASSERT_TRUE(QFile::link(dir + "/elsewhere", dir + "/link"));
    EXPECT_FALSE(renameNoReplace(dir + "/backup", dir + "/link"));
    EXPECT_FALSE(QFileInfo::exists(dir + "/elsewhere"));
    EXPECT_TRUE(renameNoReplace(dir + "/backup", dir + "/moved"));
    EXPECT_EQ(contentOf(dir + "/moved"), "original");
}

// A journal cut off before its plan's end goes without an undo, so nothing else may read as one.
TEST(ReplaceJournalText, CutOffDamagedAndForeignJournalsAreToldApart)
{
    RollbackData folder;
    folder.type = CreatedDir;
    folder.path = "new dir";
    RollbackData created;
    created.path = "n";
    created.stagedPath = stagedPath("n", 2);
    created.placedDevice = 2049;
    created.placedInode = 77;
    const RollbackJournal plan{folder, replaced("a"), created};
    const QByteArray text = replaceJournalText(plan, false);
    const QByteArray committed = replaceJournalText(plan, true);
    QByteArray damaged = text;
    damaged[text.indexOf('\n') + 3] = 'X';
    struct Row
    {
        const char* what;
        QByteArray data;
        JournalContents::Status status;
        bool committed;
    };
    const Row rows[] = {
        {"empty", "", JournalContents::NoPlan, false},
        {"header cut off", text.left(10), JournalContents::NoPlan, false},
        {"plan cut off at a line end", text.left(text.indexOf("\nP ") + 1), JournalContents::NoPlan, false},
        {"plan cut off in a line", text.left(text.indexOf("\nE ") - 3), JournalContents::NoPlan, false},
        {"whole plan", text, JournalContents::Plan, false},
        {"commit mark cut off", committed.left(committed.size() - 2), JournalContents::Plan, false},
        {"committed", committed, JournalContents::Plan, true},
        {"a record damaged", damaged, JournalContents::Unreadable, false},
        {"a line after the commit mark", committed + committed.mid(committed.lastIndexOf("C ")), JournalContents::Unreadable, false},
        {"a created file placed twice", text + text.mid(text.indexOf("\nI ") + 1), JournalContents::Unreadable, false},
        {"another version", "VXM replace journal 1\nP update old/_old_update  00000000\n", JournalContents::OtherVersion, false},
        {"not a journal", "<html>\n", JournalContents::Unreadable, false},
    };
    for (const Row& row : rows) {
        const JournalContents read = readReplaceJournal(row.data);
        EXPECT_EQ(read.status, row.status) << row.what;
        EXPECT_EQ(read.committed, row.committed) << row.what;
        EXPECT_EQ(read.plan, read.status == JournalContents::Plan ? plan : RollbackJournal()) << row.what;
    }
}

} // namespace

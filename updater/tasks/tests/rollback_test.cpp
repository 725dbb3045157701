// The rollback journal: undo order, merging, failed and unknown records, no-replace renames.
#include "fileoptestutil.h"
#include "tasks/rollback.h"
#include "testsupport.h"
#include "testtasks.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>

#include <gtest/gtest.h>

using fileoptest::contentOf;
using fileoptest::texts;
using testsupport::makeTempFolder;
using testsupport::writeFile;

namespace {

TEST(RollbackJournal, UndoesNewestFirstAndEmptiesTheJournal)
{
    const QString dir = makeTempFolder("journal_order");
    // The installed file A was moved to its backup B, then a new A was written, in a new folder.
    ASSERT_TRUE(writeFile(dir + "/B", "original"));
    ASSERT_TRUE(writeFile(dir + "/A", "new"));
    ASSERT_TRUE(QDir().mkdir(dir + "/made"));
    RollbackJournal journal;
    addRollbackRecord(journal, RollbackData(CreatedDir, dir + "/made"));
    addRollbackRecord(journal, RollbackData(Renamed, dir + "/A", dir + "/B"));
    addRollbackRecord(journal, RollbackData(CreatedFile, dir + "/A"));

    ManualTask reporter("reporter", nullptr, nullptr, 1.0);
    QSignalSpy messages(&reporter, &TaskSpecification::message);
    EXPECT_TRUE(rollbackAll(journal, &reporter));
    EXPECT_TRUE(journal.isEmpty());
    EXPECT_EQ(messages.count(), 0);
    EXPECT_EQ(contentOf(dir + "/A"), "original");
    EXPECT_FALSE(QFileInfo::exists(dir + "/B"));
    EXPECT_FALSE(QFileInfo::exists(dir + "/made"));

    // A second rollback of the same journal has nothing left to undo.
    EXPECT_TRUE(rollbackAll(journal, &reporter));
    EXPECT_EQ(contentOf(dir + "/A"), "original");
}

TEST(RollbackJournal, MergeMovesTheRecordsBehindTheExistingOnes)
{
    RollbackJournal parent{RollbackData(CreatedDir, "/x/dir")};
    RollbackJournal child{RollbackData(Renamed, "/x/a", "/x/old/_old_a"), RollbackData(CreatedFile, "/x/a")};
    mergeJournal(parent, child);
    ASSERT_EQ(parent.size(), 3);
    EXPECT_EQ(parent[0].path, "/x/dir");
    EXPECT_EQ(parent[1].type, int(Renamed));
    EXPECT_EQ(parent[1].previousPath, "/x/a");
    EXPECT_EQ(parent[2].type, int(CreatedFile));
    // Moved, not copied: undoing the child now cannot undo the same change a second time.
    EXPECT_TRUE(child.isEmpty());
    mergeJournal(parent, parent);
    EXPECT_EQ(parent.size(), 3);
}

TEST(RollbackJournal, FailedAndUnknownRecordsAreReportedAndTheRestIsStillUndone)
{
    const QString dir = makeTempFolder("journal_failures");
    ASSERT_TRUE(writeFile(dir + "/backup", "original"));
    ASSERT_TRUE(writeFile(dir + "/full/keep", "someone else's file"));
    RollbackJournal journal;
    addRollbackRecord(journal, RollbackData(Renamed, dir + "/file", dir + "/backup"));
    addRollbackRecord(journal, RollbackData(CreatedDir, dir + "/full"));
    RollbackData unknown(CreatedFile, dir + "/other");
    unknown.type = 7;
    addRollbackRecord(journal, unknown);
    addRollbackRecord(journal, RollbackData(CreatedFile, dir + "/never-written"));

    ManualTask reporter("reporter", nullptr, nullptr, 1.0);
    QSignalSpy messages(&reporter, &TaskSpecification::message);
    EXPECT_FALSE(rollbackAll(journal, &reporter));
    EXPECT_TRUE(journal.isEmpty());
    // Each warning is followed by the system's reason.
    EXPECT_EQ(texts(messages), (QStringList{"warning: rollback create file " + dir + "/never-written failed",
                                            dir + "/never-written: No such file or directory",
                                            "warning: rollback create dir " + dir + "/full failed",
                                            dir + "/full: Directory not empty"}));
    EXPECT_EQ(contentOf(dir + "/full/keep"), "someone else's file");
    EXPECT_EQ(contentOf(dir + "/file"), "original") << "the oldest record is undone all the same";

    // Without a reporter the same undo runs silently.
    ASSERT_TRUE(renameNoReplace(dir + "/file", dir + "/backup"));
    RollbackJournal again{RollbackData(Renamed, dir + "/file", dir + "/backup"),
                          RollbackData(CreatedFile, dir + "/never-written")};
    EXPECT_FALSE(rollbackAll(again, nullptr));
    EXPECT_EQ(contentOf(dir + "/file"), "original");
}

TEST(RollbackJournal, UndoOfARenameNeverReplacesWhatIsThere)
{
    const QString dir = makeTempFolder("journal_rename");
    ASSERT_TRUE(writeFile(dir + "/backup", "original"));
    ASSERT_TRUE(writeFile(dir + "/file", "appeared meanwhile"));
    ManualTask reporter("reporter", nullptr, nullptr, 1.0);
    QSignalSpy messages(&reporter, &TaskSpecification::message);
    EXPECT_FALSE(RollbackData(Renamed, dir + "/file", dir + "/backup").rollback(&reporter));
    EXPECT_EQ(texts(messages), (QStringList{QString("warning: rollback rename %1 to %2 failed").arg(dir + "/file", dir + "/backup"),
                                            dir + "/file: File exists"}));
    EXPECT_EQ(contentOf(dir + "/file"), "appeared meanwhile");
    EXPECT_EQ(contentOf(dir + "/backup"), "original");

    // A dangling link is something too: it is neither replaced nor followed.
    ASSERT_TRUE(QFile::link(dir + "/elsewhere", dir + "/link"));
    EXPECT_FALSE(renameNoReplace(dir + "/backup", dir + "/link"));
    EXPECT_FALSE(QFileInfo::exists(dir + "/elsewhere"));
    EXPECT_TRUE(renameNoReplace(dir + "/backup", dir + "/moved"));
    EXPECT_EQ(contentOf(dir + "/moved"), "original");
}

} // namespace

// The delete step on a temporary installation.
#include "programfolder.h"
#include "filedeletetasks.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <cerrno>

using testsupport::makeTempFolder;
using testsupport::waitUntil;
using testsupport::writeFile;

namespace {

class DeleteStep : public ::testing::Test
{
protected:
    void SetUp() override
    {
        base = makeTempFolder("deletestep");
        root = base + "/install";
        QDir().mkpath(root);
        setProgramFolderForTesting(root);
    }
    void TearDown() override { setProgramFolderForTesting(QString()); }

    TaskSpecification::TaskState run(FileDeleteListTaskSpecification& step)
    {
        step.start();
        waitUntil([&] { return step.hasEnded(); });
        return step.getState();
    }

    QString base;
    QString root;
};

TEST_F(DeleteStep, DeletesWhatIsListedAndPassesOverMissingFiles)
{
    ASSERT_TRUE(writeFile(root + "/gone.txt", "x"));
    ASSERT_TRUE(writeFile(root + "/plugins/old/lib.so", "x"));
    ASSERT_TRUE(writeFile(root + "/old/_old_update", "x"));
    ASSERT_TRUE(writeFile(root + "/stays.txt", "x"));
    QStringList list{"missing.txt", "gone.txt", "plugins/old/lib.so", "plugins/old", "also/missing/x",
                     "old/_old_update"};
    FileDeleteListTaskSpecification step(list, nullptr, 0.05);
    QSignalSpy messages(&step, &TaskSpecification::message);
    EXPECT_EQ(run(step), TaskSpecification::Finished);
    EXPECT_DOUBLE_EQ(step.getWeightedProgress(), 0.05);
    ASSERT_GE(messages.count(), 1);
    EXPECT_EQ(messages[0][0].toString(), "Starting deleting files");
    EXPECT_EQ(messages.count(), 1) << "missing files are passed over silently";
    EXPECT_FALSE(QFileInfo::exists(root + "/gone.txt"));
    EXPECT_FALSE(QFileInfo::exists(root + "/plugins")) << "emptied folders go with the last one";
    EXPECT_FALSE(QFileInfo::exists(root + "/old/_old_update"));
    EXPECT_TRUE(QFileInfo::exists(root + "/stays.txt"));
    EXPECT_FALSE(step.hasProblems());
}

TEST_F(DeleteStep, WhatCannotBeDeletedIsNamedAndCounted)
{
    // A folder that still holds a file cannot go; the step goes on and says so.
    ASSERT_TRUE(writeFile(root + "/full/keep", "x"));
    ASSERT_TRUE(writeFile(root + "/gone.txt", "x"));
    QStringList list{"full", "gone.txt"};
    FileDeleteListTaskSpecification step(list, nullptr, 0.05);
    QSignalSpy messages(&step, &TaskSpecification::message);
    EXPECT_EQ(run(step), TaskSpecification::Finished);
    QStringList lines;
    for (const QList<QVariant>& m : messages)
        lines << m[0].toString();
    EXPECT_EQ(lines, (QStringList{"Starting deleting files", "Could not delete '" + root + "/full'",
                                  root + "/full: " + qt_error_string(ENOTEMPTY)}));
    EXPECT_TRUE(step.hasProblems());
    EXPECT_FALSE(QFileInfo::exists(root + "/gone.txt"));
}

TEST_F(DeleteStep, NeverTouchesAnythingOutsideTheProgramFolder)
{
    ASSERT_TRUE(writeFile(base + "/outside/file", "x"));
    ASSERT_TRUE(writeFile(root + "/only/file", "x"));
    ASSERT_TRUE(QFile::link(base + "/outside", root + "/link"));
    QStringList list{base + "/outside/file", "../outside/file", "link/file", "only/file", "only", ".", ""};
    FileDeleteListTaskSpecification step(list, nullptr, 1.0);
    EXPECT_EQ(run(step), TaskSpecification::Finished);
    EXPECT_TRUE(QFileInfo::exists(base + "/outside/file"));
    EXPECT_FALSE(QFileInfo::exists(root + "/only"));
    EXPECT_TRUE(QFileInfo(root).isDir()) << "the program folder stays even when emptied";
    EXPECT_TRUE(QFileInfo(root + "/link").isSymLink());
}

TEST_F(DeleteStep, AnEmptyListFinishesAtOnceAndAResetStepRunsAgain)
{
    QStringList list;
    FileDeleteListTaskSpecification step(list, nullptr, 0.05);
    EXPECT_EQ(run(step), TaskSpecification::Finished);
    EXPECT_DOUBLE_EQ(step.getWeightedProgress(), 0.05);
    ASSERT_TRUE(writeFile(root + "/later", "x"));
    list << "later";
    step.reset();
    EXPECT_EQ(run(step), TaskSpecification::Finished);
    EXPECT_FALSE(QFileInfo::exists(root + "/later"));
}

} // namespace

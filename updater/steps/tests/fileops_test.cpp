// The file operation tasks: delete, rename, link and folder creation on the GUI thread, copy and
// unpack on the pool, and what they refuse to touch.
#include "fileopfaults.h"
#include "fileoptestutil.h"
#include "fileoptasks.h"
#include "testsupport.h"
#include "testtasks.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>

#include <cerrno>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

using fileoptest::contentOf;
using fileoptest::texts;
using fileoptest::writeGzip;
using testsupport::makeTempFolder;
using testsupport::waitUntil;
using testsupport::writeFile;

namespace {

// Somewhat compressible data of `size` bytes.
QByteArray sampleData(int size)
{
    QByteArray data;
    data.reserve(size);
    quint32 x = 12345;
    while (data.size() < size) {
        x = x * 1103515245u + 12345u;
        data.append(char('a' + (x >> 16) % 7));
    }
    return data;
}

bool exists(const QString& path)
{
    return QFileInfo::exists(path) || QFileInfo(path).isSymLink();
}

TaskSpecification::TaskState run(TaskSpecification& task)
{
    task.start();
    waitUntil([&] { return task.hasEnded(); });
    return task.getState();
}

class FileOps : public ::testing::Test
{
protected:
    void SetUp() override
    {
        fileopfaults::clear();
        dir = makeTempFolder("fileops");
    }
    void TearDown() override { fileopfaults::clear(); }
    QString dir;
};

TEST_F(FileOps, RenameAndLinkReplaceNothingUnlessAsked)
{
    using Rename = FileRenameTaskSpecification;
    ASSERT_TRUE(writeFile(dir + "/a", "A"));
    ASSERT_TRUE(writeFile(dir + "/b", "B"));
    ASSERT_TRUE(QFile::link(dir + "/outside", dir + "/link"));
    // Onto an existing file, or onto a dangling link: refused, nothing written.
    for (const QString& target : {dir + "/b", dir + "/link"}) {
        Rename rename(dir + "/a", target, Rename::KeepExisting, nullptr, 0.1);
        FileLinkTaskSpecification link(dir + "/a", target, nullptr, 0.1);
        for (TaskSpecification* task : {static_cast<TaskSpecification*>(&rename), static_cast<TaskSpecification*>(&link)}) {
            QSignalSpy messages(task, &TaskSpecification::message);
            EXPECT_EQ(run(*task), TaskSpecification::Failed);
            const QString verb = task == &link ? "link" : "rename";
            EXPECT_EQ(texts(messages), (QStringList{QString("Could not %1 '%2' to '%3'").arg(verb, dir + "/a", target),
                                                    target + ": " + qt_error_string(EEXIST)}));
        }
    }
    EXPECT_EQ(contentOf(dir + "/b"), "B");
    EXPECT_FALSE(QFileInfo::exists(dir + "/outside"));

    // A link keeps the file under a second name; a rename that may replace takes the place whole.
    FileLinkTaskSpecification keep(dir + "/b", dir + "/kept", nullptr, 0.1);
    EXPECT_EQ(run(keep), TaskSpecification::Finished);
    Rename over(dir + "/a", dir + "/b", Rename::ReplaceExisting, nullptr, 0.1);
    EXPECT_EQ(run(over), TaskSpecification::Finished);
    EXPECT_EQ(contentOf(dir + "/b"), "A");
    EXPECT_EQ(contentOf(dir + "/kept"), "B");
    EXPECT_FALSE(exists(dir + "/a"));
}

TEST_F(FileOps, FolderCreationMakesEveryMissingLevel)
{
    ASSERT_TRUE(QDir().mkdir(dir + "/a"));
    DirCreateTaskSpecification create(dir + "/a/b/c", nullptr, 0.1);
    EXPECT_EQ(run(create), TaskSpecification::Finished);
    EXPECT_TRUE(QFileInfo(dir + "/a/b/c").isDir());

    DirCreateTaskSpecification existing(dir + "/a", nullptr, 0.1);
    EXPECT_EQ(run(existing), TaskSpecification::Finished);

    ASSERT_TRUE(writeFile(dir + "/file", "x"));
    DirCreateTaskSpecification onFile(dir + "/file/sub", nullptr, 0.1);
    QSignalSpy messages(&onFile, &TaskSpecification::message);
    EXPECT_EQ(run(onFile), TaskSpecification::Failed);
    EXPECT_EQ(texts(messages), QStringList{"Could not create dir '" + dir +
                                           "/file' because it already exists and is not a dir"});

    DirCreateTaskSpecification relative("nofolderpart", nullptr, 0.1);
    QSignalSpy relativeMessages(&relative, &TaskSpecification::message);
    EXPECT_EQ(run(relative), TaskSpecification::Failed);
    EXPECT_EQ(texts(relativeMessages), QStringList{"Could not create dir nofolderpart"});
}

TEST_F(FileOps, DeleteRemovesEmptiedParentsButStaysInsideItsBoundary)
{
    const QString root = dir + "/install";
    ASSERT_TRUE(QDir().mkpath(root + "/a/b/c"));
    ASSERT_TRUE(writeFile(root + "/keep", "k"));
    FileDeleteTaskSpecification removeFolder(true, root + "/a/b/c", nullptr, 0.1);
    removeFolder.setBoundary(root);
    EXPECT_EQ(run(removeFolder), TaskSpecification::Finished);
    EXPECT_FALSE(exists(root + "/a"));
    EXPECT_TRUE(QFileInfo(root).isDir());

    // With the installation itself emptied, the installation folder still stays.
    ASSERT_TRUE(QFile::remove(root + "/keep"));
    ASSERT_TRUE(QDir().mkdir(root + "/only"));
    FileDeleteTaskSpecification last(true, root + "/only", nullptr, 0.1);
    last.setBoundary(root);
    EXPECT_EQ(run(last), TaskSpecification::Finished);
    EXPECT_TRUE(QFileInfo(root).isDir());

    // Paths that lead outside: through "..", and through a linked folder. A link itself goes,
    // never what it points to.
    ASSERT_TRUE(writeFile(dir + "/outside/victim", "v"));
    ASSERT_TRUE(QFile::link(dir + "/outside", root + "/linked"));
    ASSERT_TRUE(QFile::link(dir + "/outside/victim", root + "/victimlink"));
    for (const QString& path : {root + "/../outside/victim", root + "/linked/victim", root + "/.."}) {
        FileDeleteTaskSpecification refused(true, path, nullptr, 0.1);
        refused.setBoundary(root);
        QSignalSpy messages(&refused, &TaskSpecification::message);
        EXPECT_EQ(run(refused), TaskSpecification::Failed) << path.toStdString();
        EXPECT_EQ(messages.count(), 2) << "the refusal and the failure";
    }
    FileDeleteTaskSpecification link(true, root + "/victimlink", nullptr, 0.1);
    link.setBoundary(root);
    EXPECT_EQ(run(link), TaskSpecification::Finished);
    EXPECT_FALSE(exists(root + "/victimlink"));
    EXPECT_EQ(contentOf(dir + "/outside/victim"), "v");

    // A missing path: silent success unless the deletion must succeed.
    FileDeleteTaskSpecification optional(false, root + "/missing", nullptr, 0.1);
    QSignalSpy optionalMessages(&optional, &TaskSpecification::message);
    EXPECT_EQ(run(optional), TaskSpecification::Finished);
    EXPECT_EQ(optionalMessages.count(), 0);
    FileDeleteTaskSpecification required(true, root + "/missing", nullptr, 0.1);
    QSignalSpy requiredMessages(&required, &TaskSpecification::message);
    EXPECT_EQ(run(required), TaskSpecification::Failed);
    EXPECT_EQ(texts(requiredMessages),
              (QStringList{"Could not delete '" + root + "/missing'", root + "/missing: " + qt_error_string(ENOENT)}));
}

TEST_F(FileOps, CopyAndUnpackWriteTheFileWithTheModeAsked)
{
    const QByteArray data = sampleData(100000);
    ASSERT_TRUE(writeFile(dir + "/plain", data));
    ASSERT_TRUE(QFile::setPermissions(dir + "/plain", QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    ASSERT_TRUE(writeGzip(dir + "/packed.gz", data));

    const auto mode = [](const QString& path) {
        struct stat st;
        return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
    };
    FileCopyTaskSpecification copy(dir + "/plain", dir + "/copied", nullptr, 0.5);
    EXPECT_EQ(run(copy), TaskSpecification::Finished);
    EXPECT_EQ(contentOf(dir + "/copied"), data);
    EXPECT_EQ(mode(dir + "/copied"), mode_t(0640));
    FileCopyTaskSpecification runnableCopy(dir + "/plain", dir + "/program", nullptr, 0.5);
    runnableCopy.setMode(0755);
    EXPECT_EQ(run(runnableCopy), TaskSpecification::Finished);
    EXPECT_EQ(mode(dir + "/program"), mode_t(0755));

    FileUnzipTaskSpecification unzip(dir + "/packed.gz", dir + "/unpacked", nullptr, 0.5, data.size());
    unzip.setMode(0750);
    QSignalSpy progress(&unzip, &TaskSpecification::updateProgress);
    EXPECT_EQ(run(unzip), TaskSpecification::Finished);
    EXPECT_EQ(contentOf(dir + "/unpacked"), data);
    EXPECT_GT(progress.count(), 2) << "long work shows progress";
    EXPECT_EQ(mode(dir + "/unpacked"), mode_t(0750));

    // Data that is not compressed is passed through.
    FileUnzipTaskSpecification passThrough(dir + "/plain", dir + "/through", nullptr, 0.5);
    EXPECT_EQ(run(passThrough), TaskSpecification::Finished);
    EXPECT_EQ(contentOf(dir + "/through"), data);
}

// Limits the size of files this process writes (RLIMIT_FSIZE), so that writing fails with EFBIG
// as it would on a full disk; restored when it goes.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &saved);
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &saved); }

private:
    rlimit saved{};
};

TEST_F(FileOps, BadArchivesFailAndLeaveNothingBehind)
{
    const QByteArray data = sampleData(200000);
    ASSERT_TRUE(writeGzip(dir + "/good.gz", data));
    const QByteArray packed = contentOf(dir + "/good.gz");
    ASSERT_TRUE(writeFile(dir + "/truncated.gz", packed.left(packed.size() / 2)));
    ASSERT_TRUE(writeFile(dir + "/no-trailer.gz", packed.left(packed.size() - 4)));
    QByteArray corrupt = packed;
    for (int i = 100; i < 140; ++i)
        corrupt[i] = char(corrupt[i] ^ 0x5a);
    ASSERT_TRUE(writeFile(dir + "/corrupt.gz", corrupt));

    // The message is followed by the reason: the system's, zlib's, or the size limit.
    struct Case
    {
        QString source;
        qint64 maxSize;
        QString reason;
        rlim_t fileSizeLimit;
    };
    const Case cases[] = {
        {dir + "/truncated.gz", -1, dir + "/truncated.gz: unexpected end of file", RLIM_INFINITY},
        {dir + "/no-trailer.gz", -1, dir + "/no-trailer.gz: unexpected end of file", RLIM_INFINITY},
        {dir + "/corrupt.gz", -1, dir + "/corrupt.gz: ", RLIM_INFINITY},
        {dir + "/good.gz", data.size() - 1,
         QString("%1 unpacks to more than the expected %2 bytes").arg(dir + "/good.gz").arg(data.size() - 1), RLIM_INFINITY},
        {dir + "/missing.gz", -1, dir + "/missing.gz: " + qt_error_string(ENOENT), RLIM_INFINITY},
        // A file system that takes no more: the writing fails with the system's reason.
        {dir + "/good.gz", -1, dir + "/out: " + qt_error_string(EFBIG), 50000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source.toStdString());
        FileSizeLimit limit(c.fileSizeLimit);
        FileUnzipTaskSpecification unzip(c.source, dir + "/out", nullptr, 1.0, c.maxSize);
        QSignalSpy messages(&unzip, &TaskSpecification::message);
        EXPECT_EQ(run(unzip), TaskSpecification::Failed);
        const QStringList lines = texts(messages);
        const int at = lines.indexOf(QString("Could not unzip '%1' to '%2'").arg(c.source, dir + "/out"));
        ASSERT_GE(at, 0) << lines.join('\n').toStdString();
        EXPECT_TRUE(lines.value(at + 1).startsWith(c.reason)) << lines.join('\n').toStdString();
        EXPECT_FALSE(exists(dir + "/out"));
    }
    {
        FileSizeLimit limit(50000);
        FileCopyTaskSpecification copy(dir + "/good.gz", dir + "/out", nullptr, 1.0);
        QSignalSpy messages(&copy, &TaskSpecification::message);
        EXPECT_EQ(run(copy), TaskSpecification::Failed);
        EXPECT_EQ(texts(messages), (QStringList{QString("Could not copy '%1' to '%2'").arg(dir + "/good.gz", dir + "/out"),
                                                dir + "/out: " + qt_error_string(EFBIG)}));
        EXPECT_FALSE(exists(dir + "/out"));
    }
}

TEST_F(FileOps, CopyAndUnpackNeverWriteThroughOrOverWhatIsThere)
{
    ASSERT_TRUE(writeFile(dir + "/source", "new"));
    ASSERT_TRUE(writeGzip(dir + "/source.gz", "new"));
    ASSERT_TRUE(writeFile(dir + "/existing", "someone's file"));
    ASSERT_TRUE(QFile::link(dir + "/elsewhere", dir + "/dangling"));
    for (const QString& target : {dir + "/existing", dir + "/dangling"}) {
        FileCopyTaskSpecification copy(dir + "/source", target, nullptr, 1.0);
        EXPECT_EQ(run(copy), TaskSpecification::Failed);
        FileUnzipTaskSpecification unzip(dir + "/source.gz", target, nullptr, 1.0);
        EXPECT_EQ(run(unzip), TaskSpecification::Failed);
    }
    EXPECT_EQ(contentOf(dir + "/existing"), "someone's file") << "a failed unpack removes only its own file";
    EXPECT_TRUE(QFileInfo(dir + "/dangling").isSymLink());
    EXPECT_FALSE(exists(dir + "/elsewhere"));
}

TEST_F(FileOps, CancelStopsARunningCopyAndLeavesNoFile)
{
    ASSERT_TRUE(writeFile(dir + "/source", sampleData(300000)));
    fileopfaults::holdNext("copy");
    FileCopyTaskSpecification copy(dir + "/source", dir + "/target", nullptr, 1.0);
    QSignalSpy messages(&copy, &TaskSpecification::message);
    copy.start();
    ASSERT_TRUE(waitUntil([] { return fileopfaults::isHolding(); }));
    EXPECT_TRUE(exists(dir + "/target"));
    copy.cancel();
    fileopfaults::release();
    ASSERT_TRUE(waitUntil([&] { return copy.hasEnded(); }));
    EXPECT_EQ(copy.getState(), TaskSpecification::Aborted);
    EXPECT_EQ(messages.count(), 0);
    EXPECT_FALSE(exists(dir + "/target"));
}

} // namespace

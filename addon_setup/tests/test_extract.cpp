// Extraction of add-on packages: what is kept, what is refused, and that nothing lands outside.
#include "extract.h"
#include "globals.h"
#include "install.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>

#include <gtest/gtest.h>

#include <iostream>

#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;

namespace {

class ExtractTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        base = freshEnvironment();
        source = base + QStringLiteral("/src");
        QDir().mkpath(source);
    }

    // Extracts `package` as the command line would name it.
    bool extract(const QString &package, bool force = false)
    {
        g_packageFileName = package;
        tempPath.clear();
        error.clear();
        hasPlugins = !force;
        return extractPackage(tempPath, error, force, hasPlugins);
    }

    QString importDir() const { return base + QStringLiteral("/tmp/vxmimport"); }

    QString base;
    QString source;
    QString tempPath;
    QString error;
    bool hasPlugins = false;
};

const QList<QPair<QString, QByteArray>> sampleTree = {
    {QStringLiteral("package.ini"), "name=Dark\n"},
    {QStringLiteral("readme.txt"), "read me"},
    {QStringLiteral("styles/dark.qss"), "QWidget { color: black; }"},
    {QStringLiteral("styles/more/dark_mac.qss"), QByteArray(5000, 'm')},
    {QStringLiteral("other/package.ini"), "name=Other\n"},
    {QStringLiteral("other/notes.txt"), "n"},
};

TEST_F(ExtractTest, ZipMadePackagesKeepOnlyPackageInfoAndContentFolders)
{
    writeTree(source, sampleTree);
    // With folder entries and without them (zip -D): both must extract the same files.
    for (const QStringList &options : {QStringList(), QStringList{QStringLiteral("-D")}}) {
        SCOPED_TRACE(options.join(QLatin1Char(' ')).toStdString());
        const QString package = zipFolder(source, base + QStringLiteral("/Dark.Skin.zip"), options);
        ASSERT_TRUE(extract(package)) << error.toStdString();
        EXPECT_EQ(tempPath, importDir() + QStringLiteral("/Dark"));
        EXPECT_FALSE(hasPlugins);
        EXPECT_EQ(listTree(tempPath),
                  (QStringList{"other", "other/package.ini", "package.ini", "styles", "styles/dark.qss",
                               "styles/more", "styles/more/dark_mac.qss"}));
        EXPECT_EQ(readFile(tempPath + QStringLiteral("/styles/more/dark_mac.qss")), QByteArray(5000, 'm'));
        EXPECT_EQ(QFileInfo(importDir()).permissions() & 0x0077, QFileDevice::Permissions());
    }
}

TEST_F(ExtractTest, PluginFolderEntriesRaiseHasPlugins)
{
    ASSERT_TRUE(extract(craftZip(base + QStringLiteral("/p.zip"),
                                 R"([{"name": "package.ini", "data": "name=P"},
                                     {"name": "plugins/", "dir": true},
                                     {"name": "plugins/sub/", "dir": true}])")));
    EXPECT_TRUE(hasPlugins);
    EXPECT_EQ(listTree(tempPath), (QStringList{"package.ini", "plugins", "plugins/sub"}));
}

TEST_F(ExtractTest, EmptyFilesStayFilesAndLinksAreNotCreated)
{
    ASSERT_TRUE(extract(craftZip(base + QStringLiteral("/p.zip"),
                                 R"([{"name": "styles/empty.qss", "data": ""},
                                     {"name": "plugins/tool.so", "data": "elf"},
                                     {"name": "plugins/evil.so", "symlink": "/etc/passwd"},
                                     {"name": "gfx/up", "symlink": "../../.."}])")))
        << error.toStdString();
    EXPECT_TRUE(hasPlugins);
    EXPECT_EQ(listTree(tempPath), (QStringList{"plugins", "plugins/tool.so", "styles", "styles/empty.qss"}));
    EXPECT_TRUE(QFileInfo(tempPath + QStringLiteral("/styles/empty.qss")).isFile());
    EXPECT_EQ(QFileInfo(tempPath + QStringLiteral("/styles/empty.qss")).size(), 0);
}

TEST_F(ExtractTest, EntryNamesAreTakenAsUnzipTakesThemOrRefused)
{
    struct Case
    {
        const char *name;
        const char *extractedAs; // nullptr: refused as unsafe, nothing written
    };
    const Case cases[] = {
        {"plugins/../../../escaped.so", nullptr},
        {"plugins/sub/../../../../escaped.so", nullptr},
        {"/plugins/escaped.so", nullptr},
        {"../plugins/escaped.so", nullptr},
        {"plugins//escaped.so", nullptr},
        {"readme/../../escaped.txt", nullptr},
        {"plugins\\..\\..\\escaped.so", nullptr},
        // As bsdtar and Windows tools write them (the package also holds the entry "./").
        {"plugins/./tool.so", "plugins/tool.so"},
        {"./plugins/tool.so", "plugins/tool.so"},
        {"plugins\\tool.so", "plugins/tool.so"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        base = freshEnvironment();
        const QString name = QString::fromLatin1(c.name);
        const QString json = QStringLiteral(R"([{"name": "./", "dir": true}, {"name": "./package.ini", "data": "name=X"},
                                                 {"name": "plugins/", "dir": true},
                                                 {"name": "%1", "data": "payload"}])")
                                 .arg(QString(name).replace(QLatin1Char('\\'), QStringLiteral("\\\\")));
        const QString package = craftZip(base + QStringLiteral("/bad.zip"), json);
        EXPECT_EQ(extract(package), c.extractedAs != nullptr);
        if (c.extractedAs) {
            EXPECT_EQ(listTree(tempPath), (QStringList{"package.ini", "plugins", c.extractedAs}));
            continue;
        }
        EXPECT_EQ(error, QStringLiteral("Failed to extract: %1: unsafe entry name").arg(name));
        // Nothing was written at all: the decision comes before the first file.
        EXPECT_EQ(listTree(base), (QStringList{"bad.zip", "home", "tmp"}));
    }
}

TEST_F(ExtractTest, CorruptAndHostilePackagesFailBeforeAnythingIsWritten)
{
    struct Case
    {
        const char *what;
        const char *entry;
        const char *message; // the beginning of the error (%T: the temporary folder, %P: the package);
                             // nullptr: "Failed to extract: plugins/tool.so"
    };
    const QByteArray data(3000, 'x');
    const Case cases[] = {
        {"bzip2", R"({"name": "plugins/tool.so", "data": "%1", "method": "bzip2"})",
         "Failed to extract: plugins/tool.so: bzip2 compression is not supported"},
        {"LZMA", R"({"name": "plugins/tool.so", "data": "%1", "method": "lzma"})",
         "Failed to extract: plugins/tool.so: LZMA compression is not supported"},
        {"Deflate64", R"({"name": "plugins/tool.so", "data": "%1", "rawmethod": 9})",
         "Failed to extract: plugins/tool.so: Deflate64 compression is not supported"},
        {"unknown method", R"({"name": "plugins/tool.so", "data": "%1", "rawmethod": 77})",
         "Failed to extract: plugins/tool.so: compression method 77 is not supported"},
        {"encrypted", R"({"name": "plugins/tool.so", "data": "%1", "flags": 1})",
         "Failed to extract: plugins/tool.so: encrypted entries are not supported"},
        {"zip64 entry", R"({"name": "plugins/tool.so", "data": "%1", "size": 4294967295})",
         "Failed to extract: plugins/tool.so: entries of 4 GiB or more (zip64) are not supported"},
        {"65 536 entries", R"({"name": "plugins/tool.so", "data": "%1"}, {"name": "other/f", "copies": 65532})",
         "Invalid zip file: %P: zip64 archives"},
        {"end record counts too few", R"({"name": "plugins/tool.so", "data": "%1"}, {"endcount": 3})",
         "Invalid zip file: %P: its directory does not hold the entries that its end record declares"},
        {"self-extracting", R"({"name": "plugins/tool.so", "data": "%1"}, {"prefix": "#!/bin/sh"})",
         "Invalid zip file: %P: self-extracting archives are not supported"},
        {"wrong crc", R"({"name": "plugins/tool.so", "data": "%1", "crc": 305419896})", nullptr},
        {"stored, wrong crc", R"({"name": "plugins/tool.so", "data": "%1", "method": "stored", "crc": 1})", nullptr},
        {"size too big", R"({"name": "plugins/tool.so", "data": "%1", "size": 4000})", nullptr},
        {"stream longer than declared", R"({"name": "plugins/tool.so", "data": "%1", "size": 100})",
         "Damaged entry: plugins/tool.so unpacks to more data than it declares"},
        {"absurd size", R"({"name": "plugins/tool.so", "data": "%1", "size": 4000000000})", nullptr},
        {"compressed size past the end", R"({"name": "plugins/tool.so", "data": "%1", "csize": 900000})",
         "Invalid zip file: the data of plugins/tool.so lies outside the file"},
        {"compressed size negative", R"({"name": "plugins/tool.so", "data": "%1", "csize": 4294967000})",
         "Invalid zip file: the data of plugins/tool.so lies outside the file"},
        {"stored sizes differ", R"({"name": "plugins/tool.so", "data": "%1", "method": "stored", "size": 10})", nullptr},
        {"data of another entry", R"({"name": "plugins/tool.so", "data": "%1", "share": "plugins/first.so"})",
         "Invalid zip file: the data of plugins/first.so and plugins/tool.so overlap"},
        {"name not UTF-8", R"({"name": "plugins/caf?.so", "data": "%1", "rawname": "706c7567696e732f636166e92e736f"})",
         "Invalid entry name (not UTF-8): plugins/caf\xef\xbf\xbd.so"},
        {"declared total over the bound",
         R"({"name": "other/a", "data": "a", "size": 4000000000}, {"name": "other/b", "data": "b", "size": 4000000000},
            {"name": "other/c", "data": "%1", "size": 4000000000})",
         "The Add-On is too large: it unpacks to "},
        // Runs on a tmpfs of 4 MiB (skipped where none can be mounted).
        {"more than the extraction folder holds", R"({"name": "plugins/tool.so", "data": "%1", "repeat": 2000})",
         "Not enough free space in %T: the Add-On needs "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        base = freshEnvironment();
        const bool smallTmp = mountSmallTmpfs(base + QStringLiteral("/tmp"), 4 << 20);
        if (!smallTmp && QByteArray(c.what) == "more than the extraction folder holds") {
            std::cout << "[ SKIPPED ] " << c.what << ": no tmpfs can be mounted here" << std::endl;
            continue;
        }
        const QString json = QStringLiteral(R"([{"name": "package.ini", "data": "name=X"},
                                                 {"name": "plugins/", "dir": true},
                                                 {"name": "plugins/first.so", "data": "fine"}, %1])")
                                 .arg(QString::fromLatin1(c.entry).arg(QString::fromLatin1(data)));
        const QString package = craftZip(base + QStringLiteral("/bad.zip"), json);
        const QStringList before = listTree(base);
        EXPECT_FALSE(extract(package));
        const QString expected = c.message ? QString::fromUtf8(c.message)
                                                 .replace(QStringLiteral("%T"), base + QStringLiteral("/tmp"))
                                                 .replace(QStringLiteral("%P"), package)
                                           : QStringLiteral("Failed to extract: plugins/tool.so");
        EXPECT_TRUE(error.startsWith(expected)) << error.toStdString();
        // Refused before anything was written, or cleaned up after an entry that turned out damaged.
        QStringList after = listTree(base);
        after.removeAll(QStringLiteral("tmp/vxmimport"));
        EXPECT_EQ(after, before);
    }
}

TEST_F(ExtractTest, PackageFileProblemsAreNamedWithThePathAsGiven)
{
    const QString missing = base + QStringLiteral("/missing.zip");
    EXPECT_FALSE(extract(missing));
    EXPECT_EQ(error, QStringLiteral("File not found: %1").arg(missing));
    EXPECT_FALSE(extract(QStringLiteral("file://") + missing));
    EXPECT_EQ(error, QStringLiteral("File not found: file://%1").arg(missing));
    EXPECT_FALSE(extract(QString(), true));
    EXPECT_EQ(error, QStringLiteral("File not found: "));

    for (const char *garbage : {"this is no zip file at all", "PK\\u0003\\u0004 truncated", ""}) {
        SCOPED_TRACE(garbage);
        const QString package = craftZip(base + QStringLiteral("/garbage.zip"),
                                         QStringLiteral(R"({"garbage": "%1"})").arg(QString::fromLatin1(garbage)));
        EXPECT_FALSE(extract(QStringLiteral("file://") + package));
        EXPECT_EQ(error, QStringLiteral("Invalid zip file: file://%1").arg(package));
        EXPECT_FALSE(QFileInfo::exists(importDir()));
    }

    // A folder is no package either.
    EXPECT_FALSE(extract(base + QStringLiteral("/src")));
    EXPECT_EQ(error, QStringLiteral("Invalid zip file: %1").arg(base + QStringLiteral("/src")));

    // An archive without entries is a valid, empty package.
    const QString empty = craftZip(base + QStringLiteral("/empty.zip"), QStringLiteral("[]"));
    ASSERT_TRUE(extract(QStringLiteral("file://") + empty)) << error.toStdString();
    EXPECT_EQ(listTree(tempPath), QStringList());
}

TEST_F(ExtractTest, ForeignImportFoldersAreRefused)
{
    writeTree(source, sampleTree);
    const QString package = zipFolder(source, base + QStringLiteral("/Dark.zip"));
    const QString elsewhere = base + QStringLiteral("/elsewhere");
    QDir().mkpath(elsewhere);

    // Someone else's link or folder in the shared temporary folder.
    ASSERT_EQ(::symlink(QFile::encodeName(elsewhere).constData(), QFile::encodeName(importDir()).constData()), 0);
    EXPECT_FALSE(extract(package));
    EXPECT_EQ(error, QStringLiteral("Failed to create temp path: %1/Dark: it is no folder").arg(importDir()));
    EXPECT_FALSE(extract(package, true));
    EXPECT_EQ(listTree(elsewhere), QStringList());
    QFile::remove(importDir());

    // Our own folder with a loose mode is tightened and used.
    QDir().mkpath(importDir());
    ASSERT_EQ(::chmod(QFile::encodeName(importDir()).constData(), 0777), 0);
    EXPECT_TRUE(extract(package)) << error.toStdString();
    struct stat st;
    ASSERT_EQ(::stat(QFile::encodeName(importDir()).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
}

TEST_F(ExtractTest, ImportFolderOfAnotherUserIsRefused)
{
    writeTree(source, sampleTree);
    const QString package = zipFolder(source, base + QStringLiteral("/Dark.zip"));
    QDir().mkpath(importDir());
    if (::chown(QFile::encodeName(importDir()).constData(), 54321, 54321) != 0)
        GTEST_SKIP() << "only root can give a folder to another user";
    EXPECT_FALSE(extract(package));
    EXPECT_EQ(error, QStringLiteral("Failed to create temp path: %1/Dark: it belongs to another user").arg(importDir()));
    ASSERT_EQ(::chown(QFile::encodeName(importDir()).constData(), ::geteuid(), ::getegid()), 0);
}

TEST_F(ExtractTest, EarlierExtractionIsEmptiedWithoutFollowingLinks)
{
    writeTree(source, sampleTree);
    const QString package = zipFolder(source, base + QStringLiteral("/Dark.zip"));
    const QString outside = base + QStringLiteral("/outside");
    writeTree(outside, {{QStringLiteral("keep.txt"), "keep"}});
    writeTree(importDir() + QStringLiteral("/Dark"),
              {{QStringLiteral("plugins/stale.so"), "stale"}, {QStringLiteral(".hidden/x"), "x"}});
    ::chmod(QFile::encodeName(importDir()).constData(), 0700);
    ASSERT_EQ(::symlink(QFile::encodeName(outside).constData(),
                        QFile::encodeName(importDir() + QStringLiteral("/Dark/styles")).constData()),
              0);

    ASSERT_TRUE(extract(package)) << error.toStdString();
    EXPECT_FALSE(hasPlugins);
    EXPECT_FALSE(QFileInfo(tempPath + QStringLiteral("/styles")).isSymLink());
    EXPECT_EQ(listTree(outside), QStringList{"keep.txt"});
    EXPECT_FALSE(QFileInfo::exists(tempPath + QStringLiteral("/plugins/stale.so")));
    EXPECT_FALSE(QFileInfo::exists(tempPath + QStringLiteral("/.hidden")));

    removeTree(tempPath);
    EXPECT_FALSE(QFileInfo::exists(tempPath));
}

TEST_F(ExtractTest, ForceReusesTheEarlierFolderAndLooksForPlugins)
{
    const QString package = craftZip(base + QStringLiteral("/Tool.zip"),
                                     R"([{"name": "plugins/", "dir": true}, {"name": "plugins/tool.so", "data": "elf"}])");
    // Without an earlier whole extraction (one killed half-way leaves only its partial folder) the
    // package is extracted afresh.
    writeTree(importDir(), {{QStringLiteral(".partial-abcdef/plugins/tool.so"), "e"}});
    ASSERT_TRUE(extract(package, true));
    EXPECT_TRUE(hasPlugins);
    EXPECT_EQ(readFile(tempPath + QStringLiteral("/plugins/tool.so")), QByteArray("elf"));

    ASSERT_TRUE(extract(package));
    writeTree(tempPath, {{QStringLiteral("styles/extra.qss"), "left by the earlier run"}});
    ASSERT_TRUE(extract(package, true));
    EXPECT_TRUE(hasPlugins);
    EXPECT_TRUE(QFileInfo::exists(tempPath + QStringLiteral("/styles/extra.qss")));
}

TEST_F(ExtractTest, NamelessPackagesGetAFolderOfTheirOwn)
{
    const QString package = craftZip(base + QStringLiteral("/.zip"), R"([{"name": "styles/a.qss", "data": "a"}])");
    ASSERT_TRUE(extract(package)) << error.toStdString();
    EXPECT_EQ(tempPath, importDir() + QStringLiteral("/package"));
    EXPECT_EQ(readFile(tempPath + QStringLiteral("/styles/a.qss")), QByteArray("a"));
}

TEST_F(ExtractTest, FailedWritesFailTheExtraction)
{
    const QString package = craftZip(base + QStringLiteral("/Big.zip"),
                                     R"([{"name": "styles/big.qss", "data": "b", "repeat": 200000}])");
    // A file size limit makes the write come up short, as a full disk would.
    bool ok = true;
    ASSERT_TRUE(withFileSizeLimit(65536, [&] { ok = extract(package); }));
    EXPECT_FALSE(ok);
    // The system's reason is named, as for a full disk.
    EXPECT_EQ(error, QStringLiteral("Failed to extract: styles/big.qss: ") + qt_error_string(EFBIG));
}

} // namespace

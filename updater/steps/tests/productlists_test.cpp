#include "makedownloadreplacelisttaskspecification.h"
#include "testsupport.h"
#include "updatelists.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

namespace {

QString md5Of(const QByteArray& data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

ReplaceEntry entry(const QString& path, const QString& installPath = QString())
{
    ReplaceEntry e;
    e.group = "g";
    e.path = path;
    e.installPath = installPath;
    return e;
}

TEST(PathRules, TargetAndBackupPaths)
{
    EXPECT_EQ("plugins/lib/a.so", targetPath(entry("x.gz", "plugins/lib/a.so"), ""));
    EXPECT_EQ("plugins/lib/_old_a.so", targetPath(entry("x.gz", "plugins/lib/a.so"), "_old_"));
    EXPECT_EQ("old/_old_a.so", backupPath(entry("x.gz", "plugins/lib/a.so")));
    EXPECT_EQ("_old_a.so", targetPath(entry("a.so"), "_old_"));
    EXPECT_EQ("old/_old_a.so", backupPath(entry("a.so")));
    EXPECT_EQ("old/_old_2_a.so", backupPath(entry("lib/a.so"), 2));
    EXPECT_EQ("lib/.a.so.vxmnew", stagedPath("lib/a.so"));
    EXPECT_EQ(".a.so.vxmnew", stagedPath("a.so"));
    for (const char* backup : {"old/_old_a", "old/_old_2_a"})
        EXPECT_TRUE(isBackupPath(backup)) << backup;
    for (const char* other : {"old/a", "_old_a", "old/sub/_old_a", "old/../_old_a", "lib/_old_a"})
        EXPECT_FALSE(isBackupPath(other)) << other;
}

TEST(PathRules, SafeRelativePathsAndMd5Text)
{
    for (const char* good : {"a", "dir/b.txt", "name, with comma", "..a/b..", ".hidden"})
        EXPECT_TRUE(isSafeRelativePath(good)) << good;
    // Paths are used as written, so one that cleaning would change is refused as well.
    for (const char* bad : {"", "/etc/passwd", "..", "../a", "a/../../b", "a\\b", ".", "a/..", "./", "a/./b",
                            "x/../y", "./a", "a//b", "a/"})
        EXPECT_FALSE(isSafeRelativePath(bad)) << bad;
    EXPECT_TRUE(isMd5Text("0123456789abcdefABCDEF0123456789"));
    EXPECT_FALSE(isMd5Text(""));
    EXPECT_FALSE(isMd5Text("0123456789abcdef0123456789abcde"));
    EXPECT_FALSE(isMd5Text("0123456789abcdef0123456789abcdeg"));
}

class ProductListsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        install = root.filePath("install");
        temp = root.filePath("temp");
        QDir().mkpath(install);
        QDir().mkpath(temp);
    }

    static void put(const QString& path, const QByteArray& data)
    {
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(data);
    }

    void description(const QByteArray& text) { put(temp + "/client.ini", text); }

    bool compile()
    {
        auto filled = std::make_shared<UpdateLists>(lists);
        MakeDownloadReplaceListFunc func(temp + "/client.ini", install, temp, filled);
        QSignalSpy spy(&func, &ASyncFunc::message);
        const bool ok = func.run();
        lists = *filled;
        messages.clear();
        for (const QList<QVariant>& m : spy)
            messages << m[0].toString();
        return ok;
    }

    QTemporaryDir root;
    QString install, temp;
    UpdateLists lists;
    QStringList messages;
};

TEST_F(ProductListsTest, TwoAndFivePartEntries)
{
    const QByteArray plain = "plain file", unpacked = "unpacked", packed = "gz bytes";
    description(QString("[client]\n"
                        "bin/tool=%1::10\n"
                        "lib\\a.so.gz=%2::8::%3::8::lib/a.so\n"
                        "share.gz=%2::8::%3::8::\n"
                        "[delete]\nold.txt=1\ngone.txt=1\nlib/a.so=1\nold/replace.journal=1\n")
                    .arg(md5Of(plain), md5Of(packed), md5Of(unpacked))
                    .toUtf8());
    put(install + "/old.txt", "x");
    // Deleting what the release installs, or the live journal, would undo the update.
    put(install + "/lib/a.so", "installed");
    put(install + "/old/replace.journal", "journal");
    ASSERT_TRUE(compile()) << messages.join('\n').toStdString();
    EXPECT_EQ("Compiling download and replace list", messages.value(0));

    ASSERT_EQ(3, lists.downloadList.size());
    ASSERT_EQ(3, lists.replaceList.size());
    const DownloadEntry& d = lists.downloadList[1];
    EXPECT_EQ("client", d.group);
    EXPECT_EQ("lib/a.so.gz", d.path);
    EXPECT_EQ(md5Of(packed), d.md5);
    EXPECT_EQ(8u, d.size);
    const ReplaceEntry& r = lists.replaceList[1];
    EXPECT_EQ(md5Of(unpacked), r.unpackedMd5);
    EXPECT_EQ(8u, r.unpackedSize);
    EXPECT_EQ("lib/a.so", r.installPath);
    EXPECT_EQ("lib/a.so", targetPath(r, ""));
    const ReplaceEntry& two = lists.replaceList[0];
    EXPECT_EQ("bin/tool", two.path);
    EXPECT_TRUE(two.installPath.isEmpty());
    EXPECT_TRUE(two.unpackedMd5.isEmpty());
    EXPECT_EQ(0u, two.unpackedSize);
    // A five-part entry without install path installs under its key.
    EXPECT_EQ("share.gz", targetPath(lists.replaceList[2], ""));
    EXPECT_EQ(QStringList{"old.txt"}, lists.deleteList);
    EXPECT_TRUE(messages.contains("Not deleting 'lib/a.so': the release installs it"));
    EXPECT_TRUE(messages.contains("Not deleting 'old/replace.journal': the updater keeps its own files there"));
}

TEST_F(ProductListsTest, UpToDateFilesAndReusedDownloads)
{
    const QByteArray a = "content a", b = "content b", c = "content c", unpacked = "unpacked";
    description(QString("[files]\na=%1::9\nb=%2::9\nc=%3::9\nz.gz=%4::1::%5::8::z\n")
                    .arg(md5Of(a), md5Of(b).toUpper(), md5Of(c), md5Of("p"), md5Of(unpacked))
                    .toUtf8());
    put(install + "/a", a);        // up to date
    put(install + "/b", b);        // up to date, description in upper case
    put(install + "/c", "stale");  // to replace; temporary copy good
    put(temp + "/c", c);
    put(install + "/z", unpacked); // compared unpacked: up to date
    put(install + "/z.gz", "p");   // the compressed sum means nothing at the install path
    ASSERT_TRUE(compile());
    ASSERT_EQ(1, lists.replaceList.size());
    EXPECT_EQ("c", lists.replaceList[0].path);
    EXPECT_TRUE(lists.downloadList.isEmpty());

    put(temp + "/c", "damaged");
    ASSERT_TRUE(compile());
    ASSERT_EQ(1, lists.downloadList.size());
    EXPECT_EQ("c", lists.downloadList[0].path);
}

TEST_F(ProductListsTest, EmptyOrKeylessDescriptionFails)
{
    EXPECT_FALSE(compile());
    EXPECT_TRUE(messages.contains("No files in product ini"));

    description("top=level\n[empty]\n");
    EXPECT_FALSE(compile());
    EXPECT_TRUE(messages.contains("No files in product ini"));

    description("[delete]\nnothing.txt=1\n");
    EXPECT_TRUE(compile());
    EXPECT_TRUE(lists.downloadList.isEmpty());
    EXPECT_TRUE(lists.replaceList.isEmpty());
    EXPECT_TRUE(lists.deleteList.isEmpty());
}

TEST_F(ProductListsTest, InvalidLinesFailBeforeAnythingIsListed)
{
    const QString md5 = md5Of("x");
    const QStringList bad = {
        "[s]\na=" + md5 + "::1::x\n",                           // three parts
        "[s]\na=\n",                                             // one part
        "[s]\na=::1\n",                                          // empty MD5 would mean signature mode
        "[s]\na=" + md5.left(31) + "::1\n",                      // short MD5
        "[s]\na=" + md5 + "::1::nothex::1::a\n",                 // bad unpacked MD5
        "[s]\n..=" + md5 + "::1\n",                                // the parent folder itself
        "[s]\n..\\..\\x=" + md5 + "::1\n",                       // climbing key
        "[s]\na%5Cb=" + md5 + "::1\n",                           // backslash in the key
        "[s]\na.gz=" + md5 + "::1::" + md5 + "::1::../../evil\n", // climbing install path
        "[s]\na.gz=" + md5 + "::1::" + md5 + "::1::/abs\n",       // absolute install path
        "[s]\na=" + md5 + "::1\nb.gz=" + md5 + "::1::" + md5 + "::1::a\n", // duplicate target
        "[s]\na=" + md5 + "::1\n[t]\na=" + md5 + "::1\n",         // one temporary file for two
        "[delete]\n..\\outside=1\n",                             // delete outside the installation
        "[s]\nnewdir/./x.txt=" + md5 + "::1\n",                   // a key that cleaning changes
        "[delete]\nd//x.txt=1\n",
        "[s]\na.gz=" + md5 + "::1::" + md5 + "::1::dir/./a\n",     // an install path that cleaning changes
        "[s]\na=" + md5 + "::big\n",                              // sizes that are no 64-bit number
        "[s]\na=" + md5 + "::\n",
        "[s]\na=" + md5 + "::-1\n",
        "[s]\na=" + md5 + "::18446744073709551616\n",
        "[s]\na.gz=" + md5 + "::1::" + md5 + "::1x::a\n",
        "[s]\na.gz=" + md5 + "::1::" + md5 + "::::a\n",
    };
    put(root.filePath("outside"), "keep me");
    for (const QString& text : bad) {
        description(text.toUtf8());
        lists.replaceList.append(ReplaceEntry());
        EXPECT_FALSE(compile()) << text.toStdString();
        const QString group = text.mid(1, text.indexOf(']') - 1);
        const QString expected = "Warning: product ini contains invalid line in section %1";
        EXPECT_TRUE(messages.contains(expected.arg(group)) || messages.contains(expected.arg("t")))
            << text.toStdString() << " gave " << messages.join(" | ").toStdString();
        EXPECT_TRUE(lists.replaceList.isEmpty() && lists.downloadList.isEmpty() && lists.deleteList.isEmpty());
    }
    EXPECT_TRUE(QFile::exists(root.filePath("outside")));
}

TEST_F(ProductListsTest, CommaInNameIsNoInvalidLine)
{
    const QByteArray data = "data";
    description(QString("[s]\nsome%2C%20name.gz=%1::4::%1::4::dir/a, b.txt\n").arg(md5Of(data)).toUtf8());
    ASSERT_TRUE(compile()) << messages.join('\n').toStdString();
    ASSERT_EQ(1, lists.replaceList.size());
    EXPECT_EQ("some, name.gz", lists.replaceList[0].path);
    EXPECT_EQ("dir/a, b.txt", lists.replaceList[0].installPath);
    EXPECT_EQ(4u, lists.replaceList[0].unpackedSize);
}

} // namespace

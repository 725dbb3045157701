// The download steps against nginx serving a release made by the release tool, and against the
// fault server: signature and MD5 checks, the description download, list compilation, and the
// parallel file downloads.
#include "runsettings.h"
#include "fileopfaults.h"
#include "nettestutil.h"
#include "programfolder.h"
#include "checksignaturetaskspecification.h"
#include "downloadfilelisttaskspecification.h"
#include "downloadtaskspecification.h"
#include "inidownloadtaskspecification.h"
#include "makedownloadreplacelisttaskspecification.h"

#include <QCryptographicHash>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QSignalSpy>
#include <QTimer>

#include <zlib.h>

#include <cerrno>

using namespace nettest;

namespace {

constexpr int version = 9;

QString md5Of(const QByteArray& data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

QByteArray gunzip(const QString& path)
{
    QByteArray out;
    gzFile f = gzopen(QFile::encodeName(path).constData(), "rb");
    if (!f)
        return out;
    char buf[16384];
    int n;
    while ((n = gzread(f, buf, sizeof buf)) > 0)
        out.append(buf, n);
    gzclose(f);
    return out;
}

// Runs a task to its end on the event loop.
bool runToEnd(TaskSpecification& task, int ms = 60000)
{
    task.start();
    return waitFor([&] { return task.hasEnded(); }, ms);
}

class StepsTest : public ServedReleaseTest
{
protected:
    static void SetUpTestSuite()
    {
        const QString tree = newTree();
        files = {{"update", randomBytes(3000, 2)},
                 {"plugins/lib/a.so", randomBytes(50000, 3)},
                 {"plugins/lib/b.so", randomBytes(20000, 4)},
                 {"gfx/one.png", randomBytes(7000, 5)},
                 {"gfx/two.png", randomBytes(7000, 6)},
                 {"readme.txt", "read me\n"},
                 {"sounds/x.wav", randomBytes(12000, 7)},
                 {"sounds/y.wav", randomBytes(12000, 8)}};
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            writeFile(tree + "/" + it.key(), it.value());
        writeFile(root->filePath("deletes"), "obsolete.txt\nnot-there.txt\n");
        serveRelease(version, {"--gzip", "plugins/*", "--delete-list", root->filePath("deletes")});
    }

    void SetUp() override
    {
        ServedReleaseTest::SetUp();
        if (HasFatalFailure())
            return;
        install = work.filePath("install");
        QDir().mkpath(install);
        setProgramFolderForTesting(install);
        config.clientType = "client_linux_amd64";
        config.tempDir = work.filePath("temp");
        config.streams = 6;
        QDir().mkpath(config.tempDir);
    }

    void TearDown() override { setProgramFolderForTesting(QString()); }

    QString releaseFile(const QString& name) const
    {
        return root->filePath("mirror/" + QString::number(version) + "/" + name);
    }

    void useMirrors(const QList<MirrorSpec>& specs) { loadMirrors(mirrors, work.path(), specs, version); }

    static QMap<QString, QByteArray> files;

    QTemporaryDir work;
    QString install;
    RunSettings config;
};

QMap<QString, QByteArray> StepsTest::files;

TEST_F(StepsTest, ChecksMd5AndSignatures)
{
    const QString file = work.filePath("file");
    writeFile(file, "payload");

    struct Case
    {
        QString path, md5;
        bool abortOnFail;
        bool pass;
        TaskSpecification::TaskState end;
        bool checked = true; // false: a local file could not be read, which is no mirror's fault
    };
    const QString description = releaseFile("client_linux_amd64.ini");
    const QString tampered = work.filePath("tampered.ini");
    QByteArray changed = readFile(description);
    changed[5] = char(changed[5] ^ 1);
    writeFile(tampered, changed);
    writeFile(tampered + ".sig", readFile(description + ".sig"));
    const QString shortSig = work.filePath("short.ini");
    writeFile(shortSig, readFile(description));
    writeFile(shortSig + ".sig", readFile(description + ".sig").left(127));
    const QString empty = work.filePath("empty");
    writeFile(empty, QByteArray());

    const QList<Case> cases = {
        {file, md5Of("payload").toUpper(), true, true, TaskSpecification::Finished},
        {file, md5Of("other"), false, false, TaskSpecification::Finished},
        {file, md5Of("other"), true, false, TaskSpecification::Failed},
        {empty, md5Of(QByteArray()), true, true, TaskSpecification::Finished},
        {work.filePath("missing"), md5Of("x"), false, false, TaskSpecification::Failed, false},
        {description, QString(), true, true, TaskSpecification::Finished},
        {tampered, QString(), false, false, TaskSpecification::Finished},
        {shortSig, QString(), false, false, TaskSpecification::Finished},
        {file, QString(), false, false, TaskSpecification::Failed, false}, // no .sig beside it
    };
    for (const Case& c : cases) {
        CheckSignatureTaskSpecification check(c.path, c.md5, c.abortOnFail, nullptr, 1.0);
        Texts seen;
        seen.watch(&check);
        QSignalSpy done(&check, &CheckSignatureTaskSpecification::checkDone);
        ASSERT_TRUE(runToEnd(check)) << c.path.toStdString();
        ASSERT_EQ(c.checked ? 1 : 0, done.count()) << c.path.toStdString();
        EXPECT_EQ(c.pass, c.checked && done[0][0].toBool()) << c.path.toStdString() << " " << c.md5.toStdString();
        EXPECT_EQ(c.end, check.getState()) << c.path.toStdString();
        EXPECT_EQ(!c.pass, seen.has("Signature check failed for " + c.path)) << seen.lines.join(" | ").toStdString();
    }

    CheckSignatureTaskSpecification noSig(file, QString(), false, nullptr, 1.0);
    Texts seen;
    seen.watch(&noSig);
    ASSERT_TRUE(runToEnd(noSig));
    EXPECT_EQ((QStringList{"Could not open file " + file + ".sig for reading", file + ".sig: " + qt_error_string(ENOENT),
                           "Signature check failed for " + file}),
              seen.lines);
}

TEST_F(StepsTest, FullRoadAgainstNginx)
{
    useMirrors({{"nginx", nginx->url(), 2}});
    writeFile(install + "/obsolete.txt", "old");
    writeFile(install + "/readme.txt", files["readme.txt"]); // already up to date

    IniDownloadTaskSpecification ini(&manager, &mirrors, &config, nullptr, 0.1);
    texts.watch(&ini);
    ASSERT_TRUE(runToEnd(ini));
    ASSERT_EQ(TaskSpecification::Finished, ini.getState()) << texts.lines.join(" | ").toStdString();
    EXPECT_TRUE(texts.has("Download / check product ini"));

    UpdateLists lists;
    MakeDownloadReplaceListTaskSpecification compile(&config, lists, nullptr, 0.05);
    texts.watch(&compile);
    ASSERT_TRUE(runToEnd(compile));
    ASSERT_EQ(TaskSpecification::Finished, compile.getState()) << texts.lines.join(" | ").toStdString();
    EXPECT_EQ(QStringList{"obsolete.txt"}, lists.deleteList);
    EXPECT_EQ(7, lists.replaceList.size());
    ASSERT_EQ(7, lists.downloadList.size());

    DownloadFileListTaskSpecification download(lists.downloadList, &manager, &mirrors, &config, nullptr, 0.4);
    texts.watch(&download);
    quint64 listed = 0;
    for (const DownloadEntry& e : lists.downloadList)
        listed += e.size;
    download.start();
    quint64 done = 0, total = 0, speed = 0;
    bool downloading = false;
    download.getDownloadProgress(done, total, speed, downloading);
    EXPECT_EQ(listed, total);
    ASSERT_TRUE(waitFor([&] { return download.hasEnded(); }));
    ASSERT_EQ(TaskSpecification::Finished, download.getState()) << texts.lines.join(" | ").toStdString();
    EXPECT_TRUE(texts.has("Downloading files"));

    // Every listed file lies verified in the temporary folder; packed ones unpack to the original.
    for (const ReplaceEntry& r : lists.replaceList) {
        const QString target = targetPath(r, QString());
        const QByteArray got = r.installPath.isEmpty() ? readFile(config.tempDir + "/" + r.path)
                                                       : gunzip(config.tempDir + "/" + r.path);
        EXPECT_EQ(files.value(target), got) << target.toStdString();
        if (!r.installPath.isEmpty()) {
            EXPECT_EQ(md5Of(files.value(target)), r.unpackedMd5);
        }
    }

    // A second compilation finds the temporary copies and lists nothing to download.
    MakeDownloadReplaceListTaskSpecification again(&config, lists, nullptr, 0.05);
    ASSERT_TRUE(runToEnd(again));
    EXPECT_EQ(7, lists.replaceList.size());
    EXPECT_TRUE(lists.downloadList.isEmpty());
    DownloadFileListTaskSpecification nothing(lists.downloadList, &manager, &mirrors, &config, nullptr, 0.4);
    texts.watch(&nothing);
    nothing.start();
    EXPECT_EQ(TaskSpecification::Finished, nothing.getState());
    EXPECT_TRUE(texts.has("No downloads needed"));
}

TEST_F(StepsTest, DescriptionFromAnEarlierRunIsReusedOrFetchedAfresh)
{
    useMirrors({{"faults", faults->url("/ok"), 2}});
    const QString localIni = config.tempDir + "/client_linux_amd64.ini";
    const QString description = releaseFile("client_linux_amd64.ini");

    // Both files present and valid: no download, the check carries the whole weight.
    writeFile(localIni, readFile(description));
    writeFile(localIni + ".sig", readFile(description + ".sig"));
    {
        IniDownloadTaskSpecification ini(&manager, &mirrors, &config, nullptr, 1.0);
        ASSERT_TRUE(runToEnd(ini));
        EXPECT_EQ(TaskSpecification::Finished, ini.getState());
        EXPECT_EQ(0, requests());
    }

    // A stale description of another version: the check fails, both files are fetched again.
    writeFile(localIni, "[old]\nx=" + md5Of("x").toUtf8() + "::1\n");
    IniDownloadTaskSpecification ini(&manager, &mirrors, &config, nullptr, 1.0);
    texts.watch(&ini);
    ASSERT_TRUE(runToEnd(ini));
    EXPECT_EQ(TaskSpecification::Finished, ini.getState()) << texts.lines.join(" | ").toStdString();
    EXPECT_EQ(1, ini.getVerifyFailures());
    EXPECT_TRUE(texts.has("Could not verify the product ini file. Retrying"));
    EXPECT_EQ(2, requests());
    EXPECT_EQ(readFile(description), readFile(localIni));
}

TEST_F(StepsTest, AReleaseSignedWithAnotherKeyIsToldAfterOneFetchFromEachMirror)
{
    // The publisher's likeliest mistake: the right description, signed with a key of its own.
    const QString wrong = work.filePath("wrongkey/" + QString::number(version));
    const QString ini = wrong + "/client_linux_amd64.ini";
    ASSERT_TRUE(QDir().mkpath(wrong));
    writeFile(ini, readFile(releaseFile("client_linux_amd64.ini")));
    const QString key = work.filePath("other.pem");
    ASSERT_EQ(QProcess::execute("openssl", {"genrsa", "-out", key, "1024"}), 0);
    ASSERT_EQ(QProcess::execute("openssl", {"dgst", "-sha1", "-sigopt", "rsa_padding_mode:pss", "-sigopt",
                                            "rsa_pss_saltlen:8", "-sign", key, "-out", ini + ".sig", ini}),
              0);
    testservers::ServerProcess server;
    ASSERT_TRUE(server.startFaultServer(work.filePath("wrongkey")));
    useMirrors({{"one", server.url("/ok"), 2}, {"two", server.url("/ok"), 2}});
    IniDownloadTaskSpecification step(&manager, &mirrors, &config, nullptr, 1.0);
    texts.watch(&step);
    QSignalSpy errors(&step, &TaskSpecification::error);
    ASSERT_TRUE(runToEnd(step));
    EXPECT_EQ(TaskSpecification::Failed, step.getState());
    EXPECT_EQ(3, step.getVerifyFailures()) << "one fetch from each mirror, and one more";
    int served = -1;
    ASSERT_TRUE(server.stats(&served, nullptr));
    EXPECT_EQ(6, served) << "three descriptions and their signatures";
    ASSERT_EQ(1, errors.count());
    EXPECT_EQ(IniDownloadTaskSpecification::notSignedText(), errors[0][0].toString());
}

TEST_F(StepsTest, ParallelDownloadsNeverExceedStreamsOrFreeMirrors)
{
    UpdateLists lists;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (!it.key().startsWith("plugins/"))
            lists.downloadList.append({"client", it.key(), md5Of(it.value()), quint64(it.value().size())});
    }
    ASSERT_EQ(6, lists.downloadList.size());

    struct Case
    {
        int streams;
        QStringList modes;
        int limit;
    };
    for (const Case& c : {Case{6, {"slow40", "slow41"}, 2}, Case{2, {"slow40", "slow41", "slow42", "slow43"}, 2},
                          Case{1, {"slow40", "slow41", "slow42"}, 1}}) {
        const QString temp = work.filePath(QString("temp%1").arg(c.streams));
        QDir().mkpath(temp);
        config.tempDir = temp;
        config.streams = c.streams;
        Mirrors pool;
        QList<MirrorSpec> specs;
        for (const QString& m : c.modes)
            specs.append({m, faults->url("/" + m), 2});
        loadMirrors(pool, work.path(), specs, version);
        ASSERT_TRUE(faults->resetStats());

        DownloadFileListTaskSpecification download(lists.downloadList, &manager, &pool, &config, nullptr, 1.0);
        int mostRunning = 0;
        QObject::connect(&manager, &QNetworkAccessManager::finished, &download, [&] {
            int running = 0;
            for (const MirrorRecord& m : pool.list())
                running += m.inUse;
            mostRunning = qMax(mostRunning, running);
        });
        ASSERT_TRUE(runToEnd(download));
        ASSERT_EQ(TaskSpecification::Finished, download.getState());
        int requestCount = 0, maxActive = 0;
        ASSERT_TRUE(faults->stats(&requestCount, &maxActive));
        EXPECT_EQ(6, requestCount);
        EXPECT_LE(maxActive, c.limit) << "streams " << c.streams;
        EXPECT_LE(mostRunning, c.limit);
        EXPECT_GE(maxActive, 1);
        QObject::disconnect(&manager, nullptr, &download, nullptr);
        for (const DownloadEntry& e : lists.downloadList)
            EXPECT_EQ(files.value(e.path), readFile(temp + "/" + e.path)) << e.path.toStdString();
    }
}

TEST_F(StepsTest, AMirrorThatFloodsHeadersStarvesNoOtherMirror)
{
    UpdateLists lists;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (!it.key().startsWith("plugins/"))
            lists.downloadList.append({"client", it.key(), md5Of(it.value()), quint64(it.value().size())});
    }
    for (const char* mode : {"/floodheaders", "/longheader"}) {
        SCOPED_TRACE(mode);
        const QString temp = work.filePath(QString("temp") + (mode + 1));
        QDir().mkpath(temp);
        config.tempDir = temp;
        Mirrors pool;
        pool.setRandomSource([](quint32) { return 0u; });
        // The good mirror is another server: the fault server's flood would hold its own threads.
        loadMirrors(pool, work.path(), {{"flood", faults->url(mode), 0}, {"good", nginx->url(), 2}}, version);
        QNetworkAccessManager network;
        DownloadFileListTaskSpecification download(lists.downloadList, &network, &pool, &config, nullptr, 1.0);
        Texts seen;
        seen.watch(&download);
        // The engine's poll of silent transfers, once a second.
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &download, [&] { download.checkIdleTimeout(); });
        poll.start(1000);
        ASSERT_TRUE(runToEnd(download, 60000));
        EXPECT_EQ(TaskSpecification::Finished, download.getState()) << seen.lines.join(" | ").toStdString();
        EXPECT_TRUE(seen.has("mirror flood sent no complete headers for file client/gfx/one.png"));
        ASSERT_EQ(1, pool.list().size());
        EXPECT_EQ("good", pool.list()[0].name);
    }
}

TEST_F(StepsTest, WrongMd5RemovesTheMirrorAndFetchesAgain)
{
    UpdateLists lists;
    lists.downloadList.append({"client", "gfx/one.png", md5Of(files["gfx/one.png"]), 7000});
    useMirrors({{"corrupt", faults->url("/corrupt"), 5}, {"good", faults->url("/ok"), 2}});
    DownloadFileListTaskSpecification download(lists.downloadList, &manager, &mirrors, &config, nullptr, 1.0);
    texts.watch(&download);
    ASSERT_TRUE(runToEnd(download));
    EXPECT_EQ(TaskSpecification::Finished, download.getState()) << texts.lines.join(" | ").toStdString();
    EXPECT_TRUE(texts.has("md5 sum for gfx/one.png failed, invalidating mirror and retrying"));
    ASSERT_EQ(1, mirrors.list().size());
    EXPECT_EQ("good", mirrors.list()[0].name);
    EXPECT_EQ(files["gfx/one.png"], readFile(config.tempDir + "/gfx/one.png"));

    // When every mirror serves a bad file, each is dropped in turn and the step fails.
    Mirrors bad;
    loadMirrors(bad, work.path(), {{"c1", faults->url("/corrupt"), 5}, {"c2", faults->url("/corrupt"), 5}}, version);
    Texts seen;
    seen.watch(&bad);
    DownloadFileListTaskSpecification failing(lists.downloadList, &manager, &bad, &config, nullptr, 1.0);
    seen.watch(&failing);
    ASSERT_TRUE(runToEnd(failing));
    EXPECT_EQ(TaskSpecification::Failed, failing.getState());
    EXPECT_EQ(2, seen.lines.count("md5 sum for gfx/one.png failed, invalidating mirror and retrying"));
    EXPECT_TRUE(seen.has("There are no (more) known working mirrors available"));
}

TEST_F(StepsTest, CancelOrSiblingFailureDuringAFailingCheckEndsTheStep)
{
    // The step's check fails (a corrupt file, a stale description) and is held while the news
    // arrives, or the news comes with the step's "retrying" line, before its next round is built:
    // the step must end instead of starting its children anew.
    enum News { Cancel, SiblingFails, CancelWhenRetrying };
    struct Case
    {
        const char* name;
        bool description; // the description step, else the file list
        News news;
        TaskSpecification::TaskState end;
    };
    for (const Case& c : {Case{"file list, cancel", false, Cancel, TaskSpecification::Aborted},
                          Case{"file list, a sibling fails", false, SiblingFails, TaskSpecification::Failed},
                          Case{"description, cancel", true, Cancel, TaskSpecification::Aborted},
                          Case{"file list, cancel when retrying", false, CancelWhenRetrying,
                               TaskSpecification::Aborted}}) {
        SCOPED_TRACE(c.name);
        QTemporaryDir temp;
        config.tempDir = temp.path();
        Mirrors pool;
        pool.setRandomSource([](quint32) { return 0u; });
        // With the sibling, one mirror: the second file waits for it, so it fails only after the
        // first one's check has begun.
        QList<MirrorSpec> specs{{"corrupt", faults->url("/corrupt"), 5}};
        if (c.news != SiblingFails)
            specs.append({"good", faults->url("/ok"), 2});
        loadMirrors(pool, work.path(), specs, version);
        ASSERT_TRUE(faults->resetStats());
        UpdateLists lists;
        lists.downloadList.append({"client", "gfx/one.png", md5Of(files["gfx/one.png"]), 7000});
        if (c.news == SiblingFails) {
            // The second file cannot be written: its download fails on the first block.
            lists.downloadList.append({"client", "gfx/two.png", md5Of(files["gfx/two.png"]), 7000});
            QDir().mkpath(config.tempDir + "/gfx");
            ASSERT_TRUE(QFile::link("/dev/full", config.tempDir + "/gfx/two.png"));
        }
        const QString localIni = config.tempDir + "/client_linux_amd64.ini";
        if (c.description) {
            writeFile(localIni, "[old]\nx=" + md5Of("x").toUtf8() + "::1\n");
            writeFile(localIni + ".sig", readFile(releaseFile("client_linux_amd64.ini.sig")));
        }
        std::unique_ptr<ComposedTaskSpecification> step;
        if (c.description)
            step.reset(new IniDownloadTaskSpecification(&manager, &pool, &config, nullptr, 1.0));
        else
            step.reset(new DownloadFileListTaskSpecification(lists.downloadList, &manager, &pool, &config, nullptr, 1.0));
        Texts seen;
        seen.watch(step.get());
        seen.watchErrors(step.get());
        struct LetGo
        {
            ~LetGo() { fileopfaults::clear(); }
        } letGo; // also when an assertion ends the row early
        fileopfaults::holdNext("check", c.description ? localIni : QString("one.png"));
        step->start();
        ASSERT_TRUE(waitFor([&] { return fileopfaults::isHolding(); })) << seen.lines.join(" | ").toStdString();
        if (c.news == SiblingFails)
            ASSERT_TRUE(waitFor([&] { return !seen.errors.isEmpty(); })) << seen.lines.join(" | ").toStdString();
        else if (c.news == Cancel)
            step->cancel();
        else
            QObject::connect(step.get(), &TaskSpecification::message, [&](const QString& text) {
                if (text.contains("retrying"))
                    step->cancel();
            });
        fileopfaults::release();
        ASSERT_TRUE(waitFor([&] { return step->hasEnded(); }));
        EXPECT_EQ(c.end, step->getState()) << seen.lines.join(" | ").toStdString();
        EXPECT_EQ(c.news == CancelWhenRetrying, seen.hasPart("retrying") || seen.hasPart("Retrying"))
            << seen.lines.join(" | ").toStdString();
        EXPECT_EQ(c.description ? 0 : c.news == SiblingFails ? 2 : 1, requests());
    }
}

TEST_F(StepsTest, TargetFolderThatCannotBeCreatedFailsBeforeAnyDownload)
{
    useMirrors({{"faults", faults->url("/ok"), 2}});
    writeFile(config.tempDir + "/gfx", "a file where the folder should be");
    UpdateLists lists;
    lists.downloadList.append({"client", "gfx/one.png", md5Of(files["gfx/one.png"]), 7000});
    DownloadFileListTaskSpecification download(lists.downloadList, &manager, &mirrors, &config, nullptr, 1.0);
    texts.watch(&download);
    download.start();
    EXPECT_EQ(TaskSpecification::Failed, download.getState());
    EXPECT_TRUE(texts.has("Could not create dir " + QDir(config.tempDir).canonicalPath() + "/gfx"))
        << texts.lines.join(" | ").toStdString();
    EXPECT_EQ(0, requests());
}

} // namespace

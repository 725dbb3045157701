#include "downloadtaskspecification.h"
#include "nettestutil.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QSignalSpy>
#include <QTcpServer>

#include <cerrno>

using namespace nettest;

namespace {

constexpr int version = 5;
const QString bigFile = "client/big.bin";     // 200000 bytes
const QString smallFile = "client/small.txt"; // a few bytes

class DownloadTest : public ServedReleaseTest
{
protected:
    static void SetUpTestSuite()
    {
        const QString tree = newTree();
        big = randomBytes(200000, 1);
        small = "small file\n";
        writeFile(tree + "/big.bin", big);
        writeFile(tree + "/small.txt", small);
        writeFile(tree + "/odd #1?%41 name.txt", small);
        serveRelease(version);
    }

    DownloadTaskSpecification* download(const QString& remote, qint64 expected, qint64 maxLength = -1)
    {
        auto* d = new DownloadTaskSpecification(&manager, &mirrors, remote, local.filePath(QString::number(count++)),
                                                expected, &owner, 1.0, maxLength);
        texts.watch(d);
        texts.watchErrors(d);
        return d;
    }

    void useMirrors(const QList<MirrorSpec>& specs) { loadMirrors(mirrors, local.path(), specs, version); }

    static QByteArray big, small;

    QTemporaryDir local;
    QObject owner;
    int count = 0;
};

QByteArray DownloadTest::big;
QByteArray DownloadTest::small;

struct Counters
{
    quint64 done = 0, total = 0, speed = 0;
    bool downloading = false;
};

QStringList qtWarnings;

void collectQtWarning(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type == QtWarningMsg)
        qtWarnings << text;
}

// One tick of the engine's progress poll: the time-outs first, then the counters.
Counters poll(DownloadTaskSpecification* d)
{
    Counters c;
    d->checkIdleTimeout();
    d->getDownloadProgress(c.done, c.total, c.speed, c.downloading);
    return c;
}

TEST_F(DownloadTest, FetchesFromNginxAndKeepsTheMirrorName)
{
    useMirrors({{"main", nginx->url(), 2}});
    DownloadTaskSpecification* d = download(bigFile, big.size());
    QList<double> progress;
    QObject::connect(d, &TaskSpecification::updateProgress, [&](double p) { progress << p; });
    d->start();
    ASSERT_TRUE(waitFor([&] { return ended(*d); }));
    EXPECT_EQ(TaskSpecification::Finished, d->getState());
    EXPECT_EQ(big, readFile(local.filePath("0")));
    EXPECT_EQ("main", d->mirrorRecord().name);
    EXPECT_EQ(0, mirrors.list()[0].inUse);
    EXPECT_EQ(1.0, progress.last());
    EXPECT_TRUE(texts.has("Downloading client/big.bin"));
    EXPECT_TRUE(texts.has("Downloading client/big.bin finished"));

    quint64 done = 0, total = 0, speed = 0;
    bool downloading = true;
    d->getDownloadProgress(done, total, speed, downloading);
    EXPECT_EQ(quint64(big.size()), done);
    EXPECT_EQ(quint64(big.size()), total);
    EXPECT_FALSE(downloading);
}

TEST_F(DownloadTest, FileNamesAreTakenLiterally)
{
    useMirrors({{"main", nginx->url() + "/", 2}});
    DownloadTaskSpecification* d = download("client/odd #1?%41 name.txt", small.size());
    d->start();
    ASSERT_TRUE(waitFor([&] { return ended(*d); }));
    EXPECT_EQ(TaskSpecification::Finished, d->getState()) << texts.lines.join(" | ").toStdString();
    EXPECT_EQ(small, readFile(local.filePath("0")));
}

TEST_F(DownloadTest, BadStatusOrAuthenticationRemovesTheMirrorAtOnce)
{
    const QtMessageHandler previous = qInstallMessageHandler(collectQtWarning);
    for (const QString mode : {"404", "301", "401"}) {
        Mirrors fresh;
        fresh.setRandomSource([](quint32) { return 0u; });
        loadMirrors(fresh, local.path(), {{"bad", faults->url("/" + mode), 5}, {"good", nginx->url(), 2}}, version);
        Texts seen;
        seen.watch(&fresh);
        DownloadTaskSpecification d(&manager, &fresh, smallFile, local.filePath(mode), small.size(), nullptr, 1.0);
        seen.watch(&d);
        d.start();
        ASSERT_TRUE(waitFor([&] { return ended(d); })) << mode.toStdString();
        EXPECT_EQ(TaskSpecification::Finished, d.getState()) << mode.toStdString();
        EXPECT_EQ("good", d.mirrorRecord().name);
        ASSERT_EQ(1, fresh.list().size()) << mode.toStdString();
        EXPECT_EQ("good", fresh.list()[0].name);
        EXPECT_EQ(small, readFile(local.filePath(mode)));
        if (mode != "401") {
            EXPECT_TRUE(seen.has(faults->url("/" + mode) + "/" + QString::number(version) + "/" + smallFile +
                                 " returned " + mode))
                << seen.lines.join(" | ").toStdString();
        }
    }
    qInstallMessageHandler(previous);
    // Dropping the answer must not make Qt report its error twice.
    EXPECT_EQ(QStringList(), qtWarnings);
}

TEST_F(DownloadTest, SixteenthSilentPollTimesOut)
{
    useMirrors({{"stalling", faults->url("/stall100"), 1}});
    DownloadTaskSpecification* d = download(bigFile, big.size());
    d->start();
    const QString file = local.filePath("0");

    for (int round = 1; round <= 2; ++round) {
        ASSERT_TRUE(waitFor([&] { return d->getBytesWritten() == 100; })) << "round " << round;
        Counters c = poll(d);
        EXPECT_EQ(100u, c.done);
        EXPECT_EQ(quint64(big.size()), c.total);
        EXPECT_EQ(100u, c.speed);
        EXPECT_TRUE(c.downloading);
        for (int n = 2; n <= 15; ++n) {
            c = poll(d);
            ASSERT_TRUE(c.downloading) << "poll " << n;
            EXPECT_EQ(0u, c.speed);
        }
        const QString timedOut = "file client/big.bin timed out on mirror stalling";
        EXPECT_EQ(round - 1, texts.lines.count(timedOut));
        poll(d);
        EXPECT_EQ(round, texts.lines.count(timedOut));
        if (round == 1) {
            // The partial file went; the restart (same mirror, still listed) truncates it anew.
            ASSERT_NE(nullptr, findMirror(mirrors, "stalling"));
            EXPECT_EQ(1, findMirror(mirrors, "stalling")->failures);
            EXPECT_LE(QFileInfo(file).size(), 100);
        }
    }
    ASSERT_TRUE(waitFor([&] { return ended(*d); }));
    EXPECT_EQ(TaskSpecification::Failed, d->getState());
    EXPECT_TRUE(texts.has("Mirror stalling failed too many times, removing"));
    EXPECT_TRUE(texts.has("There are no (more) known working mirrors available"));
    EXPECT_FALSE(QFile::exists(file));
}

TEST_F(DownloadTest, DataArrivingResetsTheIdleCount)
{
    // Blocks 300 ms apart; between two arrivals of at least the floor, 15 polls find no data.
    useMirrors({{"slow", faults->url("/slow300"), 1}});
    DownloadTaskSpecification* d = download(bigFile, big.size());
    d->start();
    int polls = 0;
    while (!ended(*d)) {
        const qint64 seen = d->getBytesWritten();
        ASSERT_TRUE(waitFor(
            [&] { return ended(*d) || d->getBytesWritten() >= seen + DownloadTaskSpecification::minBytesPerWindow; }));
        for (int n = 0; n < 15 && !ended(*d); ++n, ++polls)
            ASSERT_TRUE(poll(d).downloading) << "poll " << polls;
    }
    EXPECT_EQ(TaskSpecification::Finished, d->getState());
    EXPECT_GT(polls, 16);
    EXPECT_FALSE(texts.hasPart("timed out"));
}

TEST_F(DownloadTest, ATricklingMirrorTimesOutThoughDataKeepsComing)
{
    // One byte every 50 ms: never silent for a poll, but far below the floor.
    useMirrors({{"trickling", faults->url("/trickle50"), 1}, {"good", nginx->url(), 2}});
    DownloadTaskSpecification* d = download(bigFile, big.size());
    d->start();
    int polls = 0;
    while (!ended(*d) && polls < 100) {
        const qint64 seen = d->getBytesWritten();
        ASSERT_TRUE(waitFor([&] { return ended(*d) || d->getBytesWritten() != seen; }));
        if (!ended(*d) && d->mirrorRecord().name == "trickling") {
            poll(d);
            ++polls;
        }
    }
    EXPECT_EQ(TaskSpecification::Finished, d->getState()) << texts.lines.join(" | ").toStdString();
    EXPECT_EQ(big, readFile(local.filePath("0")));
    // Retries 1: a window of 16 polls on each of two attempts, then the mirror is dropped.
    EXPECT_EQ(2 * 16, polls);
    EXPECT_EQ(2, texts.lines.count("file client/big.bin timed out on mirror trickling"));
    EXPECT_TRUE(texts.has("Mirror trickling failed too many times, removing"));
    EXPECT_EQ("good", d->mirrorRecord().name);
}

TEST_F(DownloadTest, AMirrorThatFailsMidBodyIsChargedAndTheFileComesFromAnother)
{
    // HTTPS mirrors whose certificates Qt refuses (self-signed, expired, for another name), made
    // here: the mirror fails with Qt's reasons, not with "SSL handshake failed".
    testservers::ServerProcess tls[3];
    const QString hosts[] = {"127.0.0.1", "127.0.0.1", "other.example"};
    for (int i = 0; i < 3; ++i) {
        const QString folder = local.filePath(QString("cert%1").arg(i));
        ASSERT_TRUE(QDir().mkpath(folder));
        ASSERT_TRUE(testservers::makeSelfSignedCertificate(folder, hosts[i], i == 1 ? -1 : 30));
        ASSERT_TRUE(tls[i].startFaultServer(root->filePath("mirror"), folder));
    }
    const QString untrusted = "The certificate is self-signed, and untrusted";

    struct Case
    {
        QString name;
        QString url;
        QString file;
        QByteArray content;
        QString text; // sent for each failure on the bad mirror, which it names
    };
    const QList<Case> cases{
        {"extra", faults->url("/extra10"), smallFile, small,
         "Mirror bad sent more than the 11 bytes expected of client/small.txt"},
        // The connection is closed after half of the announced length.
        {"cut", faults->url("/cut100000"), bigFile, big, "Connection closed (mirror bad at %1)"},
        {"self-signed", tls[0].url("/ok"), smallFile, small, untrusted + " (mirror bad at %1)"},
        {"expired", tls[1].url("/ok"), smallFile, small, untrusted + "; The certificate has expired (mirror bad at %1)"},
        {"wrong-name", tls[2].url("/ok"), smallFile, small,
         "The host name did not match any of the valid hosts for this certificate; " + untrusted +
             " (mirror bad at %1)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.toStdString());
        Mirrors pool;
        pool.setRandomSource([](quint32) { return 0u; });
        loadMirrors(pool, local.path(), {{"bad", c.url, 1}, {"good", nginx->url(), 2}}, version);
        Texts seen;
        seen.watch(&pool);
        DownloadTaskSpecification d(&manager, &pool, c.file, local.filePath(c.name), c.content.size(), nullptr, 1.0);
        seen.watch(&d);
        d.start();
        ASSERT_TRUE(waitFor([&] { return ended(d); }));
        EXPECT_EQ(TaskSpecification::Finished, d.getState());
        EXPECT_EQ("good", d.mirrorRecord().name);
        EXPECT_EQ(c.content, readFile(local.filePath(c.name)));
        // Chosen first twice (retries 1), then dropped.
        EXPECT_EQ(nullptr, findMirror(pool, "bad"));
        EXPECT_TRUE(seen.has("Mirror bad failed too many times, removing")) << seen.lines.join(" | ").toStdString();
        const QString line = QString(c.text).replace("%1", c.url + "/" + QString::number(version));
        EXPECT_EQ(2, seen.lines.count(line)) << seen.lines.join(" | ").toStdString();
    }
}

TEST_F(DownloadTest, ALocalFaultFailsTheDownloadWithoutChargingTheMirror)
{
    QTcpServer closed; // a port where nothing listens any more
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost));
    const quint16 closedPort = closed.serverPort();
    closed.close();
    struct Case
    {
        QString name;
        QNetworkProxy proxy;
        QString error;
    };
    const QList<Case> cases{
        // Writes into the download's file end with ENOSPC.
        {"full", QNetworkProxy::NoProxy, local.filePath("full") + ": " + qt_error_string(ENOSPC)},
        {"refusing", {QNetworkProxy::HttpProxy, "127.0.0.1", closedPort},
         "The proxy 127.0.0.1:" + QString::number(closedPort) + " refused the connection"},
        {"unknown", {QNetworkProxy::HttpProxy, "no-such-proxy.invalid", 3128},
         "The proxy no-such-proxy.invalid:3128 was not found"},
        // The fault server answers a request in a proxy's form with 407.
        {"password", {QNetworkProxy::HttpProxy, "127.0.0.1", quint16(faults->port())},
         "The proxy 127.0.0.1:" + QString::number(faults->port()) + " demands authentication"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.toStdString());
        Mirrors pool;
        loadMirrors(pool, local.path(), {{"main", nginx->url(), 2}}, version);
        manager.setProxy(c.proxy);
        const QString file = local.filePath(c.name);
        if (c.name == "full") {
            ASSERT_TRUE(QFile::link("/dev/full", file));
        }
        DownloadTaskSpecification d(&manager, &pool, bigFile, file, big.size(), nullptr, 1.0);
        Texts seen;
        seen.watch(&d);
        seen.watchErrors(&d);
        d.start();
        ASSERT_TRUE(waitFor([&] { return ended(d); }));
        EXPECT_EQ(TaskSpecification::Failed, d.getState());
        EXPECT_EQ(QStringList{c.error}, seen.errors) << seen.lines.join(" | ").toStdString();
        ASSERT_EQ(1, pool.list().size());
        EXPECT_EQ(0, pool.list()[0].failures);
        EXPECT_EQ(0, pool.list()[0].inUse);
        EXPECT_FALSE(QFileInfo(file).isSymLink()) << "the partial download is removed";
    }
    manager.setProxy(QNetworkProxy::NoProxy);
}

TEST_F(DownloadTest, EndlessBodyOfUnknownLengthIsCapped)
{
    useMirrors({{"endless", faults->url("/endless"), 1}});
    DownloadTaskSpecification* d = download(smallFile, -1, 65536);
    d->start();
    ASSERT_TRUE(waitFor([&] { return ended(*d); }));
    EXPECT_EQ(TaskSpecification::Failed, d->getState());
    EXPECT_EQ(2, texts.lines.filter("sent more than the 65536 bytes").size()) << texts.lines.join(" | ").toStdString();
    EXPECT_TRUE(mirrors.list().isEmpty());
}

TEST_F(DownloadTest, WithoutLengthNoFractionIsReported)
{
    useMirrors({{"nolength", faults->url("/nolength"), 1}});
    DownloadTaskSpecification* d = download(bigFile, -1);
    QList<double> progress;
    QObject::connect(d, &TaskSpecification::updateProgress, [&](double p) { progress << p; });
    d->start();
    ASSERT_TRUE(waitFor([&] { return ended(*d); }));
    EXPECT_EQ(TaskSpecification::Finished, d->getState());
    EXPECT_EQ(big, readFile(local.filePath("0")));
    for (double p : progress)
        EXPECT_TRUE(p == 0.0 || p == 1.0) << p;
}

TEST_F(DownloadTest, WaitsForABusyMirrorAndNeverStartsAfterItEnded)
{
    // One mirror of capacity 1 that holds big files after 100000 bytes but serves small ones whole.
    useMirrors({{"one", faults->url("/stall100000"), 1}});
    DownloadTaskSpecification* holder = download(bigFile, big.size());
    DownloadTaskSpecification* cancelled = download(smallFile, small.size());
    DownloadTaskSpecification* reset = download(smallFile, small.size());
    DownloadTaskSpecification* waiter = download(smallFile, small.size());
    holder->start();
    ASSERT_TRUE(waitFor([&] { return holder->getBytesWritten() == 100000; }));
    for (DownloadTaskSpecification* d : {cancelled, reset, waiter}) {
        d->start();
        EXPECT_TRUE(d->isWaitingForMirror());
        EXPECT_EQ(TaskSpecification::Running, d->getState());
    }
    QSignalSpy cancelSpy(cancelled, &TaskSpecification::canceled);
    cancelled->cancel();
    EXPECT_EQ(TaskSpecification::Aborted, cancelled->getState());
    EXPECT_EQ(1, cancelSpy.count());
    reset->reset();
    EXPECT_EQ(TaskSpecification::Idle, reset->getState());

    // Aborting the holder's request wakes the waiting download, which gets the mirror.
    holder->cancel();
    EXPECT_EQ(TaskSpecification::Aborted, holder->getState());
    ASSERT_TRUE(waitFor([&] { return ended(*waiter); }));
    EXPECT_EQ(TaskSpecification::Finished, waiter->getState());
    EXPECT_EQ(small, readFile(local.filePath("3")));

    EXPECT_EQ(TaskSpecification::Aborted, cancelled->getState());
    EXPECT_EQ(TaskSpecification::Idle, reset->getState());
    EXPECT_FALSE(cancelled->hasReply() || reset->hasReply());
    EXPECT_FALSE(QFile::exists(local.filePath("1")) || QFile::exists(local.filePath("2")));
    EXPECT_EQ(2, requests());
    EXPECT_EQ(0, mirrors.list()[0].inUse);
}

TEST_F(DownloadTest, MirrorIsGivenBackExactlyOnce)
{
    useMirrors({{"one", faults->url("/stall100000"), 1}});
    DownloadTaskSpecification* first = download(smallFile, small.size());
    first->start();
    ASSERT_TRUE(waitFor([&] { return ended(*first); }));
    ASSERT_EQ(TaskSpecification::Finished, first->getState());

    DownloadTaskSpecification* holder = download(bigFile, big.size());
    holder->start();
    ASSERT_TRUE(waitFor([&] { return holder->getBytesWritten() == 100000; }));
    EXPECT_EQ(1, mirrors.list()[0].inUse);
    first->reset();
    first->cancel();
    EXPECT_EQ(1, mirrors.list()[0].inUse) << "a finished download gave its mirror back twice";

    // A download deleted mid-transfer gives its mirror back too.
    delete holder;
    EXPECT_EQ(0, mirrors.list()[0].inUse);
}

TEST_F(DownloadTest, SetupFailures)
{
    DownloadTaskSpecification* none = download(smallFile, small.size());
    none->start();
    EXPECT_EQ(TaskSpecification::Failed, none->getState());
    EXPECT_TRUE(texts.has("There are no (more) known working mirrors available"));

    useMirrors({{"main", nginx->url(), 2}});
    auto* unwritable = new DownloadTaskSpecification(&manager, &mirrors, smallFile, local.filePath("no/such/dir/f"),
                                                     small.size(), &owner, 1.0);
    texts.watchErrors(unwritable);
    unwritable->start();
    EXPECT_EQ(TaskSpecification::Failed, unwritable->getState());
    EXPECT_EQ(QStringList{"Unable to create file " + local.filePath("no/such/dir/f") + " for saving"}, texts.errors);
    EXPECT_EQ(0, mirrors.list()[0].inUse);
}

TEST_F(DownloadTest, SiblingCancellationFailsARunningDownload)
{
    useMirrors({{"one", faults->url("/stall100000"), 1}});
    DownloadTaskSpecification* d = download(bigFile, big.size());
    d->start();
    ASSERT_TRUE(waitFor([&] { return d->getBytesWritten() == 100000; }));
    QMetaObject::invokeMethod(d, "onOtherTaskCancelled", Q_ARG(TaskSpecification*, nullptr));
    EXPECT_EQ(TaskSpecification::Failed, d->getState());
    EXPECT_TRUE(texts.has("Abort downloading client/big.bin"));
    EXPECT_FALSE(QFile::exists(local.filePath("0")));
    EXPECT_EQ(0, mirrors.list()[0].inUse);
}

} // namespace

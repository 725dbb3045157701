// The update engine in-process against nginx mirrors on loopback serving a signed release: the
// preparation and its session record, the temporary folder rules, the failure roads (no mirrors,
// bad signature, wrong MD5), cancel and restart, and a whole run. Signals are watched with spies.
#include "configuration.h"
#include "fileopfaults.h"
#include "maintaskspecification.h"
#include "programfolder.h"
#include "testservers.h"
#include "testsupport.h"
#include "updateengine.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QSettings>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <memory>

#include <sys/stat.h>

using testservers::ServerProcess;
using testsupport::makeTempFolder;
using testsupport::waitUntil;
using testsupport::writeFile;

namespace {

const int version = 4711;
const int runTimeoutMs = 120000;

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList texts(const QSignalSpy& spy)
{
    QStringList list;
    for (const QList<QVariant>& call : spy)
        list << call.at(0).toString();
    return list;
}

class UpdateEngineTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        installation = makeTempFolder("installation");
        setProgramFolderForTesting(installation);
        // The installed client: one file the release changes, one it keeps, one it deletes.
        ASSERT_TRUE(writeFile(installation + "/vxmclient_linux_amd64", "old client"));
        ASSERT_TRUE(writeFile(installation + "/data/kept.txt", "kept"));
        ASSERT_TRUE(writeFile(installation + "/obsolete.txt", "to be deleted"));

        release = makeTempFolder("release");
        ASSERT_TRUE(writeFile(release + "/vxmclient_linux_amd64", "new client " + QByteArray(20000, 'c')));
        ASSERT_TRUE(writeFile(release + "/data/kept.txt", "kept"));
        ASSERT_TRUE(writeFile(release + "/data/new.txt", "a new file"));
        ASSERT_TRUE(writeFile(release + "/lib/libnew.so.5", QByteArray(50000, 'l')));
        const QString deletes = makeTempFolder("deletes") + "/list";
        ASSERT_TRUE(writeFile(deletes, "obsolete.txt\n"));
        mirrorRoot = makeTempFolder("mirror");
        ASSERT_TRUE(testservers::makeRelease(release, version, mirrorRoot,
                                             {"--gzip", "lib/*", "--delete-list", deletes}));

        config.version = version;
        config.clientType = "client_linux_amd64";
    }
    void TearDown() override
    {
        engine.reset();
        setProgramFolderForTesting(QString());
    }

    // mirrors.ini naming each server (none: an empty list).
    void writeMirrors(const QList<ServerProcess*>& servers)
    {
        QByteArray text = "[mirrors]\nsize=" + QByteArray::number(servers.size()) + "\n";
        for (int i = 0; i < servers.size(); ++i)
            text += QByteArray::number(i + 1) + "\\mirror=m" + QByteArray::number(i + 1) + "\n";
        for (int i = 0; i < servers.size(); ++i)
            text += "[m" + QByteArray::number(i + 1) + "]\nurl=" + servers[i]->url().toUtf8() + "\n";
        ASSERT_TRUE(writeFile(installation + "/mirrors.ini", text));
    }
    void serveMirrors(int count)
    {
        for (int i = 0; i < count; ++i) {
            servers.emplace_back(new ServerProcess);
            ASSERT_TRUE(servers.back()->startNginx(mirrorRoot));
        }
        QList<ServerProcess*> list;
        for (auto& server : servers)
            list << server.get();
        writeMirrors(list);
    }
    void makeEngine()
    {
        engine.reset(new UpdateEngine(&config, nullptr));
        fatal.reset(new QSignalSpy(engine.get(), &UpdateEngine::fatalError));
        errors.reset(new QSignalSpy(engine.get(), &UpdateEngine::error));
        messages.reset(new QSignalSpy(engine.get(), &UpdateEngine::message));
        finished.reset(new QSignalSpy(engine.get(), &UpdateEngine::updateFinished));
        canceled.reset(new QSignalSpy(engine.get(), &UpdateEngine::updateCanceled));
        counters.reset(new QSignalSpy(engine.get(), &UpdateEngine::downloadProgress));
        progress.reset(new QSignalSpy(engine.get(), &UpdateEngine::updateProgress));
    }
    // Prepares and runs to the end; true when the run finished.
    bool run()
    {
        if (!engine->prepareUpdate())
            return false;
        EXPECT_EQ(engine->getState(), UpdateEngine::Prepared);
        engine->startUpdate();
        EXPECT_TRUE(waitUntil([&] { return finished->size() + canceled->size() > 0; }, runTimeoutMs));
        return finished->size() == 1;
    }
    QString recordedDir()
    {
        QString dir;
        return loadSessionRecord(nullptr, nullptr, &dir) ? dir : QString();
    }
    bool installedEqualsRelease()
    {
        QDirIterator it(release, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            const QString installed = installation + path.mid(release.size());
            if (readAll(installed) != readAll(path)) {
                ADD_FAILURE() << "differs: " << installed.toStdString();
                return false;
            }
        }
        return true;
    }

    QString installation;
    QString release;
    QString mirrorRoot;
    Configuration config;
    std::vector<std::unique_ptr<ServerProcess>> servers;
    std::unique_ptr<UpdateEngine> engine;
    std::unique_ptr<QSignalSpy> fatal, errors, messages, finished, canceled, counters, progress;
};

TEST_F(UpdateEngineTest, WholeRunBringsTheInstallationToTheReleaseAndCleansUp)
{
    serveMirrors(2);
    makeEngine();
    ASSERT_TRUE(run()) << texts(*messages).join("\n").toStdString();
    EXPECT_EQ(engine->getState(), UpdateEngine::Finished);
    EXPECT_FALSE(engine->isRunning());
    EXPECT_TRUE(installedEqualsRelease());
    EXPECT_FALSE(QFileInfo::exists(installation + "/obsolete.txt"));
    EXPECT_TRUE(recordedDir().isEmpty());
    EXPECT_TRUE(QDir(QDir::tempPath()).entryList({"voxmere_temp_*"}, QDir::AllEntries | QDir::System).isEmpty());
    const QStringList lines = texts(*messages);
    EXPECT_EQ(lines.first(), "Starting update process");
    EXPECT_TRUE(lines.contains("Update successfully finished"));
    EXPECT_TRUE(lines.contains("Temporary files removed."));
    EXPECT_TRUE(fatal->isEmpty());
    EXPECT_TRUE(errors->isEmpty()) << texts(*errors).join("\n").toStdString();
    // The last counters hide the display; the progress ends at the whole.
    ASSERT_FALSE(counters->isEmpty());
    EXPECT_EQ(counters->last(), (QList<QVariant>{0ULL, 0ULL, 0ULL, false}));
    EXPECT_NEAR(progress->last().at(0).toDouble(), 1.0, 1e-9);
    // Cancelling a finished run does nothing.
    engine->cancelUpdate();
    EXPECT_EQ(engine->getState(), UpdateEngine::Finished);
}

// Every file and folder of the installation (update.ini, which each preparation writes, left out).
QMap<QString, QString> installationState(const QString& root)
{
    return testsupport::treeSnapshot(root, [](const QString& relative) { return relative != "update.ini"; });
}

TEST_F(UpdateEngineTest, AFailedOrAbortedReplacementIsUndoneButALateAbortFinishesTheUpdate)
{
    serveMirrors(1);
    const QMap<QString, QString> before = installationState(installation);
    makeEngine();

    // The unpack of the new library fails (the replacement of the client before it is undone).
    fileopfaults::failMatching("unzip", "libnew.so.5");
    EXPECT_FALSE(run());
    EXPECT_EQ(engine->getState(), UpdateEngine::Cancelled);
    const QStringList lines = texts(*messages);
    EXPECT_TRUE(lines.contains("rolling back file updates")) << lines.join("\n").toStdString();
    // The new content is written beside the installed file, under a hidden name.
    const QString failure = QString("Could not unzip '%1/lib/libnew.so.5.gz' to '%2/lib/.libnew.so.5.vxmnew'")
                                .arg(config.tempDir, installation);
    ASSERT_TRUE(lines.contains(failure)) << lines.join("\n").toStdString();
    EXPECT_EQ(lines.value(lines.indexOf(failure) + 1), installation + "/lib/.libnew.so.5.vxmnew: Input/output error");
    EXPECT_FALSE(lines.contains("User aborted update"));
    EXPECT_EQ(installationState(installation), before);

    // Aborted while the unpack runs: the same road, as the user's abort.
    fileopfaults::clear();
    fileopfaults::holdNext("unzip", "libnew.so.5");
    engine->releaseTask();
    messages->clear();
    canceled->clear();
    ASSERT_TRUE(engine->prepareUpdate());
    engine->startUpdate();
    ASSERT_TRUE(waitUntil([] { return fileopfaults::isHolding(); }, runTimeoutMs));
    engine->cancelUpdate();
    fileopfaults::release();
    ASSERT_TRUE(waitUntil([&] { return canceled->size() == 1; }, runTimeoutMs));
    EXPECT_TRUE(texts(*messages).contains("User aborted update"));
    EXPECT_EQ(installationState(installation), before);

    // An abort that comes when the last file is replaced but the step has not yet seen it (as
    // during the last checksum check, which cannot be stopped), and another while the clean-up
    // starts: every file stays replaced, so the update finishes.
    fileopfaults::clear();
    engine->releaseTask();
    messages->clear();
    canceled->clear();
    int aborts = 0;
    // True once every file operation and check of the replacement has ended, before the files
    // and the step have seen it: the moment the last check (which cannot be stopped) ends.
    auto lastCheckEnded = [&] {
        const auto* step = qobject_cast<const ComposedTaskSpecification*>(engine->task()->getAllTasks().value(3));
        if (!step || step->getState() != TaskSpecification::Running || step->getAllTasks().isEmpty())
            return false;
        for (const TaskSpecification* file : step->getAllTasks()) {
            const auto* parts = qobject_cast<const ComposedTaskSpecification*>(file);
            if (parts && parts->getAllTasks().isEmpty())
                return false; // not started yet
            for (const TaskSpecification* part : parts ? parts->getAllTasks() : QList<TaskSpecification*>{})
                if (part->getState() != TaskSpecification::Finished)
                    return false;
            if (!parts && file->getState() != TaskSpecification::Finished)
                return false;
        }
        return true;
    };
    QObject::connect(engine.get(), &UpdateEngine::updateProgress, [&] {
        if (aborts == 0 && lastCheckEnded()) {
            ++aborts;
            engine->cancelUpdate();
        }
    });
    QObject::connect(engine.get(), &UpdateEngine::message, [&](const QString& text) {
        if (text == "Starting deleting files") {
            ++aborts;
            engine->cancelUpdate();
        }
    });
    ASSERT_TRUE(run()) << texts(*messages).join("\n").toStdString();
    EXPECT_EQ(aborts, 2);
    EXPECT_FALSE(texts(*messages).contains("User aborted update"));
    EXPECT_TRUE(installedEqualsRelease());
    EXPECT_FALSE(QFileInfo::exists(installation + "/obsolete.txt"));
    EXPECT_FALSE(QFileInfo::exists(installation + "/old/replace.journal"));
    EXPECT_TRUE(QDir(installation + "/old").entryList(QDir::Files | QDir::Hidden).isEmpty());
}

TEST_F(UpdateEngineTest, PreparationNeedsMirrorsIniAndIgnoresCancelWhilePrepared)
{
    makeEngine();
    EXPECT_FALSE(engine->prepareUpdate());
    EXPECT_EQ(texts(*fatal), QStringList{"mirrors.ini is missing, cannot proceed."});
    EXPECT_EQ(engine->getState(), UpdateEngine::Idle);
    EXPECT_TRUE(recordedDir().isEmpty());

    writeMirrors({});
    ASSERT_TRUE(engine->prepareUpdate());
    EXPECT_TRUE(engine->isRunning());
    engine->cancelUpdate();
    EXPECT_EQ(engine->getState(), UpdateEngine::Prepared);
    EXPECT_EQ(recordedDir(), config.tempDir);
    EXPECT_TRUE(isOwnRunFolder(config.tempDir));
}

TEST_F(UpdateEngineTest, NoMirrorsFailsTheRunAndKeepsTheFolderForARestart)
{
    writeMirrors({});
    makeEngine();
    EXPECT_FALSE(run());
    EXPECT_EQ(canceled->size(), 1);
    EXPECT_EQ(engine->getState(), UpdateEngine::Cancelled);
    EXPECT_TRUE(texts(*messages).contains("There are no (more) known working mirrors available"));
    EXPECT_FALSE(texts(*messages).contains("User aborted update"));
    EXPECT_EQ(readAll(installation + "/vxmclient_linux_amd64"), "old client");
    const QString first = config.tempDir;
    EXPECT_EQ(recordedDir(), first);

    // Restart of the same version: the folder is used again.
    engine->releaseTask();
    EXPECT_EQ(engine->getState(), UpdateEngine::Idle);
    messages->clear();
    ASSERT_TRUE(engine->prepareUpdate());
    EXPECT_EQ(config.tempDir, first);
    EXPECT_TRUE(texts(*messages).contains(QString("Previous update session for v. %1 found").arg(version)));
}

TEST_F(UpdateEngineTest, BadSignatureFailsWithoutTouchingTheInstallation)
{
    const QString sig = mirrorRoot + QString("/%1/client_linux_amd64.ini.sig").arg(version);
    QByteArray forged = readAll(sig);
    ASSERT_FALSE(forged.isEmpty());
    forged[10] = char(forged[10] ^ 0x55);
    ASSERT_TRUE(writeFile(sig, forged));
    serveMirrors(2);
    makeEngine();
    EXPECT_FALSE(run());
    EXPECT_EQ(engine->getState(), UpdateEngine::Cancelled);
    EXPECT_EQ(readAll(installation + "/vxmclient_linux_amd64"), "old client");
    EXPECT_TRUE(QFileInfo::exists(installation + "/obsolete.txt"));
    EXPECT_FALSE(QFileInfo::exists(installation + "/data/new.txt"));
}

TEST_F(UpdateEngineTest, WrongMd5OnEveryMirrorFailsWithoutTouchingTheInstallation)
{
    ASSERT_TRUE(writeFile(mirrorRoot + QString("/%1/client/data/new.txt").arg(version), "a NEW file"));
    serveMirrors(2);
    makeEngine();
    EXPECT_FALSE(run());
    EXPECT_EQ(engine->getState(), UpdateEngine::Cancelled);
    EXPECT_TRUE(texts(*messages).contains("There are no (more) known working mirrors available"))
        << texts(*messages).join("\n").toStdString();
    EXPECT_EQ(readAll(installation + "/vxmclient_linux_amd64"), "old client");
    EXPECT_FALSE(QFileInfo::exists(installation + "/data/new.txt"));
}

TEST_F(UpdateEngineTest, CancelWhileDownloadingEndsAsUserAbort)
{
    // One mirror that stalls after a few bytes of every file.
    servers.emplace_back(new ServerProcess);
    ASSERT_TRUE(servers.back()->startFaultServer(mirrorRoot));
    QByteArray text = "[mirrors]\nsize=1\n1\\mirror=slow\n[slow]\nurl=" + servers.back()->url("/stall4").toUtf8() + "\n";
    ASSERT_TRUE(writeFile(installation + "/mirrors.ini", text));
    makeEngine();
    ASSERT_TRUE(engine->prepareUpdate());
    engine->startUpdate();
    ASSERT_TRUE(waitUntil([&] {
        for (const QList<QVariant>& call : *counters)
            if (call.at(3).toBool())
                return true;
        return false;
    }, 30000)) << "no download progress reported";
    engine->cancelUpdate();
    ASSERT_TRUE(waitUntil([&] { return canceled->size() == 1; }, 30000));
    EXPECT_TRUE(texts(*messages).contains("User aborted update"));
    EXPECT_EQ(engine->getState(), UpdateEngine::Cancelled);
    EXPECT_EQ(counters->last(), (QList<QVariant>{0ULL, 0ULL, 0ULL, false}));
    EXPECT_FALSE(recordedDir().isEmpty());
}

TEST_F(UpdateEngineTest, OnlyOwnRunFoldersAreReusedOrRemoved)
{
    writeMirrors({});
    makeEngine();
    const QString tempPath = QDir::tempPath();

    struct Case
    {
        const char* name;
        QString dir;
        int recordedVersion;
    };
    // A folder outside the temporary path (the installation itself), a folder of another name,
    // a run folder others may write to, and a symbolic link to a run folder.
    ASSERT_TRUE(writeFile(tempPath + "/voxmere_temp_500/keep", "x"));
    ASSERT_EQ(::chmod(QFile::encodeName(tempPath + "/voxmere_temp_500").constData(), 0777), 0);
    ASSERT_TRUE(writeFile(tempPath + "/voxmere_temp_600/keep", "x"));
    ASSERT_TRUE(QFile::link(tempPath + "/voxmere_temp_600", tempPath + "/voxmere_temp_601"));
    ASSERT_TRUE(writeFile(tempPath + "/other/keep", "x"));
    const Case cases[] = {
        {"installation", installation, version + 1},
        {"installation, same version", installation, version},
        {"other name", tempPath + "/other", version + 1},
        {"writable by others", tempPath + "/voxmere_temp_500", version + 1},
        {"symbolic link", tempPath + "/voxmere_temp_601", version},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        storeSessionRecord(c.recordedVersion, c.dir, "client_linux_amd64");
        engine->releaseTask();
        ASSERT_TRUE(engine->prepareUpdate());
        EXPECT_NE(QDir(config.tempDir).canonicalPath(), QDir(c.dir).canonicalPath());
        EXPECT_TRUE(isOwnRunFolder(config.tempDir));
        EXPECT_EQ(recordedDir(), config.tempDir);
    }
    EXPECT_TRUE(QFileInfo::exists(installation + "/vxmclient_linux_amd64"));
    EXPECT_TRUE(QFileInfo::exists(tempPath + "/voxmere_temp_500/keep"));
    EXPECT_TRUE(QFileInfo::exists(tempPath + "/voxmere_temp_600/keep"));
    EXPECT_TRUE(QFileInfo::exists(tempPath + "/other/keep"));

    // A run folder of another version is removed, with its record.
    const QString own = config.tempDir;
    ASSERT_TRUE(writeFile(own + "/sub/file", "downloaded"));
    storeSessionRecord(version + 1, own, "client_linux_amd64");
    messages->clear();
    engine->releaseTask();
    ASSERT_TRUE(engine->prepareUpdate());
    EXPECT_FALSE(QFileInfo::exists(own + "/sub/file"));
    EXPECT_TRUE(texts(*messages).contains(
        QString("Cleanup previous session (v. %1, %2) files...").arg(version + 1).arg(own)));
    EXPECT_TRUE(texts(*messages).contains("Ok"));
}

TEST(RemoveDirectoryTest, LinksAreNeitherFollowedNorRemoved)
{
    const QString outside = makeTempFolder("outside");
    ASSERT_TRUE(writeFile(outside + "/precious", "x"));
    const QString run = makeTempFolder("run");
    ASSERT_TRUE(writeFile(run + "/a/.hidden", "x"));
    ASSERT_TRUE(writeFile(run + "/b", "x"));
    ASSERT_TRUE(QFile::link(outside, run + "/a/link"));
    removeDirectoryRecursively(run);
    EXPECT_TRUE(QFileInfo::exists(outside + "/precious"));
    EXPECT_FALSE(QFileInfo::exists(run + "/b"));
    EXPECT_FALSE(QFileInfo::exists(run + "/a/.hidden"));
    // The folder that holds the link stays.
    EXPECT_TRUE(QFileInfo(run + "/a/link").isSymLink());
}

TEST(UpdateEngineProxyTest, ProxyOfUpdateIniIsUsedForEveryDownload)
{
    struct Case
    {
        QByteArray setting;
        QNetworkProxy::ProxyType type;
        QString host;
        quint16 port;
        bool problem;
    };
    const Case cases[] = {
        {"", QNetworkProxy::NoProxy, "", 0, false},
        {"http://proxy.example:8080", QNetworkProxy::HttpProxy, "proxy.example", 8080, false},
        {"http://proxy.example", QNetworkProxy::HttpProxy, "proxy.example", 3128, false},
        // Parses as scheme and path: no host to connect to.
        {"proxy.example:8080", QNetworkProxy::DefaultProxy, "", 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.setting.constData());
        const QString installation = makeTempFolder("proxy");
        setProgramFolderForTesting(installation);
        ASSERT_TRUE(writeFile(installation + "/update.ini", "[update]\nproxy=" + c.setting + "\n"));
        Configuration config;
        UpdateEngine engine(&config, nullptr);
        const QNetworkProxy proxy = engine.network()->proxy();
        EXPECT_EQ(proxy.type(), c.type);
        if (c.type == QNetworkProxy::HttpProxy) {
            EXPECT_EQ(proxy.hostName(), c.host);
            EXPECT_EQ(proxy.port(), c.port);
        }
        EXPECT_EQ(engine.proxyProblem().isEmpty(), !c.problem);
        if (c.problem) {
            EXPECT_EQ(engine.proxyProblem(),
                      "'" + c.setting + "' is an invalid proxy specification (expected http://host:port)");
        }
    }
    setProgramFolderForTesting(QString());
}

} // namespace

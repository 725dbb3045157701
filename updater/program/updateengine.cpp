#include "updateengine.h"

#include "banner.h"
#include "configuration.h"
#include "cryptwrapper.h"
#include "fileerror.h"
#include "maintaskspecification.h"
#include "mirrors.h"
#include "nativepath.h"
#include "programfolder.h"
#include "weburl.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QTimer>
#include <QUrl>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

UpdateEngine::UpdateEngine(Configuration* config, QObject* parent)
    : QObject(parent), config(config), progressTimer(new QTimer(this)), networkManager(new QNetworkAccessManager(this)),
      bannerNetworkManager(new QNetworkAccessManager(this)), bannerTimer(new QTimer(this))
{
    bannerTimer->setSingleShot(true);
    bannerTimer->setInterval(maxBannerMs);
    connect(bannerTimer, &QTimer::timeout, this, &UpdateEngine::dropBannerDownload);
    connect(config, &Configuration::message, this, &UpdateEngine::message);
    connect(progressTimer, &QTimer::timeout, this, &UpdateEngine::onTimer);
    config->readUpdateSettings();
    setUpProxy();
}

UpdateEngine::~UpdateEngine() = default;

void UpdateEngine::setUpProxy()
{
    if (config->proxy.isEmpty()) {
        networkManager->setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
        bannerNetworkManager->setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
        return;
    }
    // "host:port" parses as a scheme and a path: without a host there is nothing to connect to.
    const QUrl url(config->proxy, QUrl::TolerantMode);
    if (!url.isValid() || url.host().isEmpty()) {
        proxyError = QStringLiteral("'%1' is an invalid proxy specification (expected http://host:port)")
                         .arg(config->proxy);
        emit fatalError(proxyError);
        return;
    }
    const QNetworkProxy proxy(QNetworkProxy::HttpProxy, url.host(QUrl::FullyDecoded), quint16(url.port(3128)),
                              QString(), QString());
    networkManager->setProxy(proxy);
    bannerNetworkManager->setProxy(proxy);
}

void UpdateEngine::startBannerLookup()
{
    if (bannerReply)
        return;
    auto* banner = new Banner(this);
    connect(banner, &Banner::bannerFound, this, &UpdateEngine::onBannerFound);
    banner->resolveHost();
}

void UpdateEngine::onBannerFound(QString bannerUrl, QString clickUrl)
{
    // One image at a time: a second answer while the first image is on its way is ignored.
    if (bannerReply)
        return;
    // The address comes unauthenticated from the network: only web addresses are fetched.
    const QUrl url(bannerUrl, QUrl::TolerantMode);
    if (!isOpenableWebAddress(url))
        return;
    bannerClickUrl = clickUrl;
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    bannerReply = bannerNetworkManager->get(request);
    bannerTimer->start();
    connect(bannerReply, &QNetworkReply::finished, this, &UpdateEngine::onBannerDownloadFinished);
    connect(bannerReply, &QNetworkReply::metaDataChanged, this, &UpdateEngine::onBannermetaDataChanged);
    // What arrives counts too: a body without Content-Length (or beyond it) is cut off here.
    connect(bannerReply, &QNetworkReply::downloadProgress, this, [this](qint64 received, qint64) {
        if (received > maxBannerBytes)
            dropBannerDownload();
    });
}

void UpdateEngine::onBannermetaDataChanged()
{
    if (!bannerReply)
        return;
    const QVariant length = bannerReply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() > maxBannerBytes)
        dropBannerDownload();
}

void UpdateEngine::dropBannerDownload()
{
    bannerTimer->stop();
    QNetworkReply* reply = bannerReply;
    bannerReply = nullptr;
    if (!reply)
        return;
    reply->disconnect(this);
    reply->abort();
    reply->deleteLater();
}

void UpdateEngine::onBannerDownloadFinished()
{
    if (!bannerReply)
        return;
    bannerTimer->stop();
    QNetworkReply* reply = bannerReply;
    bannerReply = nullptr;
    const QByteArray data = reply->read(maxBannerBytes);
    reply->deleteLater();
    emit bannerFound(data, bannerClickUrl);
}

bool UpdateEngine::isRunning() const
{
    return engineState == Prepared || engineState == Running;
}

bool UpdateEngine::prepareUpdate()
{
    try {
        initCrypto();
    } catch (const crypt_exception& e) {
        emit fatalError(QString::fromLocal8Bit(e.what()));
        return false;
    }

    const QString appDir = programFolder();
    if (!QFileInfo::exists(appDir + QStringLiteral("/mirrors.ini"))) {
        emit fatalError(QStringLiteral("%1 is missing, cannot proceed.").arg(QStringLiteral("mirrors.ini")));
        return false;
    }

    // (The mirror choice draws from QRandomGenerator, which seeds itself.)

    QString dir;
    int recordedVersion = 0;
    QString recordedDir;
    if (loadSessionRecord(&recordedVersion, nullptr, &recordedDir)) {
        if (!isOwnRunFolder(recordedDir)) {
            // Not a folder this updater made: neither reused nor removed.
            emit message(QStringLiteral("Ignoring recorded temporary folder %1").arg(recordedDir));
            clearSessionRecord();
        } else if (recordedVersion == config->version) {
            emit message(QStringLiteral("Previous update session for v. %1 found").arg(recordedVersion));
            dir = recordedDir;
        } else {
            emit message(QStringLiteral("Cleanup previous session (v. %1, %2) files...")
                             .arg(recordedVersion)
                             .arg(recordedDir));
            QString reason;
            if (removeRunFolder(recordedDir, &reason)) {
                emit message(QStringLiteral("Ok"));
            } else {
                emit message(QStringLiteral("Failed to remove directory"));
                emit message(reason);
            }
            clearSessionRecord();
        }
    }

    if (!config->ensureTempDirectory(dir))
        return false;
    storeSessionRecord(config->version, config->tempDir, config->clientType);

    mirrors = new Mirrors(this);
    connect(mirrors, &Mirrors::fatalError, this, &UpdateEngine::fatalError);
    connect(mirrors, &Mirrors::message, this, &UpdateEngine::message);
    const bool ok = config->channel == AlphaChannel
                        ? mirrors->loadAlphaMirror(updateIniPath(), config->version)
                        : mirrors->loadMirrorsIni(appDir + QStringLiteral("/mirrors.ini"), config->version);
    if (!ok)
        return false;

    engineState = Prepared;
    return true;
}

bool UpdateEngine::startUpdate()
{
    mainTask = new MainTaskSpecification(networkManager, mirrors, config, this, 1.0);
    connect(mainTask, &TaskSpecification::finished, this, &UpdateEngine::onTaskFinished);
    connect(mainTask, &TaskSpecification::canceled, this, &UpdateEngine::onTaskCanceled);
    connect(mainTask, &TaskSpecification::error, this, &UpdateEngine::error);
    connect(mainTask, &TaskSpecification::updateProgress, this, &UpdateEngine::updateProgress);
    connect(mainTask, &TaskSpecification::message, this, &UpdateEngine::message);
    engineState = Running;
    progressTimer->start(progressIntervalMs);
    mainTask->start();
    return true;
}

void UpdateEngine::cancelUpdate()
{
    if (engineState == Running && mainTask)
        mainTask->cancel();
}

void UpdateEngine::releaseTask()
{
    engineState = Idle;
    if (mainTask) {
        mainTask->disconnect(this);
        mainTask->deleteLater();
        mainTask = nullptr;
    }
}

void UpdateEngine::onTimer()
{
    if (engineState != Running || !mainTask)
        return;
    mainTask->checkIdleTimeout();
    // A time-out may have ended the run (on the last mirror): the final zeros have been sent then.
    if (engineState != Running || !mainTask)
        return;
    quint64 done = 0;
    quint64 total = 0;
    quint64 speed = 0;
    bool downloading = false;
    mainTask->getDownloadProgress(done, total, speed, downloading);
    emit downloadProgress(done, total, speed, downloading);
}

void UpdateEngine::onTaskFinished()
{
    progressTimer->stop();
    removeTemporaryFiles();
    engineState = Finished;
    emit message(mainTask && mainTask->finishedWithWarnings() ? QStringLiteral("Update finished with warnings")
                                                               : QStringLiteral("Update successfully finished"));
    if (mainTask) {
        mainTask->disconnect(this);
        mainTask->deleteLater();
        mainTask = nullptr;
    }
    emit downloadProgress(0, 0, 0, false);
    emit updateFinished();
}

void UpdateEngine::onTaskCanceled()
{
    progressTimer->stop();
    engineState = Cancelled;
    if (mainTask) {
        if (mainTask->getState() == TaskSpecification::Aborted)
            emit message(QStringLiteral("User aborted update"));
        mainTask->disconnect(this);
        mainTask->deleteLater();
        mainTask = nullptr;
    }
    emit downloadProgress(0, 0, 0, false);
    emit updateCanceled();
}

void UpdateEngine::removeTemporaryFiles()
{
    emit message(QStringLiteral("Remove temporary files..."));
    QString dir;
    if (loadSessionRecord(nullptr, nullptr, &dir)) {
        if (isOwnRunFolder(dir))
            removeRunFolder(dir);
        clearSessionRecord();
    }
    emit message(QStringLiteral("Temporary files removed."));
}

bool isOwnRunFolder(const QString& folder)
{
    const QFileInfo info(folder);
    // Directly below the temporary path, compared on the cleaned absolute paths.
    if (QDir::cleanPath(info.absolutePath()) != QDir::cleanPath(QDir(QDir::tempPath()).absolutePath()))
        return false;
    static const QRegularExpression runFolderName(QStringLiteral("^voxmere_temp_(0|[1-9][0-9]{0,2})$"));
    if (!runFolderName.match(info.fileName()).hasMatch())
        return false;
    struct stat status;
    if (::lstat(nativePath(info.absoluteFilePath()).constData(), &status) != 0)
        return false;
    return S_ISDIR(status.st_mode) && status.st_uid == ::getuid() && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

void removeDirectoryRecursively(const QString& folder)
{
    const QDir dir(folder);
    const QDir::Filters common = QDir::Hidden | QDir::System | QDir::NoSymLinks | QDir::NoDotAndDotDot;
    for (const QString& name : dir.entryList(QDir::Files | common))
        QFile::remove(dir.filePath(name));
    for (const QString& name : dir.entryList(QDir::Dirs | common)) {
        removeDirectoryRecursively(dir.filePath(name));
        dir.rmdir(name);
    }
}

bool removeRunFolder(const QString& folder, QString* reason)
{
    removeDirectoryRecursively(folder);
    const QByteArray name = nativePath(folder);
    if (::rmdir(name.constData()) == 0 || errno == ENOENT)
        return true;
    if (reason)
        *reason = fileErrorLine(folder, errno);
    return false;
}

#include "downloadtaskspecification.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

namespace {
// Large enough that a small file is one read and one write, small enough to stay off the heap's
// mmap threshold.
constexpr int blockSize = 64 * 1024;
constexpr qint64 readAhead = 1024 * 1024;
}

DownloadTaskSpecification::DownloadTaskSpecification(QNetworkAccessManager* networkManager, Mirrors* mirrors,
                                                     const QString& remotePath, const QString& localFileName,
                                                     qint64 expectedLength, QObject* parent, double weight,
                                                     qint64 maxLength)
    : TaskSpecification(parent, weight)
    , networkManager(networkManager)
    , mirrors(mirrors)
    , remotePath(remotePath)
    , localFile(localFileName)
    , expectedTotal(expectedLength)
    , initialTotal(expectedLength)
    , maxLength(maxLength)
{
}

DownloadTaskSpecification::~DownloadTaskSpecification()
{
    stopWaiting();
    dropReply();
    // A download deleted mid-transfer must not keep its mirror busy for the others.
    releaseHeldMirror();
}

void DownloadTaskSpecification::start()
{
    emit message(QString("Downloading %1").arg(remotePath));
    state = Running;
    startDownload();
}

void DownloadTaskSpecification::reset()
{
    cleanupDownload();
    TaskSpecification::reset();
}

void DownloadTaskSpecification::cancel()
{
    TaskSpecification::cancel();
    if (state == Running) {
        cleanupDownload();
        userCancel();
    }
}

void DownloadTaskSpecification::handleOtherTaskCancelled(TaskSpecification*)
{
    emit message(QString("Abort downloading %1").arg(remotePath));
    cleanupDownload();
    fail();
}

void DownloadTaskSpecification::downloadDone()
{
    emit message(QString("Downloading %1 finished").arg(remotePath));
    releaseHeldMirror();
    finish();
}

void DownloadTaskSpecification::getDownloadProgress(quint64& done, quint64& total, quint64& speed, bool& downloading)
{
    done = quint64(bytesWritten);
    total = expectedTotal >= 0 ? quint64(expectedTotal) : 0;
    speed = bytesWritten >= bytesAtLastPoll ? quint64(bytesWritten - bytesAtLastPoll) : 0;
    bytesAtLastPoll = bytesWritten;
    downloading = state == Running && reply && idleTicks <= mirror.idleTimeoutTicks;
}

void DownloadTaskSpecification::checkIdleTimeout()
{
    if (state != Running || !reply)
        return;
    const bool silent = ++idleTicks > mirror.idleTimeoutTicks;
    const bool belowFloor = deliversBelowFloor();
    if (!headersArrived && polls >= maxHeaderPolls) {
        // No mirror that works sends headers without end: it goes at once.
        if (mirrors)
            mirrors->removeMirror(mirror);
        mirrorFailed(QString("mirror %2 sent no complete headers for file %1").arg(remotePath, mirror.name));
        return;
    }
    if (belowFloor || silent)
        mirrorFailed(QString("file %1 timed out on mirror %2").arg(remotePath, mirror.name));
}

bool DownloadTaskSpecification::deliversBelowFloor()
{
    const int window = mirror.idleTimeoutTicks + 1;
    if (bytesAtPolls.size() != window)
        bytesAtPolls.fill(0, window);
    // The slot of this poll still holds the count of one window ago (0 at the attempt's start).
    const int slot = ++polls % window;
    const bool below = polls >= window && bytesWritten - bytesAtPolls[slot] < minBytesPerWindow;
    bytesAtPolls[slot] = bytesWritten;
    return below;
}

void DownloadTaskSpecification::startDownload()
{
    if (state != Running)
        return;
    // A cancel that came before the start (or between two attempts) is kept: the task ends.
    if (cancelRequested) {
        cleanupDownload();
        userCancel();
        return;
    }
    if (!mirrors || !networkManager) {
        fail();
        return;
    }
    switch (mirrors->acquireMirror(mirror)) {
    case Mirrors::NoMirrors:
        fail();
        return;
    case Mirrors::AllBusy:
        if (!waitingForMirror) {
            waitingForMirror = true;
            connect(mirrors, &Mirrors::transferFinished, this, &DownloadTaskSpecification::onOtherDownloadFinished,
                    Qt::QueuedConnection);
        }
        return;
    case Mirrors::Acquired:
        mirrorHeld = true;
        break;
    }

    // Unbuffered: every block read goes to the file in one write, so a failing write is noticed on
    // the block that failed.
    if (!localFile.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        emit error(QString("Unable to create file %1 for saving").arg(localFile.fileName()));
        releaseHeldMirror();
        fail();
        return;
    }

    // The mirror's address is parsed tolerantly; the remote path is a file name and is taken
    // literally, so that '#', '?' or '%' in a name cannot turn into a fragment, query or escape.
    QUrl url(mirror.url, QUrl::TolerantMode);
    QString path = url.path(QUrl::FullyDecoded);
    if (!path.endsWith('/'))
        path += '/';
    url.setPath(path + remotePath, QUrl::DecodedMode);
    reply = mirrors->networkFor(mirror, networkManager)->get(QNetworkRequest(url));
    if (!reply) {
        emit error("Download failed to initialize");
        localFile.close();
        releaseHeldMirror();
        fail();
        return;
    }
    // The network thread reads ahead at most this much: memory stays bounded however fast the
    // mirror sends, and an abort does not wait behind a flood of queued data.
    reply->setReadBufferSize(readAhead);
    if (!reply->isRunning()) {
        requestFailed();
        return;
    }
    connect(reply, &QNetworkReply::downloadProgress, this, &DownloadTaskSpecification::onDownloadProgress);
    connect(reply, &QNetworkReply::readyRead, this, &DownloadTaskSpecification::onReadyRead);
    connect(reply, &QNetworkReply::finished, this, &DownloadTaskSpecification::onDownloadFinished);
    connect(reply, &QNetworkReply::metaDataChanged, this, &DownloadTaskSpecification::onMetaDataChanged);
    connect(reply, &QNetworkReply::sslErrors, this, &DownloadTaskSpecification::onSslErrors);
}

void DownloadTaskSpecification::onOtherDownloadFinished()
{
    stopWaiting();
    // A task that ended (cancelled, reset, failed) while it waited never starts a transfer.
    if (!reply && state == Running && !cancelRequested)
        startDownload();
}

void DownloadTaskSpecification::onMetaDataChanged()
{
    if (!reply)
        return;
    headersArrived = true;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid() || status.toInt() == 200)
        return;
    const QString proxyText = proxyFailure();
    const QString text = QString("%1 returned %2").arg(mirror.url + "/" + remotePath).arg(status.toInt());
    // Not aborted: Qt still reports an error status as the reply's error, and an abort before
    // that makes it complain that the error came twice. No capacity is freed (the download ends,
    // or its mirror goes), so nobody waiting for a mirror needs the manager's finished.
    forgetReply();
    if (!proxyText.isEmpty()) {
        localFault(proxyText);
        return;
    }
    if (mirrors)
        mirrors->removeMirror(mirror);
    mirrorFailed(text);
}

void DownloadTaskSpecification::onSslErrors(const QList<QSslError>& errors)
{
    for (const QSslError& e : errors)
        sslProblems << e.errorString();
    sslProblems.removeDuplicates();
}

void DownloadTaskSpecification::onReadyRead()
{
    readAvailable();
}

qint64 DownloadTaskSpecification::byteLimit() const
{
    if (expectedTotal >= 0 && maxLength >= 0)
        return qMin(expectedTotal, maxLength);
    return expectedTotal >= 0 ? expectedTotal : maxLength;
}

bool DownloadTaskSpecification::readAvailable()
{
    QNetworkReply* current = reply.data();
    while (current && reply == current) {
        idleTicks = 0;
        if (current->bytesAvailable() <= 0)
            return true;
        if (block.size() != blockSize)
            block.resize(blockSize);
        const qint64 got = current->read(block.data(), blockSize);
        if (got <= 0) {
            if (got < 0 || current->error() != QNetworkReply::NoError) {
                mirrorFailed(current->errorString());
                return false;
            }
            return true;
        }
        const qint64 limit = byteLimit();
        if (limit >= 0 && bytesWritten + got > limit) {
            mirrorFailed(QString("Mirror %1 sent more than the %2 bytes expected of %3")
                             .arg(mirror.name)
                             .arg(limit)
                             .arg(remotePath));
            return false;
        }
        QString problem;
        if (!writeBlock(got, &problem)) {
            localFault(problem);
            return false;
        }
        bytesWritten += got;
        if (expectedTotal > 0)
            setProgress(qMin(1.0, double(bytesWritten) / double(expectedTotal)));
    }
    return true;
}

void DownloadTaskSpecification::onDownloadProgress(qint64, qint64 bytesTotal)
{
    if (expectedTotal == -1 && bytesTotal > 0)
        expectedTotal = bytesTotal;
}

void DownloadTaskSpecification::onDownloadFinished()
{
    if (!reply)
        return;
    if (reply->error() != QNetworkReply::NoError) {
        requestFailed();
        return;
    }
    if (!readAvailable())
        return;
    if (bodyCutShort()) {
        // The text Qt gives when it notices the early close itself.
        mirrorFailed(QCoreApplication::translate("QHttp", "Connection closed"));
        return;
    }
    forgetReply()->close();
    block = QByteArray();
    if (!localFile.flush()) {
        // The last blocks could not reach the disk: the file is not what the mirror sent.
        localFault(localFile.fileName() + ": " + localFile.errorString());
        return;
    }
    localFile.close();
    downloadDone();
}

void DownloadTaskSpecification::requestFailed()
{
    const QString proxyText = proxyFailure();
    if (!proxyText.isEmpty()) {
        localFault(proxyText);
        return;
    }
    if (reply->error() == QNetworkReply::AuthenticationRequiredError && mirrors)
        mirrors->removeMirror(mirror);
    mirrorFailed(failureText());
}

QString DownloadTaskSpecification::proxyFailure() const
{
    const QNetworkProxy proxy = networkManager ? networkManager->proxy() : QNetworkProxy();
    if (proxy.type() != QNetworkProxy::HttpProxy)
        return QString();
    // An http address goes to the proxy as a plain request: Qt reports the proxy's refusal or
    // absence as if they were the mirror's, and its demand for a password as the answer's status.
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    QString what;
    switch (reply->error()) {
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::ProxyConnectionRefusedError:
        what = "refused the connection";
        break;
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::ProxyNotFoundError:
        what = "was not found";
        break;
    case QNetworkReply::ProxyAuthenticationRequiredError:
        what = "demands authentication";
        break;
    default:
        if (status == 407)
            what = "demands authentication";
        break;
    }
    if (what.isEmpty())
        return QString();
    return QString("The proxy %1:%2 %3").arg(proxy.hostName()).arg(proxy.port()).arg(what);
}

QString DownloadTaskSpecification::failureText() const
{
    if (reply->error() == QNetworkReply::SslHandshakeFailedError && !sslProblems.isEmpty())
        return sslProblems.join("; ");
    return reply->errorString();
}

bool DownloadTaskSpecification::bodyCutShort() const
{
    // Qt 5 may finish a reply without an error when the server closes the connection after the
    // last bytes it read, however many the Content-Length announced. A decoded body has a length
    // of its own, so only a plain one is compared.
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    if (!announced.isValid() || reply->hasRawHeader("Content-Encoding"))
        return false;
    return bytesWritten < announced.toLongLong();
}

bool DownloadTaskSpecification::writeBlock(qint64 size, QString* problem)
{
    qint64 done = 0;
    while (done < size) {
        // After a short write, writing the rest brings out the system's reason.
        const qint64 written = localFile.write(block.constData() + done, size - done);
        if (written < 0) {
            *problem = localFile.fileName() + ": " + localFile.errorString();
            return false;
        }
        if (written == 0) {
            *problem = QString("Error writing to file %1. Should write %2 bytes but wrote %3 bytes")
                           .arg(localFile.fileName())
                           .arg(size)
                           .arg(done);
            return false;
        }
        done += written;
    }
    return true;
}

void DownloadTaskSpecification::localFault(const QString& problem)
{
    // This machine is at fault, not the mirror: no mirror is charged and no other one would fare
    // better, so the download fails.
    emit error(problem);
    cleanupDownload();
    fail();
}

void DownloadTaskSpecification::mirrorFailed(const QString& text)
{
    if (mirrors)
        mirrors->markMirrorFailed(mirror);
    // The log names the mirror of every failure (Qt's own texts, such as "Connection refused", do not).
    const QString line = text.contains(mirror.name) || text.contains(mirror.url)
                             ? text
                             : QString("%1 (mirror %2 at %3)").arg(text, mirror.name, mirror.url);
    cleanupDownload();
    emit message(line);
    startDownload();
}

void DownloadTaskSpecification::releaseHeldMirror()
{
    if (mirrorHeld && mirrors)
        mirrors->releaseMirror(mirror);
    mirrorHeld = false;
}

void DownloadTaskSpecification::stopWaiting()
{
    if (waitingForMirror && mirrors)
        disconnect(mirrors, &Mirrors::transferFinished, this, &DownloadTaskSpecification::onOtherDownloadFinished);
    waitingForMirror = false;
}

QNetworkReply* DownloadTaskSpecification::forgetReply()
{
    QNetworkReply* old = reply.data();
    reply = nullptr;
    sslProblems.clear();
    if (old) {
        old->disconnect(this);
        old->deleteLater();
    }
    return old;
}

void DownloadTaskSpecification::dropReply()
{
    if (QNetworkReply* old = forgetReply())
        old->abort();
}

void DownloadTaskSpecification::cleanupDownload()
{
    releaseHeldMirror();
    mirror.name.clear();
    stopWaiting();
    dropReply();
    block = QByteArray();
    idleTicks = 0;
    polls = 0;
    headersArrived = false;
    bytesAtPolls.fill(0);
    if (localFile.isOpen()) {
        localFile.close();
        localFile.remove();
    }
    bytesWritten = 0;
    bytesAtLastPoll = 0;
    expectedTotal = initialTotal;
    setProgress(0);
}

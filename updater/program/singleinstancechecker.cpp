#include "singleinstancechecker.h"

#include "nativepath.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>

#include <QElapsedTimer>
#include <QThread>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const int waitMs = 1000;

// The name lies in the temporary folder, which other users may share: only a server run by this
// user counts as a running updater.
bool peerIsThisUser(const QLocalSocket& socket)
{
    ucred credentials{};
    socklen_t length = sizeof(credentials);
    if (::getsockopt(static_cast<int>(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0)
        return false;
    return credentials.uid == ::getuid();
}

// Whether a live server answers on `name` (a stale socket file refuses the connection).
bool isServed(const QString& name)
{
    QLocalSocket probe;
    probe.connectToServer(name, QIODevice::ReadWrite);
    return probe.waitForConnected(waitMs);
}

// Takes an exclusive lock on `fd` without waiting: true only when another holder has it.
bool heldElsewhere(int fd)
{
    int result;
    do
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    while (result != 0 && errno == EINTR);
    return result != 0 && errno == EWOULDBLOCK;
}

} // namespace

QString instanceServerName(const QString& applicationFilePath, const QString& homePath)
{
    QString key = applicationFilePath.toLower() + homePath;
    key.remove(QLatin1Char('/'));
    key.remove(QLatin1Char(':'));
    const QByteArray bytes = key.toUtf8();
    const quint16 sum = qChecksum(bytes.constData(), static_cast<uint>(bytes.size()), Qt::ChecksumIso3309);
    return QStringLiteral("VXMClientUpdate") + QString::number(sum, 16);
}

QString instanceServerName()
{
    return instanceServerName(QCoreApplication::applicationFilePath(), QDir::homePath());
}

bool notifyRunningInstance(const QString& text)
{
    QLocalSocket sender;
    sender.connectToServer(instanceServerName(), QIODevice::ReadWrite);
    if (!sender.waitForConnected(waitMs) || !peerIsThisUser(sender))
        return false;
    const QByteArray bytes = text.toLatin1();
    if (sender.write(bytes) <= 0)
        return false;
    return sender.waitForBytesWritten(waitMs);
}

bool notifyRunningInstance(const QString& text, int patienceMs)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        if (notifyRunningInstance(text))
            return true;
        if (clock.elapsed() >= patienceMs)
            return false;
        QThread::msleep(20); // a connection to a name nobody serves yet fails at once
    }
}

InstanceLock::InstanceLock() = default;

InstanceLock::~InstanceLock()
{
    if (fd >= 0)
        ::close(fd);
}

bool InstanceLock::acquire()
{
    const QByteArray path = nativePath(QDir::tempPath() + QLatin1Char('/') + instanceServerName() + ".lock");
    fd = ::open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return true;
    // A file that another user made there is no lock of ours (and must not keep us from running).
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != ::getuid()) {
        ::close(fd);
        fd = -1;
        return true;
    }
    return !heldElsewhere(fd);
}

InstallationLock::InstallationLock() = default;

InstallationLock::~InstallationLock()
{
    if (fd >= 0)
        ::close(fd);
}

bool InstallationLock::acquire(const QString& folder)
{
    fd = ::open(nativePath(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return true;
    return !heldElsewhere(fd);
}

SingleInstanceChecker::SingleInstanceChecker(QObject* parent) : QObject(parent), server(new QLocalServer(this))
{
    connect(server, &QLocalServer::newConnection, this, &SingleInstanceChecker::onNewConnection);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    const QString name = instanceServerName();
    // Listening with access options replaces whatever socket file has the name, so look first:
    // a live updater keeps its name; a file left behind by one that crashed goes.
    if (isServed(name))
        return;
    QLocalServer::removeServer(name);
    server->listen(name);
}

SingleInstanceChecker::~SingleInstanceChecker()
{
    server->close();
    if (socket)
        socket->close();
}

bool SingleInstanceChecker::isListening() const
{
    return server->isListening();
}

void SingleInstanceChecker::onNewConnection()
{
    if (socket) {
        disconnect(socket, nullptr, this, nullptr);
        socket->deleteLater();
        socket = nullptr;
    }
    socket = server->nextPendingConnection();
    if (!socket)
        return;
    connect(socket, &QLocalSocket::readyRead, this, &SingleInstanceChecker::onReadyRead);
    if (socket->bytesAvailable() > 0)
        onReadyRead();
}

void SingleInstanceChecker::onReadyRead()
{
    if (!socket)
        return;
    QByteArray data = socket->readAll();
    if (data.isEmpty())
        return;
    const int nul = data.indexOf('\0');
    if (nul >= 0)
        data.truncate(nul);
    // One text per connection: drop the connection before telling anybody.
    QLocalSocket* done = socket;
    socket = nullptr;
    disconnect(done, nullptr, this, nullptr);
    done->deleteLater();
    emit otherInstanceActivate(QString::fromUtf8(data));
}

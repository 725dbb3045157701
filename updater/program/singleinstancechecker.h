#pragma once

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

// The local socket name shared by every updater of one installation and one user:
// "VXMClientUpdate" + the CRC-16 (ISO 3309) of the lower-cased program path followed by the home
// folder, with every '/' and ':' removed, in lower-case hexadecimal.
QString instanceServerName();
QString instanceServerName(const QString& applicationFilePath, const QString& homePath);

// The second updater's side: hands `text` to a running updater of this installation. True when
// one took it (connected within 1000 ms and the bytes written within 1000 ms). A server under the
// name that another user runs is no updater of ours: false, and this updater goes on.
bool notifyRunningInstance(const QString& text);

// Like notifyRunningInstance, but keeps trying for up to `patienceMs` while the running updater
// has not started to listen yet.
bool notifyRunningInstance(const QString& text, int patienceMs);

// Decides between two updaters started in the same instant, before either listens: the one that
// takes the lock runs, the other hands over to it. The lock is an exclusive lock on a file of this
// user beside the guard's socket, held until the process ends (so a crash releases it as well).
class InstanceLock
{
public:
    InstanceLock();
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // False only when another updater holds the lock. When no lock can be had at all (the file
    // cannot be made, or belongs to another user) the updater runs as if it held it.
    bool acquire();

private:
    int fd = -1;
};

// One updater per installation, whatever TMPDIR and HOME say: an exclusive lock on the program
// folder itself, held until the process ends (so a crash releases it as well). The guard's socket
// and InstanceLock live in the temporary folder and only find an updater that shares it.
class InstallationLock
{
public:
    InstallationLock();
    ~InstallationLock();
    InstallationLock(const InstallationLock&) = delete;
    InstallationLock& operator=(const InstallationLock&) = delete;

    // False only when another process holds the lock of `folder`. A folder that cannot be opened
    // is no reason to stop here: the update reports what it cannot do.
    bool acquire(const QString& folder);

private:
    int fd = -1;
};

// The first updater's side: serves the name (to this user only) and turns each text a later
// updater sends into otherInstanceActivate. A socket file left by a crashed updater is replaced;
// a name that a live updater serves is left alone (this checker then does not listen).
class SingleInstanceChecker : public QObject
{
    Q_OBJECT
public:
    explicit SingleInstanceChecker(QObject* parent);
    ~SingleInstanceChecker() override;

    bool isListening() const;

signals:
    // The text a later updater sent, up to its first NUL byte, decoded as UTF-8.
    void otherInstanceActivate(QString message);

private slots:
    void onNewConnection();
    void onReadyRead();

private:
    QLocalServer* server;
    QLocalSocket* socket = nullptr;
};

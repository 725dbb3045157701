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

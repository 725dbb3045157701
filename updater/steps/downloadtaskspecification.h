#pragma once
// Fetches one file over HTTP from one of the mirrors into a local file, failing over to another
// mirror when one fails.
//
// Each mirror's transfers go through a network access object of its own (Mirrors::networkFor),
// so that the network thread of a mirror that floods or stalls holds up no other mirror.
// A transfer whose headers have not ended by the 8th poll fails, and its mirror is dropped ("mirror
// %2 sent no complete headers for file %1").
// A transfer times out on its mirror ("file %1 timed out on mirror %2") at the progress poll that
// finds it silent for the 16th time in a row, or finds that it delivered less than
// minBytesPerWindow over the last 16 polls: a mirror that trickles holds a file no longer than one
// that has gone silent. A fault on this machine's side (the temporary folder, the proxy) fails the
// download and charges no mirror, since no other mirror would fare better.

#include "mirrors.h"
#include "taskspecification.h"

#include <QFile>
#include <QPointer>
#include <QStringList>
#include <QVector>

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslError>

class DownloadTaskSpecification : public TaskSpecification
{
    Q_OBJECT

public:
    // The least a transfer must deliver over a window of 16 polls (one more than the mirror's
    // idleTimeoutTicks) to keep its mirror.
    static constexpr qint64 minBytesPerWindow = 1024;
    // The polls a mirror has for the status line and headers of a transfer: a mirror whose headers
    // do not end by then (an endless line, a flood of them) fails the transfer on its mirror.
    static constexpr int maxHeaderPolls = 8;

    // expectedLength -1 takes the length from the server. maxLength (-1: none) caps a body whose
    // length is not known in advance, so that a mirror cannot stream without end.
    DownloadTaskSpecification(QNetworkAccessManager* networkManager, Mirrors* mirrors, const QString& remotePath,
                              const QString& localFileName, qint64 expectedLength, QObject* parent, double weight,
                              qint64 maxLength = -1);
    ~DownloadTaskSpecification() override;

    void start() override;
    void reset() override;
    // `downloading` is true while a transfer is in flight and has not been silent for longer than
    // the mirror allows.
    void getDownloadProgress(quint64& done, quint64& total, quint64& speed, bool& downloading) override;
    void checkIdleTimeout() override;
    void cancel() override;
    void handleOtherTaskCancelled(TaskSpecification* other) override;

    // The mirror that served the file (its name stays after success).
    const MirrorRecord& mirrorRecord() const { return mirror; }
    qint64 getBytesWritten() const { return bytesWritten; }
    bool isWaitingForMirror() const { return waitingForMirror; }
    bool hasReply() const { return reply != nullptr; }

protected:
    virtual void downloadDone();

private slots:
    void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void onReadyRead();
    void onDownloadFinished();
    void onMetaDataChanged();
    void onOtherDownloadFinished();
    void onSslErrors(const QList<QSslError>& errors);

private:
    void startDownload();
    // Moves what the reply holds into the file; false after a mirror failure.
    bool readAvailable();
    // True when the mirror announced a longer body than it sent (the connection closed early).
    bool bodyCutShort() const;
    // Writes the first `size` bytes of `block` to the file; false with the reason when it cannot.
    bool writeBlock(qint64 size, QString* problem);
    // True when the transfer delivered less than minBytesPerWindow over the last window of polls;
    // counts this poll.
    bool deliversBelowFloor();
    // The reply ended with an error: a proxy that refuses, is not found or wants a password is a
    // local fault; anything else is the mirror's (a demand for authentication removes it).
    void requestFailed();
    // The text for a failed request: Qt's reasons for a refused TLS handshake, else its error text.
    QString failureText() const;
    // What the proxy did wrong, naming it ("The proxy host:port refused the connection"); empty
    // when no proxy is set or it is not at fault.
    QString proxyFailure() const;
    // Fails the download for a fault on this machine's side (no mirror is charged).
    void localFault(const QString& problem);
    void mirrorFailed(const QString& text);
    void cleanupDownload();
    void releaseHeldMirror();
    void stopWaiting();
    // Forgets the reply and schedules its deletion, which ends its request without a word.
    QNetworkReply* forgetReply();
    // Forgets and aborts the reply: the manager reports it finished, which wakes the downloads
    // waiting for a mirror.
    void dropReply();
    qint64 byteLimit() const;

    QPointer<QNetworkAccessManager> networkManager;
    QPointer<Mirrors> mirrors;
    // Replies are children of the manager; the guard notices when the manager went first.
    QPointer<QNetworkReply> reply;
    int idleTicks = 0;
    // The current attempt's headers have been read (its status and length are known).
    bool headersArrived = false;
    // bytesWritten at each poll of the current attempt, a ring one window long (for the floor).
    QVector<qint64> bytesAtPolls;
    int polls = 0;
    // What Qt found wrong with the mirror's certificate in the current attempt.
    QStringList sslProblems;
    QString remotePath;
    QFile localFile;
    qint64 bytesAtLastPoll = 0;
    qint64 expectedTotal;
    const qint64 initialTotal;
    const qint64 maxLength;
    qint64 bytesWritten = 0;
    MirrorRecord mirror;
    // One block of the body on its way from the reply to the file; held only during a transfer.
    QByteArray block;
    bool mirrorHeld = false;
    bool waitingForMirror = false;
};

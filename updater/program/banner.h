#pragma once

#include <QBasicTimer>
#include <QHostAddress>
#include <QHostInfo>
#include <QObject>
#include <QString>
#include <QUdpSocket>

#include "serverinfoquery.h"

// Asks the update server's banner service where the current banner image lies and where a click
// on it leads.
//
// Wire exchange (UDP over IPv4): the request is the two bytes 0x01 0x01; the answer is up to 1024
// bytes of Latin-1 text "<image url>,<click url>" with exactly one comma (empty parts allowed).
// A request that gets no answer is sent once more after the resend interval; after a second
// interval without answer the query gives up. Only datagrams from the address and port that were
// asked count as answers; anything else arriving on the socket is dropped and the wait goes on.
// A malformed answer ends the query without a signal. Every failure is silent.
class Banner : public QObject
{
    Q_OBJECT
public:
    static constexpr quint16 defaultPort = 2009;
    static constexpr int defaultResendMs = 5000;
    static constexpr int maxAnswerBytes = 1024;

    explicit Banner(QObject* parent = nullptr, const QString& host = updateServerHost(),
                    quint16 port = defaultPort, int resendMs = defaultResendMs);

    // Starts the look-up of the service's host; the query follows once it has resolved.
    void resolveHost();

    // True while a request waits for its answer.
    bool isWaiting() const { return timer.isActive(); }

signals:
    void bannerFound(QString bannerUrl, QString clickUrl);

private slots:
    void onResolved(QHostInfo hostInfo);
    void onReadyRead();
    void onError(QAbstractSocket::SocketError socketError);

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    void send();

    QUdpSocket* socket;
    QBasicTimer timer;
    QHostAddress address;
    int sendCount = 0;
    QString host;
    quint16 port;
    int resendMs;
};

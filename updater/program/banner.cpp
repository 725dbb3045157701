#include "banner.h"

#include <QTimerEvent>

Banner::Banner(QObject* parent, const QString& host, quint16 port, int resendMs)
    : QObject(parent), socket(new QUdpSocket(this)), host(host), port(port), resendMs(resendMs)
{
    socket->bind();
    connect(socket, &QUdpSocket::readyRead, this, &Banner::onReadyRead);
    connect(socket, &QAbstractSocket::errorOccurred, this,
            &Banner::onError);
}

void Banner::resolveHost()
{
    QHostInfo::lookupHost(host, this, SLOT(onResolved(QHostInfo)));
}

void Banner::onResolved(QHostInfo hostInfo)
{
    if (hostInfo.error() != QHostInfo::NoError || hostInfo.addresses().isEmpty())
        return;
    address.clear();
    for (const QHostAddress& candidate : hostInfo.addresses()) {
        if (candidate.protocol() == QAbstractSocket::IPv4Protocol) {
            address = candidate;
            break;
        }
    }
    if (address.isNull())
        return;
    send();
}

void Banner::send()
{
    static const char request[2] = {0x01, 0x01};
    if (socket->writeDatagram(request, sizeof request, address, port) == -1)
        timer.stop();
    else
        timer.start(resendMs, this);
}

void Banner::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != timer.timerId()) {
        QObject::timerEvent(event);
        return;
    }
    if (sendCount++ == 0)
        send();
    else
        timer.stop();
}

void Banner::onReadyRead()
{
    while (socket->hasPendingDatagrams()) {
        char buffer[maxAnswerBytes];
        QHostAddress sender;
        quint16 senderPort = 0;
        const qint64 length = socket->readDatagram(buffer, sizeof buffer, &sender, &senderPort);
        if (length < 0) {
            timer.stop();
            return;
        }
        // Somebody else's datagram: not an answer, keep waiting for the service.
        if (address.isNull() || senderPort != port ||
            !sender.isEqual(address, QHostAddress::ConvertV4MappedToIPv4))
            continue;
        timer.stop();
        const QStringList parts = QString::fromLatin1(buffer, int(length)).split(QLatin1Char(','));
        if (parts.size() == 2)
            emit bannerFound(parts[0], parts[1]);
    }
}

void Banner::onError(QAbstractSocket::SocketError)
{
    timer.stop();
}

#include "udpservice.h"

#include <QDeadlineTimer>

namespace testservers {

UdpServiceProcess::~UdpServiceProcess()
{
    stop();
}

QString UdpServiceProcess::script()
{
    return QStringLiteral(VXM_UDPSERVICE_SCRIPT);
}

bool UdpServiceProcess::start(const QStringList& options)
{
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStringLiteral("python3"), QStringList{script()} + options);
    QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired() && !process.canReadLine() && process.state() != QProcess::NotRunning)
        process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
    const QList<QByteArray> words = process.canReadLine() ? process.readLine().trimmed().split(' ')
                                                          : QList<QByteArray>();
    if (words.size() != 3 || words[0] != "READY") {
        stop();
        return false;
    }
    ports[0] = words[1].toInt();
    ports[1] = words[2].toInt();
    return ports[0] > 0 && ports[1] > 0;
}

void UdpServiceProcess::stop()
{
    if (process.state() != QProcess::NotRunning) {
        process.closeWriteChannel();
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
    ports[0] = ports[1] = 0;
}

void UdpServiceProcess::readLines()
{
    while (process.canReadLine()) {
        const QList<QByteArray> words = process.readLine().trimmed().split(' ');
        if (words.size() >= 2 && words[0] == "REQUEST")
            seen << QString::fromLatin1(words[1]);
    }
}

int UdpServiceProcess::requests(const QString& kind)
{
    process.waitForReadyRead(0);
    readLines();
    return seen.count(kind);
}

bool UdpServiceProcess::waitForRequests(const QString& kind, int count, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (requests(kind) < count) {
        if (deadline.hasExpired() || process.state() == QProcess::NotRunning)
            return false;
        process.waitForReadyRead(int(qMax<qint64>(1, qMin<qint64>(100, deadline.remainingTime()))));
    }
    return true;
}

} // namespace testservers

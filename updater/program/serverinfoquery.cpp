#include "serverinfoquery.h"

#include <QByteArray>
#include <QDeadlineTimer>

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#ifndef UPDATE_SERVER_HOST
#error "UPDATE_SERVER_HOST must be defined by the build"
#endif

QString updateServerHost()
{
    return QStringLiteral(UPDATE_SERVER_HOST);
}

namespace {

// A UDP socket closed when it goes out of scope.
class UdpSocket
{
public:
    UdpSocket() : fd(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP)) {}
    ~UdpSocket()
    {
        if (fd >= 0)
            ::close(fd);
    }
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;
    int fd;
};

bool resolve(const QString& host, quint16 port, sockaddr_in* address)
{
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    addrinfo* result = nullptr;
    if (::getaddrinfo(host.toUtf8().constData(), nullptr, &hints, &result) != 0 || !result)
        return false;
    std::memcpy(address, result->ai_addr, sizeof *address);
    address->sin_port = htons(port);
    ::freeaddrinfo(result);
    return true;
}

bool sendRequest(int fd, const sockaddr_in& to, char command)
{
    const char request[2] = {command, '\0'};
    const ssize_t sent =
        ::sendto(fd, request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    return sent >= 1;
}

// Receives one datagram from `from`'s address into `buffer` (at most capacity - 1 bytes taken);
// datagrams of other senders are dropped. Returns the bytes taken, or -1 on failure or time-out.
ssize_t receiveAnswer(int fd, const sockaddr_in& from, char* buffer, size_t capacity, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        pollfd watch = {fd, POLLIN, 0};
        const int ready = ::poll(&watch, 1, int(deadline.remainingTime()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return -1;
        sockaddr_in sender;
        socklen_t senderLength = sizeof sender;
        const ssize_t got =
            ::recvfrom(fd, buffer, capacity - 1, 0, reinterpret_cast<sockaddr*>(&sender), &senderLength);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return -1;
        }
        if (senderLength >= sizeof sender && sender.sin_family == AF_INET &&
            sender.sin_addr.s_addr == from.sin_addr.s_addr)
            return got;
        if (deadline.hasExpired())
            return -1;
    }
}

// The text up to the first NUL of the bytes taken.
QByteArray untilNul(const char* buffer, ssize_t length)
{
    const void* nul = std::memchr(buffer, '\0', size_t(length));
    return QByteArray(buffer, nul ? int(static_cast<const char*>(nul) - buffer) : int(length));
}

} // namespace

ServerInfoQuery::ServerInfoQuery(const QString& host, quint16 port, int timeoutMs)
    : host(host), port(port), timeoutMs(timeoutMs)
{
}

bool ServerInfoQuery::queryServerInfo()
{
    entries.clear();
    newsText.clear();

    UdpSocket socket;
    if (socket.fd < 0)
        return false;
    sockaddr_in server;
    if (!resolve(host, port, &server))
        return false;

    if (!sendRequest(socket.fd, server, '3'))
        return false;
    char versionBuffer[512];
    const ssize_t versionLength = receiveAnswer(socket.fd, server, versionBuffer, sizeof versionBuffer, timeoutMs);
    if (versionLength < 0)
        return false;
    const QList<QPair<QString, QString>> versions =
        parseVersionList(QString::fromLatin1(untilNul(versionBuffer, versionLength)));

    if (!sendRequest(socket.fd, server, '*'))
        return false;
    char newsBuffer[4096];
    const ssize_t newsLength = receiveAnswer(socket.fd, server, newsBuffer, sizeof newsBuffer, timeoutMs);
    if (newsLength < 0)
        return false;

    entries = versions;
    newsText = QString::fromUtf8(untilNul(newsBuffer, newsLength));
    return true;
}

QList<QPair<QString, QString>> parseVersionList(const QString& text)
{
    QList<QPair<QString, QString>> pairs;
    const QStringList items = text.split(QLatin1Char(','));
    for (const QString& item : items) {
        const int hash = item.indexOf(QLatin1Char('#'));
        if (hash >= 0)
            pairs.append({item.left(hash), item.mid(hash + 1)});
        else
            pairs.append({item, QString()});
    }
    return pairs;
}

QPair<QString, QString> queryLatestVersionWith(ServerInfoQuery& query, int channel, QString& newsHtml,
                                               const std::function<bool()>& askRetry)
{
    for (;;) {
        if (query.queryServerInfo()) {
            newsHtml = query.newsText;
            if (channel >= 0 && channel < query.entries.size())
                return query.entries.at(channel);
            return {};
        }
        if (!askRetry())
            return {};
    }
}

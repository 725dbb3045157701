#pragma once

#include <QList>
#include <QPair>
#include <QString>

#include <functional>

// The host name of the update server's UDP services (version query and banner query), fixed at
// build time by the CMake cache variable UPDATE_SERVER_HOST.
QString updateServerHost();

// One query of the update server's version service: which client version each channel offers,
// under which display name, and the news text for the banner.
//
// Wire exchange (UDP over IPv4, one socket for both pairs):
//   "3\0"  ->  Latin-1 text up to 511 bytes: items joined by ",", one per channel in channel
//              order (stable, beta, alpha); an item is "<version>#<display name>" (split at the
//              first '#') or a bare version text.
//   "*\0"  ->  UTF-8 news text (HTML) up to 4095 bytes.
// Each answer is the text up to its first NUL. An answer that does not arrive within the time-out
// fails the exchange. Only datagrams from the address that was asked count as answers; anything
// else arriving on the socket is dropped and the wait goes on.
class ServerInfoQuery
{
public:
    static constexpr quint16 defaultPort = 17384;
    static constexpr int defaultTimeoutMs = 5000;

    explicit ServerInfoQuery(const QString& host = updateServerHost(), quint16 port = defaultPort,
                             int timeoutMs = defaultTimeoutMs);

    // One exchange (both requests). The answers of an earlier attempt are cleared first, so after
    // true `entries` and `newsText` hold exactly this exchange's answers.
    bool queryServerInfo();

    // (version text, display name) per channel, in the order of the answer.
    QList<QPair<QString, QString>> entries;
    QString newsText;

private:
    QString host;
    quint16 port;
    int timeoutMs;
};

// Splits answer 1 of the exchange into (version text, display name) pairs; empty items count.
QList<QPair<QString, QString>> parseVersionList(const QString& text);

// Asks `query` until an exchange succeeds or `askRetry` (called after each failed exchange)
// returns false. On success `newsHtml` := the news text and the channel's pair is returned (two
// empty texts when the answer names no version for the channel); two empty texts when the user
// gave up.
QPair<QString, QString> queryLatestVersionWith(ServerInfoQuery& query, int channel, QString& newsHtml,
                                               const std::function<bool()>& askRetry);

#include "testservers.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>

#include <cstdio>

namespace testservers {

QString scriptDir()
{
    return QStringLiteral(VXM_UPDATESERVER_DIR);
}

QString testPrivateKey()
{
    return scriptDir() + "/keys/test_private.pem";
}

bool makeRelease(const QString& tree, int version, const QString& mirrorDir, const QStringList& extraArgs)
{
    QProcess tool;
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.start("python3", QStringList{QStringLiteral(VXM_RELEASE_TOOL), "--tree", tree, "--version",
                                      QString::number(version), "--out", mirrorDir, "--key", testPrivateKey()}
                              + extraArgs);
    const bool ok = tool.waitForFinished(60000) && tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
    if (!ok)
        std::fprintf(stderr, "make_release.py failed:\n%s\n", tool.readAll().constData());
    return ok;
}

ServerProcess::~ServerProcess()
{
    stop();
}

bool ServerProcess::startNginx(const QString& root)
{
    return start(scriptDir() + "/nginx_serve.py", root);
}

bool ServerProcess::startFaultServer(const QString& root)
{
    return start(scriptDir() + "/fault_server.py", root);
}

bool ServerProcess::start(const QString& script, const QString& root)
{
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start("python3", {script, root});
    QDeadlineTimer deadline(20000);
    QByteArray line;
    while (!deadline.hasExpired()) {
        if (process.canReadLine()) {
            line = process.readLine().trimmed();
            break;
        }
        if (process.state() == QProcess::NotRunning)
            break;
        process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
    }
    if (!line.startsWith("PORT ")) {
        stop();
        return false;
    }
    serverPort = line.mid(5).toInt();
    return serverPort > 0;
}

void ServerProcess::stop()
{
    if (process.state() != QProcess::NotRunning) {
        process.closeWriteChannel();
        process.terminate();
        if (!process.waitForFinished(15000)) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
    serverPort = 0;
}

QString ServerProcess::url(const QString& path) const
{
    return QString("http://127.0.0.1:%1%2").arg(serverPort).arg(path);
}

namespace {

// A plain blocking GET, kept apart from the event loop of the code under test.
QByteArray blockingGet(int port, const QByteArray& path)
{
    QTcpSocket socket;
    socket.connectToHost("127.0.0.1", quint16(port));
    if (!socket.waitForConnected(5000))
        return {};
    socket.write("GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    QByteArray answer;
    while (socket.waitForReadyRead(5000) || socket.bytesAvailable())
        answer += socket.readAll();
    answer += socket.readAll();
    const int body = answer.indexOf("\r\n\r\n");
    return body < 0 ? QByteArray() : answer.mid(body + 4);
}

} // namespace

bool ServerProcess::stats(int* requests, int* maxActive)
{
    const QJsonObject o = QJsonDocument::fromJson(blockingGet(serverPort, "/_stats")).object();
    if (o.isEmpty())
        return false;
    if (requests)
        *requests = o.value("requests").toInt();
    if (maxActive)
        *maxActive = o.value("max_active").toInt();
    return true;
}

bool ServerProcess::resetStats()
{
    return !blockingGet(serverPort, "/_reset").isNull();
}

} // namespace testservers

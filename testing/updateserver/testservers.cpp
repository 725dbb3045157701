#include "testservers.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QHostAddress>
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

bool makeSelfSignedCertificate(const QString& folder, const QString& host, int days)
{
    const bool address = QHostAddress().setAddress(host);
    const QString request = folder + "/request.csr";
    const QList<QStringList> steps{
        {"req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
         folder + "/key.pem", "-subj", "/CN=" + host, "-addext",
         QString("subjectAltName=%1:%2").arg(address ? "IP" : "DNS", host), "-out", request},
        // Signing the request itself allows a negative count of days, which `req -x509` refuses.
        {"x509", "-req", "-in", request, "-signkey", folder + "/key.pem", "-days", QString::number(days),
         "-copy_extensions", "copyall", "-out", folder + "/cert.pem"},
    };
    for (const QStringList& step : steps) {
        QProcess openssl;
        openssl.setProcessChannelMode(QProcess::MergedChannels);
        openssl.start("openssl", step);
        if (!openssl.waitForFinished(30000) || openssl.exitStatus() != QProcess::NormalExit ||
            openssl.exitCode() != 0) {
            std::fprintf(stderr, "openssl %s failed:\n%s\n", qPrintable(step.first()), openssl.readAll().constData());
            return false;
        }
    }
    return true;
}

ServerProcess::~ServerProcess()
{
    stop();
}

bool ServerProcess::startNginx(const QString& root)
{
    return start(scriptDir() + "/nginx_serve.py", {root});
}

bool ServerProcess::startFaultServer(const QString& root, const QString& certFolder)
{
    tls = !certFolder.isEmpty();
    QStringList args{root};
    if (tls)
        args << "--tls" << certFolder + "/cert.pem" << certFolder + "/key.pem";
    return start(scriptDir() + "/fault_server.py", args);
}

bool ServerProcess::start(const QString& script, const QStringList& args)
{
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start("python3", QStringList{script} + args);
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
    return QString("%1://127.0.0.1:%2%3").arg(tls ? "https" : "http").arg(serverPort).arg(path);
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

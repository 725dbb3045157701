#pragma once
// Test-side handles on the update server stand-ins and the release tool: the release tool with the
// test key, nginx serving a release and the fault-injecting HTTP server. Each server runs as a child process that this object started
// and stops again.

#include <QProcess>
#include <QString>
#include <QStringList>

namespace testservers {

// The folder of these scripts and of the test key pair.
QString scriptDir();
QString testPrivateKey();

// Runs the release tool with the test key; extraArgs are passed through (--gzip, --delete-list, --group, ...).
// Returns false (with the tool's output on stderr) when it fails.
bool makeRelease(const QString& tree, int version, const QString& mirrorDir, const QStringList& extraArgs = {});

// Makes folder/cert.pem and folder/key.pem with openssl: a self-signed certificate for `host` (an
// address or a name), valid from now for `days`; a negative count makes one that has expired.
bool makeSelfSignedCertificate(const QString& folder, const QString& host, int days);

class ServerProcess
{
public:
    ServerProcess() = default;
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Starts nginx_serve.py or fault_server.py on root and waits (at most 20 s) for its port. The
    // fault server speaks HTTPS with the certificate made in certFolder, if one is given.
    bool startNginx(const QString& root);
    bool startFaultServer(const QString& root, const QString& certFolder = QString());
    void stop();

    int port() const { return serverPort; }
    // "http://127.0.0.1:<port>" (https with a certificate) plus path, e.g. url("/stall10").
    QString url(const QString& path = QString()) const;

    // Fault server only: transfers served so far and the most that ran at once.
    bool stats(int* requests, int* maxActive);
    bool resetStats();

private:
    bool start(const QString& script, const QStringList& args);
    QProcess process;
    int serverPort = 0;
    bool tls = false;
};

} // namespace testservers

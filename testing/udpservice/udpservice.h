#pragma once
// Test-side handle on udp_service.py, the stand-in of the update server's version and banner
// services. The service runs as a child process that this object starts and stops again.

#include <QProcess>
#include <QString>
#include <QStringList>

namespace testservers {

class UdpServiceProcess
{
public:
    UdpServiceProcess() = default;
    ~UdpServiceProcess();
    UdpServiceProcess(const UdpServiceProcess&) = delete;
    UdpServiceProcess& operator=(const UdpServiceProcess&) = delete;

    // The path of udp_service.py (for scripts and programs that start it themselves).
    static QString script();

    // Starts the service with the given options (see udp_service.py) and waits at most 20 s until
    // it is bound. Without --version-port/--banner-port it takes the fixed ports, which only a test
    // in a network namespace of its own may use; pass 0 for ports chosen by the system.
    bool start(const QStringList& options);
    void stop();

    int versionPort() const { return ports[0]; }
    int bannerPort() const { return ports[1]; }

    // Requests of the kind ("version", "news", "banner", "unknown") reported so far.
    int requests(const QString& kind);
    // Waits (at most timeoutMs) until `count` requests of the kind have arrived.
    bool waitForRequests(const QString& kind, int count, int timeoutMs = 10000);

private:
    void readLines();

    QProcess process;
    int ports[2] = {0, 0};
    QStringList seen;
};

} // namespace testservers

// Idle cost of the updater's news ticker: shows a scrolling NewsBanner (and a banner query left
// waiting on a silent service) for a few seconds and prints the process CPU time per second of
// wall time. Run by hand, under Xvfb for a real display:
//   xvfb-run -a build/release/bench/updater_newsbanner_bench [seconds]
#include "banner.h"
#include "newsbanner.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QUdpSocket>

#include <cstdio>

#include <sys/resource.h>

namespace {

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? qMax(1, atoi(argv[1])) : 10;

    NewsBanner ticker;
    ticker.resize(468, 16);
    ticker.setBanner(QStringLiteral("<!--URL=https://www.example.com/--><b>News:</b> version 3.6.1 is out, "
                                    "<a href=\"https://www.example.com/notes\">read the notes</a>."));
    ticker.show();

    // A service that never answers: the query waits out its resend.
    QUdpSocket silent;
    silent.bind(QHostAddress(QHostAddress::LocalHost), 0);
    Banner banner(nullptr, QStringLiteral("127.0.0.1"), silent.localPort());
    banner.resolveHost();

    const double cpuBefore = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    QTimer::singleShot(seconds * 1000, &app, &QCoreApplication::quit);
    app.exec();
    const double cpu = cpuSeconds() - cpuBefore;
    const double elapsed = double(wall.elapsed()) / 1000.0;
    std::printf("platform %s: %.1f s, CPU %.3f s, %.1f%% of one core\n",
                qPrintable(QGuiApplication::platformName()), elapsed, cpu, 100.0 * cpu / elapsed);
    return 0;
}

// Times the application scanner's findRunningApps over the real process table with a catalogue:
//   runwatcher_scan_bench FOLDER [SCANS]
// FOLDER holds runwatcher_plugin/apps.ini (the source tree, or a client's plug-in folder); the
// catalogue is loaded as the plug-in loads it. After one untimed scan it runs SCANS (default 3)
// timed scans and prints "applications N", then "scan MILLISECONDS CPU_MILLISECONDS RUNNING" for each.
#include <QCoreApplication>
#include <QFile>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "application_scan.h"
#include "host_calls.h"
#include "plugin_state.h"
#include "runwatch_manager.h"

namespace {

QByteArray folderArg;
QByteArray configArg;

void copyTo(const QByteArray& text, char* buffer, size_t size)
{
    std::snprintf(buffer, size, "%s", text.constData());
}

double threadCpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: runwatcher_scan_bench FOLDER [SCANS]\n");
        return 2;
    }
    const int scans = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    QTemporaryDir config;  // the plug-in's settings: none, so every application counts
    folderArg = QByteArray(argv[1]) + '/';
    configArg = QFile::encodeName(config.path()) + '/';

    HostFunctions table{};
    table.getPluginPath = [](char* path, size_t size) { copyTo(folderArg, path, size); };
    table.getConfigPath = [](char* path, size_t size) { copyTo(configArg, path, size); };
    host::setFunctions(table);
    host::configPath(::configPath, sizeof ::configPath);

    RunwatchManager manager;
    if (!manager.loadApps()) {
        std::fprintf(stderr, "runwatcher_scan_bench: no catalogue in %s\n", folderArg.constData());
        return 1;
    }
    ApplicationScan scanner;
    for (auto it = manager.applications().cbegin(); it != manager.applications().cend(); ++it) {
        scanner.registerApp(it.key(), it.value()->binaries, it.value()->files);
    }
    std::printf("applications %d\n", manager.applications().size());

    scanner.findRunningApps();
    for (int i = 0; i < scans; ++i) {
        QElapsedTimer timer;
        const double cpu0 = threadCpuMs();
        timer.start();
        const std::set<int> running = scanner.findRunningApps();
        const double wall = double(timer.nsecsElapsed()) / 1e6;
        std::printf("scan %.3f %.3f %zu\n", wall, threadCpuMs() - cpu0, running.size());
    }
    return 0;
}

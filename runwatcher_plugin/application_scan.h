// Matches the executables of the user's processes against the registered catalogue.
#ifndef RUNWATCHER_APPLICATION_SCAN_H
#define RUNWATCHER_APPLICATION_SCAN_H

#include <QSet>
#include <QString>
#include <map>
#include <memory>
#include <set>

#include "application_scan_impl.h"

struct AppFiles {
    QSet<QString> binaries;
    QSet<QString> files;
};

class ApplicationScan {
public:
    // Scans the given process table folder (the system's /proc unless a test says otherwise).
    explicit ApplicationScan(const QString& procRoot = QStringLiteral("/proc"));
    explicit ApplicationScan(std::unique_ptr<ApplicationScanImpl> impl);
    ~ApplicationScan();
    ApplicationScan(const ApplicationScan&) = delete;
    ApplicationScan& operator=(const ApplicationScan&) = delete;

    void registerApp(int id, const QSet<QString>& binaries, const QSet<QString>& files);

    // Ids of the registered applications that run now, in ascending order; an application that
    // runs several times counts once.
    std::set<int> findRunningApps();

    // The matching step alone, for a set of executable paths.
    std::set<int> matchExecutables(const QSet<QString>& executables) const;

private:
    std::map<int, AppFiles> registry;
    QSet<QString> binaryNames;  // of every registered application: the scan looks for these only
    std::unique_ptr<ApplicationScanImpl> impl;
};

#endif

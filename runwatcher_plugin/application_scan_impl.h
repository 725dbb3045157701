// The platform part of the scan: which executables the user's processes run.
#ifndef RUNWATCHER_APPLICATION_SCAN_IMPL_H
#define RUNWATCHER_APPLICATION_SCAN_IMPL_H

#include <QSet>
#include <QString>

class ApplicationScanImpl {
public:
    virtual ~ApplicationScanImpl() = default;
    // Absolute paths of the executables of the user's running processes, as the process table
    // gives them (for /proc without links; " (deleted)" after the path of a removed file). With
    // `fileNames`, only executables of those file names (others cost no more than their name).
    virtual QSet<QString> scan(const QSet<QString>* fileNames = nullptr) = 0;
};

#endif

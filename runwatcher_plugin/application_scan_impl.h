// The platform part of the scan: which executables the user's processes run.
#ifndef RUNWATCHER_APPLICATION_SCAN_IMPL_H
#define RUNWATCHER_APPLICATION_SCAN_IMPL_H

#include <QSet>
#include <QString>

class ApplicationScanImpl {
public:
    virtual ~ApplicationScanImpl() = default;
    // Absolute paths of the executables of the user's running processes, as the process table
    // gives them (for /proc without links; " (deleted)" after the path of a removed file).
    virtual QSet<QString> scan() = 0;
};

#endif

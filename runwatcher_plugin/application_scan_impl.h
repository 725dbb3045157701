// The platform part of the scan: which executables the user's processes run.
#ifndef RUNWATCHER_APPLICATION_SCAN_IMPL_H
#define RUNWATCHER_APPLICATION_SCAN_IMPL_H

#include <QSet>
#include <QString>

class ApplicationScanImpl {
public:
    virtual ~ApplicationScanImpl() = default;
    // Canonical paths of the executables of the user's running processes.
    virtual QSet<QString> scan() = 0;
};

#endif

// Reads the process table under /proc: every numeric folder owned by the real user id whose "exe"
// link resolves to an existing file.
#ifndef RUNWATCHER_APPLICATION_SCAN_IMPL_LINUX_H
#define RUNWATCHER_APPLICATION_SCAN_IMPL_LINUX_H

#include "application_scan_impl.h"

class ApplicationScanImpl_Linux : public ApplicationScanImpl {
public:
    explicit ApplicationScanImpl_Linux(const QString& procRoot = QStringLiteral("/proc"));
    QSet<QString> scan() override;

private:
    QString procRoot;
};

#endif

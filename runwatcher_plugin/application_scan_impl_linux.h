// Reads the process table under /proc: the executable of every process whose real user id is the
// caller's, as the text of its "exe" link (the first word of its command line when the process is
// not dumpable and hides the link), absolute paths only. Nothing outside the table is looked at.
#ifndef RUNWATCHER_APPLICATION_SCAN_IMPL_LINUX_H
#define RUNWATCHER_APPLICATION_SCAN_IMPL_LINUX_H

#include "application_scan_impl.h"

class ApplicationScanImpl_Linux : public ApplicationScanImpl {
public:
    explicit ApplicationScanImpl_Linux(const QString& procRoot = QStringLiteral("/proc"));
    QSet<QString> scan(const QSet<QString>* fileNames = nullptr) override;

private:
    QString procRoot;
};

#endif

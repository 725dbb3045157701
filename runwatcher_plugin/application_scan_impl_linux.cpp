#include "application_scan_impl_linux.h"

#include <QDir>
#include <QFileInfo>
#include <unistd.h>

ApplicationScanImpl_Linux::ApplicationScanImpl_Linux(const QString& procRoot) : procRoot(procRoot) {}

QSet<QString> ApplicationScanImpl_Linux::scan()
{
    QSet<QString> result;
    const uint uid = getuid();
    const QDir proc(procRoot);
    const QFileInfoList entries = proc.entryInfoList(
        QDir::AllDirs | QDir::Readable | QDir::NoSymLinks | QDir::NoDotAndDotDot, QDir::NoSort);
    for (const QFileInfo& entry : entries) {
        if (entry.ownerId() != uid) {
            continue;
        }
        bool numeric = false;
        entry.fileName().toInt(&numeric);
        if (!numeric) {
            continue;
        }
        const QFileInfo exe(entry.filePath() + QDir::separator() + QStringLiteral("exe"));
        if (!exe.exists()) {
            continue;
        }
        // Empty for a link that does not resolve, such as the executable of a deleted file.
        const QString canonical = exe.canonicalFilePath();
        if (!canonical.isEmpty()) {
            result.insert(canonical);
        }
    }
    return result;
}

#include "application_scan_impl_linux.h"

#include <QByteArray>
#include <QFile>
#include <QSet>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A process folder's name: a decimal number that fits an int.
bool isProcessName(const char* name)
{
    long long value = 0;
    int digits = 0;
    for (const char* p = name; *p; ++p) {
        if (*p < '0' || *p > '9' || ++digits > 10) {
            return false;
        }
        value = value * 10 + (*p - '0');
    }
    return digits > 0 && value <= INT_MAX;
}

// Every symbolic link resolved; empty when the path does not lead to an existing file.
QString canonicalPath(const char* path)
{
    char* resolved = realpath(path, nullptr);
    if (!resolved) {
        return QString();
    }
    const QString result = QFile::decodeName(resolved);
    std::free(resolved);
    return result;
}

}  // namespace

ApplicationScanImpl_Linux::ApplicationScanImpl_Linux(const QString& procRoot) : procRoot(procRoot) {}

// Two system calls per process (the owner, then the "exe" link), relative to the open table; the
// canonical path of an executable is worked out once per scan however many processes run it.
QSet<QString> ApplicationScanImpl_Linux::scan()
{
    QSet<QString> result;
    const uid_t uid = getuid();
    const QByteArray root = QFile::encodeName(procRoot);
    DIR* dir = opendir(root.constData());
    if (!dir) {
        return result;
    }
    const int fd = dirfd(dir);
    QSet<QByteArray> seen;  // absolute link texts already resolved in this scan
    char target[PATH_MAX + 1];
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN) {
            continue;  // no symbolic links, no files
        }
        if (!isProcessName(entry->d_name)) {
            continue;
        }
        struct stat info;
        if (fstatat(fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(info.st_mode) ||
            info.st_uid != uid || !(uid == 0 || (info.st_mode & S_IRUSR))) {
            continue;
        }
        char exe[sizeof entry->d_name + 4];
        std::snprintf(exe, sizeof exe, "%s/exe", entry->d_name);
        const ssize_t length = readlinkat(fd, exe, target, PATH_MAX);
        if (length < 0 && errno != EINVAL) {
            continue;  // no executable (a kernel thread, a process that ended)
        }
        if (length <= 0 || length == PATH_MAX || target[0] != '/') {
            // Not a link, a relative or overlong one: resolved from where it is, not remembered.
            const QString canonical = canonicalPath((root + '/' + QByteArray(exe)).constData());
            if (!canonical.isEmpty()) {
                result.insert(canonical);
            }
            continue;
        }
        target[length] = '\0';
        if (seen.contains(QByteArray::fromRawData(target, int(length)))) {
            continue;
        }
        const QString canonical = canonicalPath(target);
        seen.insert(QByteArray(target, int(length)));
        if (!canonical.isEmpty()) {
            result.insert(canonical);
        }
    }
    closedir(dir);
    return result;
}

#include "application_scan_impl_linux.h"

#include <QByteArray>
#include <QFile>
#include <QHash>
#include <cerrno>
#include <climits>
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
    QHash<QByteArray, QString> seen;  // link text -> canonical path, absolute link texts only
    char target[PATH_MAX];
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
        const QByteArray exe = QByteArray(entry->d_name) + "/exe";
        const ssize_t length = readlinkat(fd, exe.constData(), target, sizeof target);
        if (length < 0 && errno != EINVAL) {
            continue;  // no executable (a kernel thread, a process that ended)
        }
        const QByteArray fullPath = root + '/' + exe;
        if (length <= 0 || length == ssize_t(sizeof target) || target[0] != '/') {
            // Not a link, a relative or overlong one: resolved from where it is, not remembered.
            const QString canonical = canonicalPath(fullPath.constData());
            if (!canonical.isEmpty()) {
                result.insert(canonical);
            }
            continue;
        }
        const QByteArray text(target, int(length));
        auto known = seen.constFind(text);
        if (known == seen.constEnd()) {
            known = seen.insert(text, canonicalPath(text.constData()));
            if (!known->isEmpty()) {
                result.insert(*known);
            }
        }
    }
    closedir(dir);
    return result;
}

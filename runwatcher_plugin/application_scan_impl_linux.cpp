#include "application_scan_impl_linux.h"

#include <QByteArray>
#include <QFile>
#include <QSet>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// The real user id of a process, from the "Uid:" line of its status file (real, effective, saved,
// file system ids follow it).
bool realUserId(int table, const char* process, uid_t* uid)
{
    char path[sizeof(dirent::d_name) + 8];
    std::snprintf(path, sizeof path, "%s/status", process);
    const int fd = openat(table, path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return false;
    }
    // The line comes early (after Name, Umask, State, Tgid, Ngid, Pid, PPid, TracerPid); a name is at
    // most 64 bytes escaped.
    char text[1024];
    ssize_t length;
    do {
        length = read(fd, text, sizeof text - 1);
    } while (length < 0 && errno == EINTR);
    close(fd);
    if (length <= 0) {
        return false;
    }
    text[length] = '\0';
    const char* line = std::strstr(text, "\nUid:");
    if (!line) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(line + 5, &end, 10);
    if (end == line + 5 || errno != 0) {
        return false;
    }
    *uid = static_cast<uid_t>(value);
    return static_cast<unsigned long>(*uid) == value;
}

// The first word of a command line file (the program's argv[0]), or -1.
ssize_t readCommandName(int table, const char* path, char* buffer, size_t size)
{
    const int fd = openat(table, path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return -1;
    }
    ssize_t length;
    do {
        length = read(fd, buffer, size);
    } while (length < 0 && errno == EINTR);
    close(fd);
    if (length <= 0) {
        return -1;
    }
    const void* end = std::memchr(buffer, '\0', static_cast<size_t>(length));
    return end ? static_cast<const char*>(end) - buffer : length;
}

}  // namespace

ApplicationScanImpl_Linux::ApplicationScanImpl_Linux(const QString& procRoot) : procRoot(procRoot) {}

// Per process its folder's owner (and for a folder of root's its status) and the text of its "exe"
// link, relative to the open table.
// Nothing outside the process table is looked at: the kernel writes the link's text as the absolute
// path of the executable without links, so a file on a mount that no longer answers costs nothing.
QSet<QString> ApplicationScanImpl_Linux::scan(const QSet<QString>* fileNames)
{
    QSet<QString> result;
    const uid_t uid = getuid();
    const QByteArray root = QFile::encodeName(procRoot);
    DIR* dir = opendir(root.constData());
    if (!dir) {
        return result;
    }
    const int fd = dirfd(dir);
    char target[PATH_MAX + 1];
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN) {
            continue;  // no symbolic links, no files
        }
        if (!isProcessName(entry->d_name)) {
            continue;
        }
        // The folder belongs to the process's effective user while it is dumpable, and to root
        // once it is not (the kernel makes it so when a process changes its ids, as a set-id
        // program does): a folder of the user's is a process whose real id is theirs, one of
        // another user's is not, and only a folder of root's needs the status file to tell.
        struct stat info;
        if (fstatat(fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(info.st_mode) ||
            (info.st_uid != uid && info.st_uid != 0)) {
            continue;
        }
        // A folder of root's (the only other kind left) is the user's when the status says so.
        const auto isUsers = [&] {
            uid_t realUid = 0;
            return info.st_uid != 0 || (realUserId(fd, entry->d_name, &realUid) && realUid == uid);
        };
        char exe[sizeof entry->d_name + 8];
        std::snprintf(exe, sizeof exe, "%s/exe", entry->d_name);
        ssize_t length = readlinkat(fd, exe, target, PATH_MAX);
        const bool hidden = length < 0 && (errno == EACCES || errno == EPERM);
        if (length < 0 && !hidden) {
            continue;  // no executable: a kernel thread, a process that ended
        }
        if (hidden) {
            // A process that is not dumpable hides its link from all but root; its command line
            // is readable, and its first word names the executable when it is absolute. Another
            // user's is not read at all.
            if (!isUsers()) {
                continue;
            }
            std::snprintf(exe, sizeof exe, "%s/cmdline", entry->d_name);
            length = readCommandName(fd, exe, target, PATH_MAX);
        }
        if (length <= 0 || length >= PATH_MAX || target[0] != '/') {
            continue;  // no path
        }
        const QString path = QFile::decodeName(QByteArray(target, int(length)));
        if (fileNames && !fileNames->contains(path.mid(path.lastIndexOf(QLatin1Char('/')) + 1))) {
            continue;
        }
        // The status is read last, as it costs the most: only for a name that counts.
        if (!hidden && !isUsers()) {
            continue;
        }
        result.insert(path);
    }
    closedir(dir);
    return result;
}

#include "safefs.h"

#include "globals.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace safefs {

namespace {

QByteArray native(const QString &path)
{
    return QFile::encodeName(path);
}

bool removeBelow(const QByteArray &dirPath)
{
    DIR *dir = ::opendir(dirPath.constData());
    if (!dir)
        return false;
    bool ok = true;
    QList<QByteArray> names;
    while (struct dirent *entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
            names.append(name);
    }
    ::closedir(dir);
    for (const QByteArray &name : names) {
        const QByteArray sub = dirPath + '/' + name;
        struct stat st;
        if (::lstat(sub.constData(), &st) != 0) {
            ok = false;
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            ok = removeBelow(sub) && ok;
            ok = ::rmdir(sub.constData()) == 0 && ok;
        } else {
            ok = ::unlink(sub.constData()) == 0 && ok;
        }
    }
    return ok;
}

} // namespace

bool Fd::close()
{
    const int fd = m_fd;
    m_fd = -1;
    return fd < 0 || ::close(fd) == 0;
}

void Fd::reset(int fd)
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
}

bool writeAll(int fd, const char *data, qint64 size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, static_cast<size_t>(size));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= n;
    }
    return true;
}

QByteArray identityOf(const QString &path)
{
    struct stat st;
    if (path.isEmpty() || ::lstat(native(path).constData(), &st) != 0)
        return QByteArray();
    return QByteArray::number(quint64(st.st_dev)) + ':' + QByteArray::number(quint64(st.st_ino));
}

Kind kindOf(const QString &path)
{
    struct stat st;
    if (path.isEmpty() || ::lstat(native(path).constData(), &st) != 0)
        return Kind::Missing;
    if (S_ISLNK(st.st_mode))
        return Kind::SymLink;
    if (S_ISDIR(st.st_mode))
        return Kind::Dir;
    if (S_ISREG(st.st_mode))
        return Kind::File;
    return Kind::Other;
}

bool makeDirsBelow(const QString &root, const QStringList &components)
{
    QString path = root;
    for (const QString &component : components) {
        if (component.isEmpty() || component == QLatin1String(".") || component == QLatin1String("..")
            || component.contains(QLatin1Char('/')))
            return false;
        path += QLatin1Char('/') + component;
        const Kind kind = kindOf(path);
        if (kind == Kind::Dir)
            continue;
        if (kind != Kind::Missing)
            return false;
        if (::mkdir(native(path).constData(), 0777) != 0 && !(errno == EEXIST && kindOf(path) == Kind::Dir))
            return false;
    }
    return true;
}

int createFile(const QString &path)
{
    Fd fd(::open(native(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!fd.valid())
        return -1;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return fd.release();
}

bool writeFile(const QString &path, const QByteArray &data)
{
    Fd fd(createFile(path));
    if (!fd.valid() || !writeAll(fd.get(), data.constData(), data.size()))
        return false;
    return fd.close();
}

bool ensurePrivateDir(const QString &path, QString &problem)
{
    const QByteArray name = native(path);
    if (::mkdir(name.constData(), 0700) == 0)
        return true;
    struct stat st;
    if (errno != EEXIST || ::lstat(name.constData(), &st) != 0) {
        problem = qt_error_string(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        problem = installerText("it is no folder");
        return false;
    }
    if (st.st_uid != ::geteuid()) {
        problem = installerText("it belongs to another user");
        return false;
    }
    if ((st.st_mode & 07777) != 0700 && ::chmod(name.constData(), 0700) != 0) {
        problem = qt_error_string(errno);
        return false;
    }
    return true;
}

bool syncFolder(const QByteArray &path)
{
    Fd fd(::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd.valid() && ::fsync(fd.get()) == 0;
}

bool syncFileSystems(const QList<QByteArray> &paths, QByteArray *failed)
{
    QSet<dev_t> synced;
    for (const QByteArray &path : paths) {
        struct stat st;
        if (::stat(path.constData(), &st) != 0 || synced.contains(st.st_dev))
            continue;
        Fd fd(::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!fd.valid() || ::syncfs(fd.get()) != 0) {
            if (failed)
                *failed = path;
            return false;
        }
        synced.insert(st.st_dev);
    }
    return true;
}

QByteArray parentOf(const QByteArray &path)
{
    return path.left(path.lastIndexOf('/'));
}

bool removeEntry(const QString &path)
{
    if (path.isEmpty())
        return true;
    const QByteArray name = native(path);
    struct stat st;
    if (::lstat(name.constData(), &st) != 0)
        return errno == ENOENT;
    if (!S_ISDIR(st.st_mode))
        return ::unlink(name.constData()) == 0;
    const bool ok = removeBelow(name);
    return ::rmdir(name.constData()) == 0 && ok;
}

} // namespace safefs

#include "safefs.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

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

class Fd
{
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    // Closes the descriptor and tells whether the close succeeded.
    bool close()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd < 0 || ::close(fd) == 0;
    }
    void reset()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd;
};

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

bool writeFile(const QString &path, const QByteArray &data)
{
    Fd fd(::open(native(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!fd.valid())
        return false;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    if (!writeAll(fd.get(), data.constData(), data.size()))
        return false;
    return fd.close();
}

bool copyFileReplacing(const QString &source, const QString &target)
{
    Fd in(::open(native(source).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!in.valid())
        return false;
    struct stat st;
    if (::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;

    const QFileInfo targetInfo(target);
    QByteArray tempName = native(targetInfo.path() + QLatin1String("/.") + targetInfo.fileName()
                                 + QLatin1String(".part-XXXXXX"));
    Fd out(::mkostemp(tempName.data(), O_CLOEXEC));
    if (!out.valid())
        return false;

    bool ok = true;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(in.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0)
            break;
        if (!writeAll(out.get(), buffer, n)) {
            ok = false;
            break;
        }
    }
    ok = ok && ::fchmod(out.get(), st.st_mode & 0777) == 0;
    ok = ok && ::fsync(out.get()) == 0;
    ok = out.close() && ok;
    ok = ok && ::rename(tempName.constData(), native(target).constData()) == 0;
    if (!ok)
        ::unlink(tempName.constData());
    return ok;
}

bool ensurePrivateDir(const QString &path)
{
    const QByteArray name = native(path);
    if (::mkdir(name.constData(), 0700) == 0)
        return true;
    if (errno != EEXIST)
        return false;
    struct stat st;
    if (::lstat(name.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
        return false;
    if ((st.st_mode & 07777) != 0700 && ::chmod(name.constData(), 0700) != 0)
        return false;
    return true;
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

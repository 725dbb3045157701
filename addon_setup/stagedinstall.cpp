#include "stagedinstall.h"

#include "safefs.h"

#include <QCoreApplication>
#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("InstallDialog", text);
}

QByteArray parentOf(const QByteArray &path)
{
    return path.left(path.lastIndexOf('/'));
}

// Copies `size` bytes from `in` to `out`, in the kernel where it can.
bool copyData(int in, int out, qint64 size)
{
    bool inKernel = true;
    QByteArray buffer;
    while (size > 0) {
        if (inKernel) {
            const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, size_t(size), 0);
            if (n > 0) {
                size -= n;
                continue;
            }
            if (n == 0)
                return false;
            if (errno == EINTR)
                continue;
            if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP && errno != EPERM)
                return false;
            inKernel = false;
            buffer.resize(256 * 1024);
        }
        const ssize_t n = ::read(in, buffer.data(), size_t(std::min<qint64>(size, buffer.size())));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || !safefs::writeAll(out, buffer.constData(), n))
            return false;
        size -= n;
    }
    return true;
}

bool exchange(const QByteArray &a, const QByteArray &b)
{
    return ::renameat2(AT_FDCWD, a.constData(), AT_FDCWD, b.constData(), RENAME_EXCHANGE) == 0;
}

} // namespace

StagedInstall::StagedInstall(const QString &root)
    : m_nativeRoot(QFile::encodeName(root)),
      m_token(QByteArray::number(QRandomGenerator::global()->generate64(), 36))
{
}

StagedInstall::~StagedInstall()
{
    if (!m_done)
        rollback();
}

bool StagedInstall::fail(const QString &what, int error)
{
    m_error = what + QStringLiteral(": ") + qt_error_string(error);
    return false;
}

QByteArray StagedInstall::freshName(const QByteArray &folder)
{
    // Short, so that it fits wherever the target's own name fits; hidden from folder listings.
    return folder + "/.vxm-" + m_token + '-' + QByteArray::number(++m_counter);
}

bool StagedInstall::makeFolder(const QString &relative)
{
    const QByteArray path = m_nativeRoot + '/' + QFile::encodeName(relative);
    if (::mkdir(path.constData(), 0777) == 0) {
        m_newFolders.push_back(path);
        m_changedFolders.insert(parentOf(path));
        return true;
    }
    const int error = errno;
    struct stat st;
    if (error == EEXIST && ::stat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode))
        return true;
    return fail(tr("Cannot create the folder %1").arg(QFile::decodeName(path)), error == EEXIST ? ENOTDIR : error);
}

bool StagedInstall::stageFile(const QString &source, const QString &relative)
{
    const QByteArray from = QFile::encodeName(source);
    File file;
    file.target = m_nativeRoot + '/' + QFile::encodeName(relative);
    const QString shown = QFile::decodeName(file.target);

    safefs::Fd in(::open(from.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!in.valid() || ::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return fail(tr("Cannot read %1").arg(source), in.valid() ? EINVAL : errno);
    struct stat old;
    if (::lstat(file.target.constData(), &old) == 0) {
        if (S_ISDIR(old.st_mode))
            return fail(tr("Cannot write %1").arg(shown), EISDIR);
        if (old.st_dev == st.st_dev && old.st_ino == st.st_ino)
            return true; // already in place
    }

    const QByteArray folder = parentOf(file.target);
    for (;;) {
        file.temp = freshName(folder);
        if (::link(from.constData(), file.temp.constData()) == 0)
            break;
        if (errno == EEXIST)
            continue;
        if (errno != EXDEV && errno != EPERM && errno != EMLINK && errno != EOPNOTSUPP)
            return fail(tr("Cannot write %1").arg(shown), errno);
        // Another file system, or one without hard links: a copy with the source's permissions.
        safefs::Fd out(::open(file.temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!out.valid() && errno == EEXIST)
            continue;
        if (!out.valid())
            return fail(tr("Cannot write %1").arg(shown), errno);
        m_files.push_back(file); // removed again by the rollback, written or not
        bool ok = copyData(in.get(), out.get(), st.st_size) && ::fchmod(out.get(), st.st_mode & 0777) == 0;
        const int error = errno;
        ok = out.close() && ok;
        if (!ok)
            return fail(tr("Cannot write %1").arg(shown), error ? error : EIO);
        m_changedFolders.insert(folder);
        return true;
    }
    m_files.push_back(file);
    m_changedFolders.insert(folder);
    return true;
}

bool StagedInstall::place(File &file)
{
    struct stat st;
    if (::lstat(file.target.constData(), &st) != 0) {
        if (::rename(file.temp.constData(), file.target.constData()) != 0)
            return false;
        file.state = State::Placed;
        return true;
    }
    if (exchange(file.temp, file.target)) {
        file.state = State::Exchanged;
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return false;
    // No exchange on this file system: the old file steps aside first.
    file.backup = freshName(parentOf(file.target));
    if (::rename(file.target.constData(), file.backup.constData()) != 0)
        return false;
    if (::rename(file.temp.constData(), file.target.constData()) != 0) {
        const int error = errno;
        ::rename(file.backup.constData(), file.target.constData());
        errno = error;
        return false;
    }
    file.state = State::Replaced;
    return true;
}

bool StagedInstall::syncFolders()
{
    for (const QByteArray &folder : qAsConst(m_changedFolders)) {
        safefs::Fd fd(::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!fd.valid() || ::fsync(fd.get()) != 0)
            return fail(tr("Cannot save %1 to disk").arg(QFile::decodeName(folder)), errno);
    }
    return true;
}

bool StagedInstall::commit()
{
    // One sync per file system makes every staged file durable before any of them is visible.
    QSet<dev_t> synced;
    for (const QByteArray &folder : qAsConst(m_changedFolders)) {
        struct stat st;
        if (::stat(folder.constData(), &st) != 0 || synced.contains(st.st_dev))
            continue;
        safefs::Fd fd(::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!fd.valid() || ::syncfs(fd.get()) != 0) {
            fail(tr("Cannot save %1 to disk").arg(QFile::decodeName(folder)), errno);
            rollback();
            return false;
        }
        synced.insert(st.st_dev);
    }
    for (File &file : m_files) {
        if (!place(file)) {
            fail(tr("Cannot replace %1").arg(QFile::decodeName(file.target)), errno);
            rollback();
            return false;
        }
    }
    if (!syncFolders()) {
        rollback();
        return false;
    }
    return true;
}

void StagedInstall::finish()
{
    for (const File &file : m_files) {
        if (file.state == State::Exchanged)
            ::unlink(file.temp.constData());
        else if (file.state == State::Replaced)
            ::unlink(file.backup.constData());
    }
    m_done = true;
}

void StagedInstall::rollback()
{
    for (auto it = m_files.rbegin(); it != m_files.rend(); ++it) {
        switch (it->state) {
        case State::Exchanged:
            if (exchange(it->temp, it->target))
                ::unlink(it->temp.constData());
            break;
        case State::Replaced:
            ::rename(it->backup.constData(), it->target.constData());
            break;
        case State::Placed:
            ::unlink(it->target.constData());
            break;
        case State::Staged:
            ::unlink(it->temp.constData());
            break;
        }
    }
    for (auto it = m_newFolders.rbegin(); it != m_newFolders.rend(); ++it)
        ::rmdir(it->constData());
    m_files.clear();
    m_newFolders.clear();
    m_done = true;
}

#include "stagedinstall.h"

#include "globals.h"
#include "installfault.h"
#include "safefs.h"

#include <QFile>
#include <QRandomGenerator>
#include <QSettings>

#include <cerrno>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

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

// Makes `to` (a free name) the file `from`: a hard link, or on a file system without hard links
// between the two, a copy with the same permissions. False with errno set.
bool linkOrCopy(const QByteArray &from, const QByteArray &to)
{
    if (::link(from.constData(), to.constData()) == 0)
        return true;
    if (errno != EXDEV && errno != EPERM && errno != EMLINK && errno != EOPNOTSUPP)
        return false;
    safefs::Fd in(::open(from.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!in.valid() || ::fstat(in.get(), &st) != 0)
        return false;
    safefs::Fd out(::open(to.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.valid())
        return false;
    bool ok = copyData(in.get(), out.get(), st.st_size) && ::fchmod(out.get(), st.st_mode & 0777) == 0;
    const int error = errno ? errno : EIO;
    ok = out.close() && ok;
    errno = error;
    return ok;
}

} // namespace

StagedInstall::StagedInstall(const QString &journalPath)
    : m_journal(journalPath), m_token(QByteArray::number(QRandomGenerator::global()->generate64(), 36))
{
}

bool StagedInstall::fail(const QString &what, int error)
{
    m_error = withSystemReason(what, error);
    return false;
}

QByteArray StagedInstall::freshName(const QByteArray &folder)
{
    // Short, so that it fits wherever the target's own name fits; hidden from folder listings.
    return folder + "/.vxm-" + m_token + '-' + QByteArray::number(++m_counter);
}

bool StagedInstall::addFolder(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat st;
    if (::stat(native.constData(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return true;
        return fail(installerText("Cannot create the folder %1").arg(path), ENOTDIR);
    }
    m_plan.folders.append(native);
    m_changedFolders.insert(safefs::parentOf(native));
    return true;
}

bool StagedInstall::addFile(const QString &source, const QString &target)
{
    const QByteArray from = QFile::encodeName(source);
    JournalPlan::File file;
    file.target = QFile::encodeName(target);
    struct stat st;
    struct stat old;
    if (::lstat(file.target.constData(), &old) == 0) {
        if (S_ISDIR(old.st_mode))
            return fail(installerText("Cannot write %1").arg(target), EISDIR);
        if (::stat(from.constData(), &st) == 0 && old.st_dev == st.st_dev && old.st_ino == st.st_ino)
            return true; // already in place
        file.backup = freshName(safefs::parentOf(file.target));
    }
    file.staged = freshName(safefs::parentOf(file.target));
    m_plan.files.append(file);
    m_sources.append(from);
    m_changedFolders.insert(safefs::parentOf(file.target));
    return true;
}

void StagedInstall::addSetting(const QString &file, const QString &key, const QString &value)
{
    const QSettings settings(file, QSettings::IniFormat);
    m_plan.settings.append({file, key, value, settings.contains(key), settings.value(key).toString()});
}

bool StagedInstall::stageFile(const JournalPlan::File &file, const QByteArray &source)
{
    const QString shown = QFile::decodeName(file.target);
    struct stat st;
    const bool found = ::lstat(source.constData(), &st) == 0;
    if (!found || !S_ISREG(st.st_mode))
        return fail(installerText("Cannot read %1").arg(QFile::decodeName(source)), found ? EINVAL : errno);
    if (injectedInstallFault("stage", file.staged) || !linkOrCopy(source, file.staged))
        return fail(installerText("Cannot write %1").arg(shown), errno);
    if (!file.backup.isEmpty() && (injectedInstallFault("backup", file.backup) || !linkOrCopy(file.target, file.backup)))
        return fail(installerText("Cannot keep a backup of %1").arg(shown), errno);
    return true;
}

bool StagedInstall::stage()
{
    for (const QByteArray &folder : qAsConst(m_plan.folders)) {
        if (injectedInstallFault("mkdir", folder) || ::mkdir(folder.constData(), 0777) != 0)
            return fail(installerText("Cannot create the folder %1").arg(QFile::decodeName(folder)), errno);
    }
    for (int i = 0; i < m_plan.files.size(); ++i) {
        if (!stageFile(m_plan.files.at(i), m_sources.at(i)))
            return false;
    }
    // One sync of each file system makes every staged file durable before any of them is placed.
    QByteArray failed;
    const QList<QByteArray> folders = m_changedFolders.values();
    if (injectedInstallFault("sync", folders.value(0)) || !safefs::syncFileSystems(folders, &failed))
        return fail(installerText("Cannot save %1 to disk").arg(QFile::decodeName(failed)), errno);
    return true;
}

bool StagedInstall::place()
{
    for (const JournalPlan::File &file : qAsConst(m_plan.files)) {
        if (injectedInstallFault("place", file.target) || ::rename(file.staged.constData(), file.target.constData()) != 0)
            return fail(installerText("Cannot replace %1").arg(QFile::decodeName(file.target)), errno);
    }
    for (const QByteArray &folder : qAsConst(m_changedFolders)) {
        if (!safefs::syncFolder(folder))
            return fail(installerText("Cannot save %1 to disk").arg(QFile::decodeName(folder)), errno);
    }
    for (const JournalPlan::Setting &setting : qAsConst(m_plan.settings)) {
        if (!writeSetting(setting, false))
            return fail(installerText("Cannot write %1").arg(setting.file), errno ? errno : EIO);
    }
    return true;
}

bool StagedInstall::undo(JournalPhase phase)
{
    const QStringList notRestored = undoPlan(m_plan, phase);
    if (notRestored.isEmpty())
        m_journal.remove();
    else
        m_error += QLatin1Char(' ') + notRestoredText(notRestored);
    return false;
}

bool StagedInstall::run()
{
    if (!m_error.isEmpty() || !m_journal.begin(m_plan, m_error))
        return false;
    if (!stage() || !m_journal.enter(JournalPhase::Placing, m_error))
        return undo(JournalPhase::Staging);
    if (!place() || !m_journal.enter(JournalPhase::Committed, m_error))
        return undo(JournalPhase::Placing);
    // From here on the installation stays; a backup that cannot go now is tried again at the
    // next start, from the journal.
    if (finishPlan(m_plan))
        m_journal.remove();
    return true;
}

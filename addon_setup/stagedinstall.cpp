#include "stagedinstall.h"

#include "globals.h"
#include "installfault.h"
#include "safefs.h"

#include <QFile>
#include <QRandomGenerator>
#include <QSettings>

#include <cerrno>
#include <csignal>
#include <cstring>
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
// between the two, a copy with the same permissions and times. False with errno set.
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
    // The times tell the copy's content apart from any other, as the journal records it.
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    bool ok = copyData(in.get(), out.get(), st.st_size) && ::fchmod(out.get(), st.st_mode & 0777) == 0
        && ::futimens(out.get(), times) == 0;
    const int error = errno ? errno : EIO;
    ok = out.close() && ok;
    errno = error;
    return ok;
}

// The signal that asked a running installation to stop, or 0.
volatile sig_atomic_t stopSignal = 0;

extern "C" void askToStop(int signal)
{
    stopSignal = signal;
}

// While it lives, SIGTERM, SIGHUP and SIGINT ask the installation to stop instead of ending the
// process; when it goes, a signal that came meanwhile ends the process as it would have.
class StopSignals
{
public:
    StopSignals()
    {
        stopSignal = 0;
        struct sigaction action = {};
        action.sa_handler = askToStop;
        sigemptyset(&action.sa_mask);
        for (int i = 0; i < count; ++i)
            ::sigaction(handledSignals[i], &action, &m_previous[i]);
    }
    ~StopSignals()
    {
        for (int i = 0; i < count; ++i)
            ::sigaction(handledSignals[i], &m_previous[i], nullptr);
        if (const int signal = stopSignal) {
            ::signal(signal, SIG_DFL);
            ::raise(signal);
        }
    }
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;

private:
    static constexpr int count = 3;
    static constexpr int handledSignals[count] = {SIGTERM, SIGHUP, SIGINT};
    struct sigaction m_previous[count];
};

} // namespace

StagedInstall::StagedInstall(const QString &journalPath, const QString &root)
    : m_journal(journalPath), m_token(QByteArray::number(QRandomGenerator::global()->generate64(), 36))
{
    m_plan.root = QFile::encodeName(root);
}

bool StagedInstall::fail(const QString &what, int error)
{
    m_error = withSystemReason(what, error);
    return false;
}

QByteArray StagedInstall::freshName(const char *prefix)
{
    // Short, so that it fits wherever the target's own name fits; hidden from folder listings.
    return prefix + m_token + '-' + QByteArray::number(++m_counter);
}

bool StagedInstall::addFolder(const QString &relative)
{
    const QByteArray name = QFile::encodeName(relative);
    const QByteArray native = m_plan.path(name);
    struct stat st;
    if (::stat(native.constData(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return true;
        return fail(installerText("Cannot create the folder %1").arg(QFile::decodeName(native)), ENOTDIR);
    }
    m_plan.folders.append(name);
    m_changedFolders.insert(safefs::parentOf(native));
    return true;
}

bool StagedInstall::addFile(const QString &source, const QString &relative)
{
    const QByteArray from = QFile::encodeName(source);
    JournalPlan::File file;
    file.target = QFile::encodeName(relative);
    const QByteArray target = m_plan.path(file.target);
    struct stat st;
    struct stat old;
    if (::lstat(target.constData(), &old) == 0) {
        if (S_ISDIR(old.st_mode))
            return fail(installerText("Cannot write %1").arg(QFile::decodeName(target)), EISDIR);
        if (::stat(from.constData(), &st) == 0 && old.st_dev == st.st_dev && old.st_ino == st.st_ino)
            return true; // already in place
        file.backup = freshName(".vxmkeep-");
        file.old = JournalPlan::Content::of(target);
    }
    file.staged = freshName(".vxm-");
    file.fresh = JournalPlan::Content::of(from);
    m_plan.files.append(file);
    m_sources.append(from);
    m_changedFolders.insert(safefs::parentOf(target));
    return true;
}

void StagedInstall::addSetting(const QString &key, const QString &value)
{
    const QSettings settings(addonListPath(), QSettings::IniFormat);
    m_plan.settings.append({key, value, settings.contains(key), settings.value(key).toString()});
}

bool StagedInstall::stopped()
{
    if (!stopSignal)
        return false;
    m_error = installerText("The installation was stopped by a signal (%1).").arg(QString::fromLocal8Bit(::strsignal(stopSignal)));
    return true;
}

bool StagedInstall::stageFile(const JournalPlan::File &file, const QByteArray &source)
{
    const QByteArray target = m_plan.path(file.target);
    const QString shown = QFile::decodeName(target);
    struct stat st;
    const bool found = ::lstat(source.constData(), &st) == 0;
    if (!found || !S_ISREG(st.st_mode))
        return fail(installerText("Cannot read %1").arg(QFile::decodeName(source)), found ? EINVAL : errno);
    const QByteArray staged = m_plan.stagedPath(file);
    if (injectedInstallFault("stage", staged) || !linkOrCopy(source, staged))
        return fail(installerText("Cannot write %1").arg(shown), errno);
    const QByteArray backup = m_plan.backupPath(file);
    if (!backup.isEmpty() && (injectedInstallFault("backup", backup) || !linkOrCopy(target, backup)))
        return fail(installerText("Cannot keep a backup of %1").arg(shown), errno);
    return true;
}

bool StagedInstall::stage()
{
    for (const QByteArray &folder : qAsConst(m_plan.folders)) {
        const QByteArray path = m_plan.path(folder);
        if (stopped())
            return false;
        if (injectedInstallFault("mkdir", path) || ::mkdir(path.constData(), 0777) != 0)
            return fail(installerText("Cannot create the folder %1").arg(QFile::decodeName(path)), errno);
    }
    for (int i = 0; i < m_plan.files.size(); ++i) {
        if (stopped() || !stageFile(m_plan.files.at(i), m_sources.at(i)))
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
        const QByteArray target = m_plan.path(file.target);
        if (stopped())
            return false;
        if (injectedInstallFault("place", target) || ::rename(m_plan.stagedPath(file).constData(), target.constData()) != 0)
            return fail(installerText("Cannot replace %1").arg(QFile::decodeName(target)), errno);
    }
    for (const QByteArray &folder : qAsConst(m_changedFolders)) {
        if (!safefs::syncFolder(folder))
            return fail(installerText("Cannot save %1 to disk").arg(QFile::decodeName(folder)), errno);
    }
    for (const JournalPlan::Setting &setting : qAsConst(m_plan.settings)) {
        if (stopped())
            return false;
        if (!writeSetting(setting, false))
            return fail(installerText("Cannot write %1").arg(addonListPath()), errno ? errno : EIO);
    }
    return true;
}

bool StagedInstall::undo()
{
    const QStringList notRestored = undoPlan(m_plan);
    if (notRestored.isEmpty()) {
        m_journal.remove();
        return false;
    }
    bool kept = false;
    m_error += QLatin1Char(' ') + notRestoredText(notRestored) + QLatin1Char(' ')
        + setJournalAside(m_journal.path(), &m_plan, kept);
    return false;
}

bool StagedInstall::run()
{
    if (!m_error.isEmpty())
        return false;
    const StopSignals stopSignals;
    if (!m_journal.begin(m_plan, m_error))
        return false;
    if (!stage() || !m_journal.enter(false, m_error) || !place() || !m_journal.enter(true, m_error))
        return undo();
    // From here on the installation stays; a backup that cannot go now is tried again at the
    // next start, from the journal.
    if (finishPlan(m_plan))
        m_journal.remove();
    return true;
}

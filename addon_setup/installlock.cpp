#include "installlock.h"

#include "globals.h"
#include "install.h"

#include <QFile>
#include <QProgressDialog>
#include <QTimer>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// How often a waiting window looks whether the other run has ended.
constexpr int lockPollMs = 250;

} // namespace

QString waitingForInstallationText()
{
    return installerText("Waiting for another installation of an Add-On to finish...");
}

QString InstallLock::userLockPath()
{
    return configFolder() + QStringLiteral("addon_setup.lock");
}

InstallLock::InstallLock() : InstallLock(userLockPath(), Target::User)
{
}

InstallLock::InstallLock(const QString &path, Target target) : m_path(path), m_target(target)
{
}

bool InstallLock::open(QString &error)
{
    const QByteArray path = QFile::encodeName(m_path);
    const auto failed = [&](const QString &why) {
        error = installerText("Cannot lock %1").arg(m_path) + QStringLiteral(": ") + why;
        return false;
    };
    if (m_target == Target::Folder) {
        m_fd.reset(::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        return m_fd.valid() || failed(qt_error_string(errno));
    }
    if (m_target == Target::User) {
        // The journal beside the lock is obeyed only in a folder of the user's own.
        const QString folder = configFolder();
        const QByteArray name = QFile::encodeName(folder);
        struct stat st;
        if (::mkdir(name.constData(), 0700) != 0 && errno != EEXIST)
            return failed(withSystemReason(installerText("the folder %1 cannot be created").arg(folder), errno));
        if (::lstat(name.constData(), &st) != 0)
            return failed(withSystemReason(installerText("the folder %1 cannot be read").arg(folder), errno));
        if (!S_ISDIR(st.st_mode))
            return failed(installerText("%1 is no folder").arg(folder));
        if (st.st_uid != ::geteuid())
            return failed(installerText("the folder %1 belongs to another user").arg(folder));
    }
    m_fd.reset(::open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    return m_fd.valid() || failed(qt_error_string(errno));
}

InstallLock::Result InstallLock::lock(int operation, QString &error)
{
    if (!m_fd.valid() && !open(error))
        return Result::Failed;
    int result = -1;
    do
        result = ::flock(m_fd.get(), operation);
    while (result != 0 && errno == EINTR);
    if (result == 0)
        return Result::Taken;
    if (errno == EWOULDBLOCK)
        return Result::Busy;
    error = withSystemReason(installerText("Cannot lock %1").arg(m_path), errno);
    m_fd.reset();
    return Result::Failed;
}

InstallLock::Result InstallLock::tryTake(QString &error)
{
    return lock(LOCK_EX | LOCK_NB, error);
}

bool InstallLock::take(QString &error)
{
    return lock(LOCK_EX, error) == Result::Taken;
}

bool InstallLock::takeWaiting(bool silent, const QString &waitingText, QString &error)
{
    const Result first = tryTake(error);
    if (first != Result::Busy)
        return first == Result::Taken;
    if (silent)
        return take(error);

    QProgressDialog waiting(waitingText, installerText("Cancel"), 0, 0);
    waiting.setWindowTitle(installerText("Information"));
    bool taken = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &waiting, [&] {
        const Result result = tryTake(error);
        if (result == Result::Busy)
            return;
        taken = result == Result::Taken;
        waiting.accept();
    });
    poll.start(lockPollMs);
    waiting.exec();
    return taken;
}

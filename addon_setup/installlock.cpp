#include "installlock.h"

#include "globals.h"
#include "install.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>

QString InstallLock::path()
{
    return configFolder() + QStringLiteral("addon_setup.lock");
}

InstallLock::Result InstallLock::lock(int operation, QString &error)
{
    if (!m_fd.valid()) {
        QDir().mkpath(configFolder());
        m_fd.reset(::open(QFile::encodeName(path()).constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    }
    int result = -1;
    if (m_fd.valid()) {
        do
            result = ::flock(m_fd.get(), operation);
        while (result != 0 && errno == EINTR);
    }
    if (result == 0)
        return Result::Taken;
    if (m_fd.valid() && errno == EWOULDBLOCK)
        return Result::Busy;
    error = withSystemReason(installerText("Cannot lock %1").arg(path()), errno);
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

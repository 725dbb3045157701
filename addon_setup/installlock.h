#pragma once

#include "safefs.h"

#include <QString>

// What the window says while a run waits for another installation.
QString waitingForInstallationText();

// An exclusive lock (flock) held until the object goes, on one of:
// - the user's lock file in the configuration folder: one installation at a time for a user, and
//   its journal; the file itself stays, since removing it would let a waiting run and a new one
//   hold locks on two different files. The configuration folder must be the user's own;
// - a client folder itself: one installation at a time in it, whatever the users' configuration;
// - a lock file beside an extraction folder: one run at a time uses it.
class InstallLock
{
public:
    enum class Result { Taken, Busy, Failed };
    enum class Target { User, Folder, File };

    // The user's lock.
    InstallLock();
    InstallLock(const QString &path, Target target);

    // Takes the lock unless another process holds it; on failure `error` says why.
    Result tryTake(QString &error);
    // Takes the lock, waiting for as long as another process holds it.
    bool take(QString &error);
    // Takes the lock after another process has let it go: the silent road simply waits, otherwise
    // a window says so, and its Cancel ends the wait. False when not taken; `error` then says why,
    // or is empty when the user cancelled.
    bool takeWaiting(bool silent, const QString &waitingText, QString &error);

    // Lets the lock go.
    void release() { m_fd.reset(); }

    static QString userLockPath();

private:
    Result lock(int operation, QString &error);
    bool open(QString &error);

    QString m_path;
    Target m_target;
    safefs::Fd m_fd;
};

#pragma once

#include "safefs.h"

#include <QString>

// One installation of add-ons at a time for a user: an exclusive lock (flock) on a file in the
// user's configuration folder, held until the process ends. The file itself stays: removing it
// would let a waiting run and a new one hold locks on two different files.
class InstallLock
{
public:
    enum class Result { Taken, Busy, Failed };

    // Takes the lock unless another process holds it; on failure `error` says why.
    Result tryTake(QString &error);
    // Takes the lock, waiting for as long as another process holds it.
    bool take(QString &error);

    static QString path();

private:
    Result lock(int operation, QString &error);

    safefs::Fd m_fd;
};

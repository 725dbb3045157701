// A process of a fake process table: its folder, its "exe" link to `target` and its status file
// with the real user id `uid` (the effective one differs).
#ifndef RUNWATCHER_TESTS_FAKE_PROCESS_H
#define RUNWATCHER_TESTS_FAKE_PROCESS_H

#include <QDir>
#include <QFile>
#include <QString>
#include <unistd.h>

inline bool makeFakeProcess(const QString& procFolder, const QString& pid, const QString& target,
                            uid_t uid = getuid())
{
    const QString folder = procFolder + "/" + pid;
    QFile status(folder + "/status");
    return QDir(procFolder).mkpath(pid) && QFile::link(target, folder + "/exe") && status.open(QIODevice::WriteOnly) &&
           status.write(QStringLiteral("Name:\tx\nUmask:\t0022\nState:\tS (sleeping)\nUid:\t%1\t4242\t%1\t%1\n"
                                       "Gid:\t0\t0\t0\t0\n")
                            .arg(uid)
                            .toUtf8()) > 0;
}

#endif

#pragma once

#include "nativepath.h"

#include <QFile>
#include <QFileInfo>
#include <QString>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Run as root on an installation that another user owns, what the updater creates there (staged
// files, folders, its rollback journal and old/) takes the owner and group of the folder it lies
// in, so that the user's later updates can still replace and remove it. Otherwise nothing changes.
// `path` is the new entry; with `fd` (0 and above) that descriptor is changed, else the entry itself
// without following a link. Failures are left to the next step that needs the entry.
inline void takeFolderOwner(const QString& path, int fd = -1)
{
    if (::geteuid() != 0)
        return;
    struct stat folder;
    if (::stat(nativePath(QFileInfo(path).path()).constData(), &folder) != 0 || folder.st_uid == 0)
        return;
    if (fd >= 0)
        (void)::fchown(fd, folder.st_uid, folder.st_gid);
    else
        (void)::lchown(nativePath(path).constData(), folder.st_uid, folder.st_gid);
}

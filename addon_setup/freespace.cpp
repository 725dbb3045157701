#include "freespace.h"

#include "globals.h"

#include <QFile>
#include <QLocale>

#include <sys/stat.h>
#include <sys/statvfs.h>

QString sizeText(quint64 bytes)
{
    return QLocale().formattedDataSize(qint64(bytes));
}

quint64 fileSystemOf(const QString &path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? quint64(st.st_dev) : 0;
}

bool fitsOn(const QString &folder, const SpaceNeed &need, QString &error)
{
    struct statvfs vfs;
    if (::statvfs(QFile::encodeName(folder).constData(), &vfs) != 0)
        return true;
    const quint64 blockSize = vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize;
    quint64 bytes = need.folders * blockSize;
    for (const quint64 size : need.fileSizes)
        bytes += (size + blockSize - 1) / blockSize * blockSize;
    bytes += bytes / 50 + (quint64(1) << 20);
    const quint64 freeBytes = quint64(vfs.f_bavail) * blockSize;
    if (bytes > freeBytes) {
        error = installerText("Not enough free space in %1: the Add-On needs %2, %3 are free")
                    .arg(folder, sizeText(bytes), sizeText(freeBytes));
        return false;
    }
    const quint64 inodes = quint64(need.fileSizes.size()) + need.folders + 16;
    if (vfs.f_files != 0 && inodes > vfs.f_favail) {
        error = installerText("Not enough free space in %1: the Add-On has %2 files and folders, room is left for %3")
                    .arg(folder)
                    .arg(inodes)
                    .arg(quint64(vfs.f_favail));
        return false;
    }
    return true;
}

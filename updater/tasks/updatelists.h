#pragma once
// The lists that the product description turns into, and the path rules of replaced files.

#include <QList>
#include <QString>
#include <QStringList>

struct DownloadEntry
{
    QString group;
    QString path;
    QString md5;
    quint64 size = 0;
};

struct ReplaceEntry
{
    QString group;
    QString path;
    QString unpackedMd5;
    quint64 unpackedSize = 0;
    QString installPath;
    // File name of the backup below "old/"; empty means "_old_" plus the target's file name.
    // The list step sets it only when two targets share a file name, and it always starts with "_old_".
    QString backupName;
};

struct UpdateLists
{
    QList<DownloadEntry> downloadList;
    QList<ReplaceEntry> replaceList;
    QStringList deleteList;
};

// The entry's install path (installPath, else path); with a prefix, the file name gets the prefix.
QString targetPath(const ReplaceEntry& entry, const QString& prefix);
// "old/" plus the backup file name, relative to the installation folder.
QString backupPath(const ReplaceEntry& entry);

// A path from the product description that may be used below a folder as it is written: not
// empty, relative, no backslash, unchanged by QDir::cleanPath (no ".", "..", "//" or trailing "/").
bool isSafeRelativePath(const QString& path);
// 32 hexadecimal digits.
bool isMd5Text(const QString& text);

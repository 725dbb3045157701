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
};

struct UpdateLists
{
    QList<DownloadEntry> downloadList;
    QList<ReplaceEntry> replaceList;
    QStringList deleteList;
};

// The entry's install path (installPath, else path); with a prefix, the file name gets the prefix.
QString targetPath(const ReplaceEntry& entry, const QString& prefix);
// Where the installed file is kept while it is replaced, relative to the installation folder:
// "old/" and the backup name of the target's file name (n >= 2: a further candidate, see
// backupFileName()).
QString backupPath(const ReplaceEntry& entry, int n = 1);
// Whether a path names a backup: a file directly in "old/" with a backup name.
bool isBackupPath(const QString& path);
// Where the new content of the file at `target` (relative) is written before it takes the file's
// place: a hidden name beside it, so that one rename replaces the file whole: ".<name>.vxmnew", or
// for a further candidate when that is taken (n >= 2) ".<name>.<n>.vxmnew".
QString stagedPath(const QString& target, int n = 1);
// Whether `staged` is one of the staged names of `target`.
bool isStagedPathOf(const QString& staged, const QString& target);
// The rollback journal's place in the installation (relative), a name no release may use.
QString journalPath();
bool isUpdaterRecordPath(const QString& path);

// A path from the product description that may be used below a folder as it is written: not
// empty, relative, no backslash, unchanged by QDir::cleanPath (no ".", "..", "//" or trailing "/").
bool isSafeRelativePath(const QString& path);
// 32 hexadecimal digits.
bool isMd5Text(const QString& text);

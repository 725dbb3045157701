#pragma once

#include <QString>
#include <QStringList>

// Files of the updater itself, and the clean-ups of what an earlier self-update left behind.

// The folder of the backups, relative to the installation ("old"): a replaced file waits there
// under its backup name until the update is done, and the replace journal lies there.
QString oldFolder();
// The prefix of a backup file ("_old_"), shared with the replacement step.
QString oldFilePrefix();
// The name of the backup of a file named `fileName`: "_old_" and the name, or, for a further
// candidate when that is taken (n >= 2), "_old_<n>_" and the name. Every backup name is made here.
QString backupFileName(const QString& fileName, int n = 1);

// The files the updater runs from; their backups cannot be removed while it runs, so the
// replacement step leaves them for the next start.
QStringList updaterOwnFiles();
// Exact, case-sensitive match of a bare file name against updaterOwnFiles().
bool isUpdaterOwnFile(const QString& name);
// Whether `path` (relative to the installation) is one of the updater's own files: one of
// updaterOwnFiles() in the installation itself or in its Qt plug-in folders (imageformats,
// accessible, sqldrivers). A file of that name anywhere else is no file of the updater's.
bool isUpdaterOwnPath(const QString& path);

// Removes the backups of each of updaterOwnFiles() in `folder`, numbered ones included (missing
// files are no error).
void removeOldFileLeftovers(const QString& folder);
// Removes the Qt 4 libraries an old installation shipped, if present in `folder`.
void removeObsoleteQt4Libraries(const QString& folder);
// The start-up clean-up of the program folder: the Qt 4 libraries, the "_old_" leftovers in the
// program folder and its folders old, imageformats, accessible and sqldrivers, and the folder old
// itself when it is empty.
void removeSelfUpdateLeftovers(const QString& appDir);

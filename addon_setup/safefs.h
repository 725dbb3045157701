#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// File system helpers that never follow symbolic links and check every write.
namespace safefs {

enum class Kind { Missing, File, Dir, SymLink, Other };

// What the path itself is (the link, not its target).
Kind kindOf(const QString &path);

// Makes a folder for each of `components` in turn below `root`, which must exist. An existing
// component must be a real folder; a symbolic link or any other entry on the way fails.
bool makeDirsBelow(const QString &root, const QStringList &components);

// Creates or truncates the regular file `path` (never through a symbolic link) and writes `data`.
bool writeFile(const QString &path, const QByteArray &data);

// Copies the regular file `source` to `target` through a temporary file beside the target that is
// renamed over it, so the target is either the old or the complete new file. The copy gets the
// source's permission bits.
bool copyFileReplacing(const QString &source, const QString &target);

// Makes `path` a folder only the user can enter (mode 0700). An existing entry is accepted only
// when it is a real folder owned by the user; its mode is then tightened to 0700.
bool ensurePrivateDir(const QString &path);

// Removes the entry `path` itself: a file or a symbolic link is unlinked, a folder is removed
// with everything below it; links are never followed.
bool removeEntry(const QString &path);

} // namespace safefs

#pragma once

// The plan of a replacement and its undo.
//
// Before the replacement step changes anything it plans every change (planReplacement), writes
// the plan to its journal on disk (replacejournal.h) and then carries it out with the file tasks.
// Each change is carried out so that every name always holds a whole file:
//   CreatedDir    make the folder
//   CreatedFile   write the new content at the staged name beside the target, then rename it to
//                 the target, which must still be free
//   ReplacedFile  write the new content at the staged name, keep the installed file by a hard link
//                 at the backup name, then rename the staged file over the target
//   FolderForFile a folder level where a file (or anything but a folder) is installed: the file is
//                 renamed to the backup name, then the folder is made
//   FileForFolder a file where a folder is installed: write the new content at the staged name,
//                 rename the folder whole to the backup name, then the staged file to the target
// The undo of a change looks only at the installation, so it serves whether the change was made
// in full, in part or not at all, and doing it twice does no harm: the staged file goes; a backup
// that is there means the installed file was kept, so it is renamed back over the target (or
// dropped, while it is still the target itself); a created file goes only when it is the very file
// the update placed (its device and inode, recorded once it was staged), so a file someone else
// put at that name meanwhile stays; an empty created folder goes. Staged and backup names are free
// when the plan is made, so one that is there is the plan's. A name that cannot exist (a file
// where a folder level should be, a name too long) counts as absent.

#include <QList>
#include <QString>

#include <functional>

struct ReplaceEntry;

// Receives the texts of an undo or a recovery, one line each.
using JournalReporter = std::function<void(const QString&)>;

enum RollbackType {
    CreatedDir = 0,  // `path` is a folder that was missing
    CreatedFile = 1, // `path` is a file that was missing
    ReplacedFile = 2, // `path` is an installed file that is kept at `backupPath`
    FolderForFile = 3, // `path` becomes a folder; what was there is kept at `backupPath`
    FileForFolder = 4  // `path` becomes a file; the installed folder is kept whole at `backupPath`
};

// What lies at a path, as the plan needs it: a symbolic link counts as what it leads to, so a
// linked folder is written through as before.
enum class PathKind { Absent, File, Folder };

// One planned change; paths are relative to the installation.
struct RollbackData
{
    RollbackType type = CreatedFile;
    QString path;
    QString stagedPath;    // files: where the new content is written first
    QString backupPath;    // ReplacedFile: the hard link that keeps the installed file
    QString earlierBackup; // ReplacedFile: a backup of an earlier update at the usual backup name,
                           // which may be the only copy of an original: it goes only once the
                           // update has succeeded
    // CreatedFile, FileForFolder: the file the update placed, recorded once it is staged (0: none yet).
    quint64 placedDevice = 0;
    quint64 placedInode = 0;

    bool operator==(const RollbackData& other) const;

    // Undoes this change in `installation` as far as it was made; false when a file could not be
    // put back (a folder that is not empty stays and is only reported). Each failure is reported
    // as a warning line followed by the system's reason.
    bool rollback(const QString& installation, const JournalReporter& report) const;
};

// The rollback journal: the records of a replacement's changes, folders first (outer levels before
// inner ones), then one record per replaced file. It is made whole before anything changes.
using RollbackJournal = QList<RollbackData>;
// "Plan": that list, the changes of one replacement in the order they are made (and undone newest
// first), which the replace journal writes to disk before the first of them.
using ReplacementPlan = RollbackJournal;

// A plan as planReplacement makes it, its folders apart from its files.
struct PlannedReplacement
{
    ReplacementPlan folders; // CreatedDir and FolderForFile, outer levels before inner ones
    ReplacementPlan files;   // one change per replace entry, in the entries' order
    // The whole plan: folders, then files, the order in which the step makes the changes.
    ReplacementPlan all() const { return folders + files; }
};

// Undoes every change of the plan, newest first; a failure does not stop the others. Returns
// false if a file could not be put back.
bool rollbackAll(const QString& installation, const ReplacementPlan& plan, const JournalReporter& report);

// The plan of replacing `entries` (in list order) in an installation where `kind` tells what is
// at a relative path. Folder levels that are missing are created, one that is a file is kept at a
// backup name and made a folder; a target that is a folder is kept whole at a backup name; each
// installed file is kept at its usual backup name, or at a numbered one when that is taken by
// another entry or by an earlier update's backup (which the record then names). Empty, with the
// reason in `refusal`, when an entry leads outside the installation, names a file the updater keeps
// in old/, has a name too long for its staged or backup name, is a folder of another entry, or two
// entries would write to the same name. A staged name that something else already holds is stepped
// round like a backup name.
PlannedReplacement planReplacement(const QList<ReplaceEntry>& entries,
                                const std::function<PathKind(const QString&)>& kind, QString* refusal);

// What is at `path` (see PathKind).
PathKind pathKind(const QString& path);

// Removes a file, a link or a whole folder without following links; true when nothing is left.
bool removeTree(const QString& path);

// Whether anything is at `path`, a dangling symbolic link included. A name that cannot exist (a
// file where a folder level should be, a name too long) is absent.
bool isPresent(const QString& path);

// Renames `from` to `to` without ever replacing or following anything at `to`: fails when `to`
// exists in any form, a dangling symbolic link included. Both must be on the same file system.
bool renameNoReplace(const QString& from, const QString& to);

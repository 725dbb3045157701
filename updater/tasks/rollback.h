#pragma once

#include <QList>
#include <QString>

class QObject;

// One record of a rollback journal: a change of the installation that can be undone.
enum RollbackType {
    Renamed = 0,     // `path` is the new name, `previousPath` the old one; undo renames back
    CreatedFile = 1, // `path` is a written file; undo removes it
    CreatedDir = 2   // `path` is a created folder; undo removes it when empty
};

struct RollbackData
{
    RollbackData(RollbackType type, const QString& path) : path(path), type(type) {}
    RollbackData(RollbackType type, const QString& previousPath, const QString& path)
        : path(path), previousPath(previousPath), type(type)
    {
    }

    // Undoes this one change; true when the undo succeeded. A failure is reported as a warning
    // line through the reporter's message(QString) signal (nothing is reported when it is null).
    // A record of an unknown type is logged, counts as a failed undo and changes nothing.
    bool rollback(QObject* reporter) const;

    QString path;
    QString previousPath;
    int type;
};

// A journal: oldest record first, newest last. Touched on the GUI thread only.
using RollbackJournal = QList<RollbackData>;

// Appends one record at the end of `journal`.
void addRollbackRecord(RollbackJournal& journal, const RollbackData& record);

// Moves every record of `other` behind those of `journal`, in their order, and empties `other`:
// a change belongs to exactly one journal, so it can never be undone twice.
void mergeJournal(RollbackJournal& journal, RollbackJournal& other);

// Undoes every record, newest first; each record leaves the journal before its undo runs, so the
// journal is empty afterwards and a second rollback does nothing. A failed undo does not stop the
// others. Returns false if any undo failed (true for an empty journal).
bool rollbackAll(RollbackJournal& journal, QObject* reporter);

// Renames `from` to `to` without ever replacing or following anything at `to`: fails when `to`
// exists in any form, a dangling symbolic link included. Both must be on the same file system.
bool renameNoReplace(const QString& from, const QString& to);

#pragma once

#include <QList>
#include <QString>

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

    QString path;
    QString previousPath;
    int type;
};

// A journal: oldest record first, newest last.
using RollbackJournal = QList<RollbackData>;

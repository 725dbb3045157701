#pragma once

#include <QString>
#include <QVector>

// What a set of files and folders takes on a file system: their data in whole blocks, a block for
// each folder and an inode each, with a margin for what the file system keeps beside them.
struct SpaceNeed
{
    QVector<quint64> fileSizes;
    quint64 folders = 0;
};

// A size for the user, such as "1.5 MiB".
QString sizeText(quint64 bytes);

// The file system that holds `path`, as a number that tells file systems apart; 0 when unknown.
quint64 fileSystemOf(const QString &path);

// False, with `error` saying so, when what `need` describes does not fit into the room that the
// file system holding `folder` has left for an unprivileged user. A file system that cannot be
// asked counts as big enough: writing on it still fails cleanly.
bool fitsOn(const QString &folder, const SpaceNeed &need, QString &error);

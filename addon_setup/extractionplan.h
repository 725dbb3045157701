#pragma once

#include "freespace.h"

#include <QString>
#include <QStringList>
#include <QVector>

class ZipIndex;

// What Qt's zip reader makes of an entry.
enum class EntryKind { File, Folder, Link, Other };

// What the extraction writes for a package, decided from its index alone, before anything is
// written: the folders and files it keeps, by their cleaned paths, or why it refuses the package.
struct ExtractionPlan
{
    struct Item
    {
        int entry = -1;         // index into the archive's entries
        QStringList components; // the path below the extraction folder, each part safe to use
        bool folder = false;
    };
    QVector<Item> items; // in the archive's order
    bool hasPlugins = false;
    SpaceNeed need;
    QString refusal; // empty when the package can be extracted
};

// Entry names are taken as unzip takes them: "\" separates folders as "/" does, "." parts are
// dropped and an entry left without a name (such as "./") is skipped. Absolute names, empty and
// ".." parts refuse the package. Kept are package.ini at any depth and what lies in a content
// folder; links are never kept. `kinds` holds each entry's kind, in the index's order.
ExtractionPlan planExtraction(const ZipIndex &index, const QVector<EntryKind> &kinds);

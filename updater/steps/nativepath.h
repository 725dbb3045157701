#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// A path as the system calls take it: the bytes of the file name in the local encoding, as QFile
// itself opens it. Every path the updater hands to open, stat, rename and the like goes through here.
inline QByteArray nativePath(const QString& path)
{
    return QFile::encodeName(path);
}

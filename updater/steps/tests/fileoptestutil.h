#pragma once

// Helpers of the file operation tests: what a file holds afterwards, the texts a signal carried,
// and gzip files to unpack.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QSignalSpy>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <zlib.h>

namespace fileoptest {

// The bytes of the file, or "<missing>" when it cannot be read.
inline QByteArray contentOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// The first argument of every signal the spy saw, as text.
inline QStringList texts(const QSignalSpy& spy)
{
    QStringList result;
    for (const QList<QVariant>& args : spy)
        result << args[0].toString();
    return result;
}

// Writes `data` gzip-compressed to `path`, making its folder first.
inline bool writeGzip(const QString& path, const QByteArray& data)
{
    QDir().mkpath(QFileInfo(path).path());
    gzFile gz = gzopen(QFile::encodeName(path).constData(), "wb");
    if (!gz)
        return false;
    const bool ok = gzwrite(gz, data.constData(), unsigned(data.size())) == data.size();
    return gzclose(gz) == Z_OK && ok;
}

} // namespace fileoptest

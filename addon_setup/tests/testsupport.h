#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>

// Helpers shared by the installer's tests: a fresh HOME and TMPDIR per test, and packages made by
// real tools (Info-ZIP zip, Python's zipfile).
namespace testsupport {

// Points HOME and TMPDIR at new, empty folders below the test's own temporary folder and
// returns the folder that holds both; the process's environment keeps them until the next call.
QString freshEnvironment();

// Writes `files` (path -> content, a path ending in "/" is a folder) below `root`.
void writeTree(const QString &root, const QList<QPair<QString, QByteArray>> &files);

// Runs Info-ZIP zip in `sourceDir` ("zip -r -X [extra] archive ."); returns the archive path.
QString zipFolder(const QString &sourceDir, const QString &archive, const QStringList &extra = {});

// Runs mkzip.py with a JSON entry list (see there) and returns the archive path.
QString craftZip(const QString &archive, const QString &json);

// The SHA-1 that sha1sum prints for `path`.
QString sha1sum(const QString &path);

// Reads a whole file; a null array when it cannot be opened.
QByteArray readFile(const QString &path);

// All paths below `root`, relative, sorted; hidden entries included.
QStringList listTree(const QString &root);

// Makes an empty client installation (with the client's executable) and returns its path.
QString makeClientFolder(const QString &path);

// Runs `work` with every file's size limited to `bytes`, so that writes beyond it come up short as
// on a full disk (SIGXFSZ is ignored meanwhile); false, without running it, when the limit cannot
// be set.
bool withFileSizeLimit(unsigned long bytes, const std::function<void()> &work);

// Mounts a tmpfs of `bytes` on the folder `path`, in a mount namespace of the process's own so that
// it goes when the process ends; false when that is not allowed (it needs root).
bool mountSmallTmpfs(const QString &path, qint64 bytes);

// Every path below `root` (hidden ones included) with its content; folders map to "/".
QMap<QString, QByteArray> snapshotTree(const QString &root);

} // namespace testsupport

// Readable values in failure messages.
#include <ostream>
inline void PrintTo(const QString &text, std::ostream *out)
{
    *out << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QStringList &list, std::ostream *out)
{
    *out << '[' << list.join(QStringLiteral(", ")).toStdString() << ']';
}
inline void PrintTo(const QMap<QString, QByteArray> &tree, std::ostream *out)
{
    for (auto it = tree.cbegin(); it != tree.cend(); ++it)
        *out << '\n' << it.key().toStdString() << " (" << it.value().size() << " bytes)";
}

#pragma once

#include <QString>

#include <cerrno>

// The line that follows the message of a failed file operation and names the system's reason,
// as a user knows it from the command line: "<path>: <reason>", e.g.
// "/opt/client/lib/a.so: No space left on device". Thread-safe.
inline QString fileErrorLine(const QString& path, int errorNumber)
{
    return path + QStringLiteral(": ") + qt_error_string(errorNumber);
}

// The same for a failed rename or link of `from` to `to`: a name that is taken (by a file, or a
// folder) is the target's trouble, anything else is told about the source.
inline QString renameErrorLine(const QString& from, const QString& to, int errorNumber)
{
    const bool taken = errorNumber == EEXIST || errorNumber == EISDIR || errorNumber == ENOTEMPTY;
    return fileErrorLine(taken ? to : from, errorNumber);
}

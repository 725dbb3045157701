#pragma once

#include <QString>
#include <QStringList>

// The installer's command line: [-silent] <package path ...> [force].
struct CommandLine
{
    bool valid = false;   // false when no argument is left after "-silent"
    bool silent = false;
    bool force = false;
    QString packageFileName;
};

// `arguments` as QCoreApplication::arguments() gives them, the program first.
CommandLine parseCommandLine(QStringList arguments);

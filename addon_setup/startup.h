#pragma once

#include <QStringList>

// Runs the installer on an existing application object with its command line: extraction, then
// the silent installation or the install dialog. Returns the exit code.
int runInstaller(const QStringList &arguments);

#pragma once

#include <QString>

// The folder of the running `update` executable: where update.ini, mirrors.ini, the backups and
// the installation's files are. Every path of the installation is built from this one function.
QString programFolder();

// Tests run the code on a temporary installation: a non-empty folder replaces the executable's
// folder for programFolder(); an empty one restores it.
void setProgramFolderForTesting(const QString& folder);

#pragma once

#include <QString>
#include <QStringList>

// The content folders of a package, in the order the installer knows them. Nothing of a package
// but these folders (and its description) is extracted or installed.
const QStringList &topFolders();

// The package's description ("package.ini"): read from the package's top, never installed.
const QString &packageInfoName();

// Folder below the system's temporary folder that holds the extracted packages.
QString importFolder();

// Extracts the package named by g_packageFileName into importFolder()/<base name>. `tempPath`
// receives that folder; `error` the failure text; `hasPlugins` whether the package brings
// plug-ins. With `force` nothing is extracted when an earlier run extracted the folder whole: it is
// reused.
bool extractPackage(QString &tempPath, QString &error, bool force, bool &hasPlugins);

#pragma once

#include <QHash>
#include <QString>

// Add-on name found in each content folder of a package, keyed by the folder (one of topFolders()).
using AddonNames = QHash<QString, QString>;

// The installer's own program folder: it ships inside the client installation.
QString defaultClientFolder();
// The user's configuration folder, with a trailing "/".
QString configFolder();
// A client installation holds one of the client's executables.
bool isClientFolder(const QString &folder);

void detectAddonNames(const QString &root, const QString &category, AddonNames &addonNames);
void detectAllAddonNames(const QString &root, AddonNames &addonNames);

// Copies the content folders of the extracted package `source` into `destination`, all or
// nothing. Sets `failed` when the copy fails (and `destination` is then as it was); never clears it.
void copyTree(const QString &source, const QString &destination, bool &failed);

// Copies the extracted package into the client installation and records the package file's
// SHA-1 in addons.ini, all or nothing: on failure the installation is as it was and `error`, when
// given, says why. A package without a file to install fails. `addonNames` receives the names
// found in the package.
bool installPackage(const QString &clientFolder, const QString &packageFolder, AddonNames &addonNames,
                    QString *error = nullptr);

// Before an installation, under the user's lock: undoes (or, once committed, finishes) an
// installation that a crash interrupted, then removes the staged copies that earlier runs left
// without a journal in the content folders of `clientFolder`. `report` receives what the user must
// be told (a journal that could not be obeyed or undone is set aside, and the report names where);
// false when the journal had to stay where it is, so that nothing can be installed.
bool recoverInterruptedInstallation(const QString &clientFolder, QString &report);

// Names the add-ons for the client to activate at its next start (addon_setup_temp.ini).
void writeActivationList(const AddonNames &addonNames);

// Installs without asking anything; the found add-ons are put on the activation list. On failure
// `error`, when given, says why.
bool silentInstall(const QString &clientFolder, const QString &packageFolder, QString *error = nullptr);

// Removes a folder with everything below it; symbolic links are removed, never followed.
void removeTree(const QString &path);

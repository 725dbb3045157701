#pragma once

#include <QString>

class InstallDialog;

// Process-wide state of one installer run.
extern QString g_packageFileName;   // the package path as the command line gave it
extern QString g_packageTempPath;   // the folder the package is (or was) extracted into
extern InstallDialog *g_installDialog;

// The package path without a leading "file://".
QString packageFilePath();
// The package file's base name: the file name up to its first dot.
QString packageBaseName();

// A user-visible text of the installer, translated in the one context "InstallDialog".
QString installerText(const char *text);
// `text`, then ": " and the system's reason for the error number `error`.
QString withSystemReason(const QString &text, int error);
// `text` with a zero-width space after every "/" of a word longer than 40 characters, and after
// every 40 characters of such a word without one, so that a message box wraps a long path or entry
// name instead of cutting it off.
QString wrappable(const QString &text);

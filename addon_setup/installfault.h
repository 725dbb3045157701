#pragma once

#include <QByteArray>

#include <cerrno>

// Fault injection into the installation's file operations, for tests.
//
// A test program may define vxmInjectInstallFault(); addon_setup itself does not, so in the
// program the symbol stays null and no fault is ever injected. It is called just before each
// operation of an installation takes effect, with the operation and its path: "journal" (writing
// the journal or a mark in it), "mkdir", "stage", "backup", "sync", "place", "setting", "finish"
// (removing a backup) and "undo" (restoring a target). Returning true makes that operation fail
// as if the file system had refused it (errno EIO). A test may as well end the process there.
extern "C" bool vxmInjectInstallFault(const char *operation, const char *path) __attribute__((weak));

// True, with errno set, when a test asks the operation on `path` to fail.
inline bool injectedInstallFault(const char *operation, const QByteArray &path)
{
    if (!vxmInjectInstallFault || !vxmInjectInstallFault(operation, path.constData()))
        return false;
    errno = EIO;
    return true;
}

#pragma once

#include <QString>

// Fault injection into the file operations of the replacement and delete steps, and into the
// checks, for tests.
//
// A test program may define vxmInjectFileOpFault(); the updater itself does not, so in the program
// the symbol stays null and no fault is ever injected. It is called once per file operation, just
// before the operation takes effect (copy and unpack: once the destination file exists, before the
// first byte is written; the replace journal: once its file exists, before the plan is written),
// on the thread that performs it: the GUI thread for delete, rename, link, folder creation, the
// journal and each change an undo puts back, a pool thread for copy and unpack. `operation` is one
// of "delete", "rename", "link", "mkdir", "copy", "unzip", "journal", "undo"; returning true makes
// that operation fail as if the file system had refused it. A check (MD5 or signature, on a pool
// thread) asks with "check" and the checked file's path before it reads the file; true makes the
// check fail.
extern "C" bool vxmInjectFileOpFault(const char* operation, const char* path) __attribute__((weak));

// True when a test asks the operation on `path` to fail.
inline bool injectedFileOpFault(const char* operation, const QString& path)
{
    return vxmInjectFileOpFault && vxmInjectFileOpFault(operation, path.toUtf8().constData());
}

// The plug-in's copy of the client's host function table and the few wrappers around it that the
// plug-in's own code uses (logging, folders, assertion lines).
//
// The exports fill the table once, from vxmplugin_setFunctionPointers, before any of the plug-in's
// threads exist; afterwards it is only read, from every thread. Until a table is set (and for slots
// that a table leaves empty) the wrappers do nothing and return empty texts, and the slots of
// hostTable() refuse.
#ifndef CTRLPORT_HOST_H
#define CTRLPORT_HOST_H

#include "host_functions.h"

#include <cstdint>
#include <string>

// Copies the client's table. Call before starting any thread that may call the client.
void setHostFunctions(const HostFunctions& functions);
// Forgets the table (the wrappers do nothing again); for tests and a plug-in that is shut down.
void clearHostFunctions();
// The plug-in's copy of the table, or null while none is set.
const HostFunctions* hostFunctions();
// The copy with every slot that the plug-in calls set, so that callers call without looking first:
// a slot that the client left empty (every slot while no table is set) refuses as a client would,
// with 1538 where it returns an error number, 0 where it returns a value, and nothing else.
const HostFunctions& hostTable();

// Writes one line to the client's log (slot 6). Does nothing without a table.
void logMessage(const std::string& text, int level, const std::string& channel, uint64_t schandlerid = 0);

// Logs a failed internal assertion as
//   Assertion "<expression>" failed at ctrlport_plugin/<file>:<line>; 
// at level 0 with an empty channel; the caller goes on.
void logAssertionFailure(const char* expression, const char* file, int line);

// Checks an internal assertion; `file` is the source file's name without extension.
#define CTRLPORT_ASSERT(file, expression) \
    ((expression) ? static_cast<void>(0) : logAssertionFailure(#expression, file, __LINE__))

// The client's text of an error number (slot 4), "" when it has none. The text of 0 is asked once
// per table.
std::string hostErrorText(unsigned error);

// Folders of the client (slots 180 and 181): UTF-8 bytes, ending with a separator; "" without a table.
std::string hostAppPath();
std::string hostConfigPath();

// Size of the buffer that the plug-in lends the client for a folder.
constexpr std::size_t kHostPathBufferSize = 1024;

#endif

// The return codes that tie a request to the client back to the telnet connection that made it:
// the prefix the client gives the plug-in, followed by the connection id in decimal. Also the small
// text rules of the event exports.
#ifndef CTRLPORT_RETURNCODE_H
#define CTRLPORT_RETURNCODE_H

#include <cstdint>
#include <string>

// The prefix, empty until the client registers the plug-in. Set on the client's thread, read by the
// poller threads that forward commands.
void setReturnCodePrefix(const std::string& prefix);
std::string returnCodePrefix();
// The return code of a request made for a telnet connection.
std::string returnCodeFor(int connectionID);

enum class ReturnCodeOwner
{
    Foreign,       // not ours: another part of the client made it (or we have no prefix yet)
    OursNoNumber,  // ours, but no connection id can be read from it
    Ours           // ours, for the connection id given back
};
// Whether an error event's return code belongs to the plug-in and, if so, to which connection.
ReturnCodeOwner classifyReturnCode(const char* returnCode, const std::string& prefix, uint32_t& connectionID);

// A result line of a forwarded command with " schandlerid=<id>" after its first word (or at its end).
std::string insertSchandlerid(const std::string& line, uint64_t schandlerid);

// The word of a connection status in notification lines ("invalid" for unknown numbers).
const char* connectStatusWord(int status);

#endif

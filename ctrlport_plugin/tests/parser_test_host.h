// The client's functions that the command parser calls, answered from a small world for tests:
// server connections 1 and 2 (current 1), own client 1 in channel 5 on each, error texts "ok" for
// 0 and "e<n>" otherwise. Built on RecordingHost (log lines, folders, connections, host memory);
// thread-safe.
#ifndef CTRLPORT_TESTS_PARSER_TEST_HOST_H
#define CTRLPORT_TESTS_PARSER_TEST_HOST_H

#include "recording_host.h"

#include <cstdint>
#include <string>
#include <vector>

struct ForwardedCall
{
    uint64_t schandlerid = 0;
    std::string command;
    std::string returnCode;
};

class ParserTestHost : public RecordingHost
{
public:
    ParserTestHost();
    ~ParserTestHost();

    // sendCtrlPortCommand answers with this number.
    void setForwardResult(unsigned error);
    // sendCtrlPortCommand throws, as a failing command handler would.
    void setForwardThrows(bool throws);
    void setServerVersion(uint64_t version);
    void setServerPassword(const std::string& password);

    std::vector<ForwardedCall> forwarded() const;
};

#endif

// A host function table for tests: records every log line and answers the folder queries with
// folders the test chooses. One RecordingHost at a time; it installs itself as the plug-in's table
// while it lives.
#ifndef CTRLPORT_TESTS_RECORDING_HOST_H
#define CTRLPORT_TESTS_RECORDING_HOST_H

#include "host_functions.h"

#include <cstdint>
#include <string>
#include <vector>

struct LoggedLine
{
    std::string text;
    int level = 0;
    std::string channel;
    uint64_t schandlerid = 0;
};

class RecordingHost
{
public:
    RecordingHost();
    ~RecordingHost();
    RecordingHost(const RecordingHost&) = delete;
    RecordingHost& operator=(const RecordingHost&) = delete;

    // Folders answered by slots 180-182 (give them with a trailing separator, as the client does).
    void setConfigPath(const std::string& path);
    void setAppPath(const std::string& path);
    void setPluginPath(const std::string& path);

    // Thread-safe: the plug-in logs from its own threads.
    std::vector<LoggedLine> lines() const;
    std::vector<std::string> texts() const;
    void clearLines();

    // The table as installed; a test may fill more slots and call install() again.
    HostFunctions& table() { return m_table; }
    void install();

private:
    HostFunctions m_table;
};

#endif

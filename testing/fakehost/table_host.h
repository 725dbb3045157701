/*
 * TableHost: the client's function table without the client, for tests of a plug-in's core that call
 * its operations directly (tests through the loaded plug-in use FakeHost). It fills the slots that the
 * cores of both plug-ins call alike, from a small world the test sets:
 *   freeHostMemory (5)        gives back host memory and counts it (outstandingMemory),
 *   logMessage (6)            records the line (lines, texts),
 *   getServerConnectionHandlerList (96)   the connections, 0-ended, or a chosen error,
 *   getAppPath, getConfigPath, getPluginPath (180-182)   the folders, cut to the buffer as the client does,
 *   getCurrentServerConnectionHandlerID (183).
 * A family of tests fills the slots where it differs in table() and installs the table into its
 * plug-in's core; every other slot stays empty (null).
 *
 * Thread-safe: a plug-in calls from its own threads. Only one TableHost may exist at a time: the slots
 * are plain C functions and reach its world through process-wide state, which a new TableHost resets.
 *
 * Also here, for FakeHost too: LogLine and copyOut.
 */
#ifndef VXM_TESTING_TABLE_HOST_H
#define VXM_TESTING_TABLE_HOST_H

#include "host_functions.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fakehost {

// A line logged through logMessage (slot 6).
struct LogLine {
    std::string text;
    int level = 0;
    std::string channel;
    std::uint64_t sch = 0;
};

// Copies text into a buffer of maxLen bytes as the client does: cut if needed, always NUL-terminated.
void copyOut(char* buffer, std::size_t maxLen, const std::string& text);

class TableHost {
public:
    // An empty world: no connections, current connection 1, empty folders, no lines.
    TableHost();
    virtual ~TableHost() = default;
    TableHost(const TableHost&) = delete;
    TableHost& operator=(const TableHost&) = delete;

    // The table as the family installs it; a family or a test may fill more slots.
    HostFunctions& table() { return m_table; }

    // Folders of slots 180-182 (give them with a trailing separator, as the client does).
    void setAppPath(const std::string& path);
    void setConfigPath(const std::string& path);
    void setPluginPath(const std::string& path);

    void setConnections(const std::vector<std::uint64_t>& connections);
    static bool hasConnection(std::uint64_t sch);
    void setCurrentConnection(std::uint64_t sch);
    // getServerConnectionHandlerList fails with this number (0: it answers).
    void setConnectionListError(unsigned error);

    std::vector<LogLine> lines() const;
    std::vector<std::string> texts() const;
    void clearLines();

    // Host memory handed out and not given back.
    int outstandingMemory() const;
    // Host memory for the plug-in (for the slots a family adds), counted until it comes back
    // through freeHostMemory.
    static void* allocate(std::size_t size);

private:
    HostFunctions m_table;
};

} // namespace fakehost

#endif

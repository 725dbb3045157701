#include "recording_host.h"

#include "host.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace {

std::mutex g_mutex;
std::vector<LoggedLine> g_lines;
std::string g_appPath;
std::string g_configPath;
std::string g_pluginPath;

void recordLog(const char* text, int level, const char* channel, vxm_uint64 sch)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lines.push_back(LoggedLine{text ? text : "", level, channel ? channel : "", sch});
}

// Copies like the client: as much as fits, NUL-terminated when there is room.
void copyPath(const std::string& path, char* buffer, size_t size)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (size == 0)
        return;
    const size_t count = std::min(path.size(), size - 1);
    std::memcpy(buffer, path.data(), count);
    buffer[count] = '\0';
}

void appPath(char* buffer, size_t size) { copyPath(g_appPath, buffer, size); }
void configPath(char* buffer, size_t size) { copyPath(g_configPath, buffer, size); }
void pluginPath(char* buffer, size_t size) { copyPath(g_pluginPath, buffer, size); }

} // namespace

RecordingHost::RecordingHost()
{
    std::memset(static_cast<void*>(&m_table), 0, sizeof m_table);
    m_table.logMessage = recordLog;
    m_table.getAppPath = appPath;
    m_table.getConfigPath = configPath;
    m_table.getPluginPath = pluginPath;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_lines.clear();
        g_appPath.clear();
        g_configPath.clear();
        g_pluginPath.clear();
    }
    install();
}

RecordingHost::~RecordingHost()
{
    clearHostFunctions();
}

void RecordingHost::install()
{
    setHostFunctions(m_table);
}

void RecordingHost::setConfigPath(const std::string& path)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_configPath = path;
}

void RecordingHost::setAppPath(const std::string& path)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_appPath = path;
}

void RecordingHost::setPluginPath(const std::string& path)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_pluginPath = path;
}

std::vector<LoggedLine> RecordingHost::lines() const
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_lines;
}

std::vector<std::string> RecordingHost::texts() const
{
    std::vector<std::string> result;
    for (const LoggedLine& line : lines())
        result.push_back(line.text);
    return result;
}

void RecordingHost::clearLines()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lines.clear();
}

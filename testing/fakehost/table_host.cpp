#include "table_host.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace fakehost {

namespace {

// The world of the current TableHost. It outlives the object, so a late call from a plug-in's
// thread finds a world, not freed memory.
struct World {
    std::mutex lock;
    std::string appPath;
    std::string configPath;
    std::string pluginPath;
    std::vector<std::uint64_t> connections;
    std::uint64_t current = 1;
    unsigned listError = 0;
    std::vector<LogLine> lines;
    int outstanding = 0;
};

World& world()
{
    static World w;
    return w;
}

template <typename T>
void setInWorld(T World::*field, const T& value)
{
    World& w = world();
    std::lock_guard<std::mutex> guard(w.lock);
    w.*field = value;
}

void* allocateCounted(std::size_t size)
{
    World& w = world();
    {
        std::lock_guard<std::mutex> guard(w.lock);
        ++w.outstanding;
    }
    return std::malloc(size);
}

void freeHostMemory(void* pointer)
{
    World& w = world();
    std::lock_guard<std::mutex> guard(w.lock);
    if (pointer)
        --w.outstanding;
    std::free(pointer);
}

void logMessage(const char* text, int level, const char* channel, vxm_uint64 sch)
{
    World& w = world();
    std::lock_guard<std::mutex> guard(w.lock);
    w.lines.push_back(LogLine{text ? text : "", level, channel ? channel : "", sch});
}

unsigned getServerConnectionHandlerList(vxm_uint64** result)
{
    World& w = world();
    std::vector<std::uint64_t> connections;
    {
        std::lock_guard<std::mutex> guard(w.lock);
        if (w.listError != 0) {
            *result = nullptr;
            return w.listError;
        }
        connections = w.connections;
    }
    auto* list = static_cast<vxm_uint64*>(allocateCounted((connections.size() + 1) * sizeof(vxm_uint64)));
    std::copy(connections.begin(), connections.end(), list);
    list[connections.size()] = 0;
    *result = list;
    return 0;
}

void copyFolder(const std::string World::*which, char* buffer, size_t size)
{
    World& w = world();
    std::lock_guard<std::mutex> guard(w.lock);
    copyOut(buffer, size, w.*which);
}

void getAppPath(char* buffer, size_t size) { copyFolder(&World::appPath, buffer, size); }
void getConfigPath(char* buffer, size_t size) { copyFolder(&World::configPath, buffer, size); }
void getPluginPath(char* buffer, size_t size) { copyFolder(&World::pluginPath, buffer, size); }

vxm_uint64 getCurrentServerConnectionHandlerID()
{
    World& w = world();
    std::lock_guard<std::mutex> guard(w.lock);
    return w.current;
}

} // namespace

void copyOut(char* buffer, std::size_t maxLen, const std::string& text)
{
    if (!buffer || maxLen == 0)
        return;
    const std::size_t n = std::min(text.size(), maxLen - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

TableHost::TableHost()
{
    {
        World& w = world();
        std::lock_guard<std::mutex> guard(w.lock);
        w.appPath.clear();
        w.configPath.clear();
        w.pluginPath.clear();
        w.connections.clear();
        w.current = 1;
        w.listError = 0;
        w.lines.clear();
        w.outstanding = 0;
    }
    std::memset(static_cast<void*>(&m_table), 0, sizeof m_table);
    m_table.freeHostMemory = freeHostMemory;
    m_table.logMessage = logMessage;
    m_table.getServerConnectionHandlerList = getServerConnectionHandlerList;
    m_table.getAppPath = getAppPath;
    m_table.getConfigPath = getConfigPath;
    m_table.getPluginPath = getPluginPath;
    m_table.getCurrentServerConnectionHandlerID = getCurrentServerConnectionHandlerID;
}

void* TableHost::allocate(std::size_t size)
{
    return allocateCounted(size);
}

void TableHost::setAppPath(const std::string& path) { setInWorld(&World::appPath, path); }
void TableHost::setConfigPath(const std::string& path) { setInWorld(&World::configPath, path); }
void TableHost::setPluginPath(const std::string& path) { setInWorld(&World::pluginPath, path); }
void TableHost::setConnections(const std::vector<std::uint64_t>& connections)
{
    setInWorld(&World::connections, connections);
}
void TableHost::setCurrentConnection(std::uint64_t sch) { setInWorld(&World::current, sch); }
void TableHost::setConnectionListError(unsigned error) { setInWorld(&World::listError, error); }

bool TableHost::hasConnection(std::uint64_t sch)
{
    World& w = world();
    std::lock_guard<std::mutex> guard(w.lock);
    return std::find(w.connections.begin(), w.connections.end(), sch) != w.connections.end();
}

std::vector<LogLine> TableHost::lines() const
{
    World& w = world();
    std::lock_guard<std::mutex> guard(w.lock);
    return w.lines;
}

std::vector<std::string> TableHost::texts() const
{
    std::vector<std::string> result;
    for (const LogLine& line : lines())
        result.push_back(line.text);
    return result;
}

void TableHost::clearLines()
{
    World& w = world();
    std::lock_guard<std::mutex> guard(w.lock);
    w.lines.clear();
}

int TableHost::outstandingMemory() const
{
    World& w = world();
    std::lock_guard<std::mutex> guard(w.lock);
    return w.outstanding;
}

} // namespace fakehost

#include "host.h"

#include <atomic>

namespace {

HostFunctions g_functions;
std::atomic<bool> g_functionsSet{false};

using PathFunction = void (*)(char*, size_t);

std::string askPath(PathFunction HostFunctions::*slot)
{
    const HostFunctions* functions = hostFunctions();
    if (!functions || !(functions->*slot))
        return std::string();
    char buffer[kHostPathBufferSize];
    buffer[0] = '\0';
    (functions->*slot)(buffer, sizeof buffer);
    // The client may fill the buffer to the last byte; never read past it.
    buffer[sizeof buffer - 1] = '\0';
    return std::string(buffer);
}

} // namespace

void setHostFunctions(const HostFunctions& functions)
{
    g_functions = functions;
    g_functionsSet.store(true, std::memory_order_release);
}

void clearHostFunctions()
{
    g_functionsSet.store(false, std::memory_order_release);
}

const HostFunctions* hostFunctions()
{
    return g_functionsSet.load(std::memory_order_acquire) ? &g_functions : nullptr;
}

void logMessage(const std::string& text, int level, const std::string& channel, uint64_t schandlerid)
{
    const HostFunctions* functions = hostFunctions();
    if (!functions || !functions->logMessage)
        return;
    functions->logMessage(text.c_str(), level, channel.c_str(), schandlerid);
}

void logAssertionFailure(const char* expression, const char* file, int line)
{
    std::string text = "Assertion \"";
    text += expression;
    text += "\" failed at ctrlport_plugin/";
    text += file;
    text += ':';
    text += std::to_string(line);
    text += "; ";
    logMessage(text, 0, std::string(), 0);
}

std::string hostAppPath()
{
    return askPath(&HostFunctions::getAppPath);
}

std::string hostConfigPath()
{
    return askPath(&HostFunctions::getConfigPath);
}

std::string hostPluginPath()
{
    return askPath(&HostFunctions::getPluginPath);
}

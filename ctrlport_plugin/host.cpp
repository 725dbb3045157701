#include "host.h"

#include <atomic>
#include <memory>
#include <type_traits>

namespace {

// What an empty slot answers where the client answers an error number: its "invalid parameter".
constexpr unsigned kRefused = 1538;

template <typename Result, typename... Args>
Result refuse(Args...)
{
    if constexpr (std::is_same<Result, unsigned>::value)
        return kRefused;
    else
        return Result();
}

template <typename Result, typename... Args>
void fill(Result (*&slot)(Args...))
{
    if (!slot)
        slot = &refuse<Result, Args...>;
}

// The table with every slot that the plug-in calls set.
HostFunctions callable(HostFunctions table)
{
    fill(table.getErrorText);
    fill(table.freeHostMemory);
    fill(table.logMessage);
    fill(table.muteClients);
    fill(table.unmuteClients);
    fill(table.getOwnClientID);
    fill(table.getOwnClientVariableAsInt);
    fill(table.setOwnClientVariableAsString);
    fill(table.flushOwnClientUpdates);
    fill(table.getClientVariableAsInt);
    fill(table.getClientVariableAsUInt64);
    fill(table.getClientVariableAsString);
    fill(table.getClientList);
    fill(table.getChannelOfClient);
    fill(table.getChannelVariableAsInt);
    fill(table.getChannelVariableAsUInt64);
    fill(table.getChannelVariableAsString);
    fill(table.getChannelList);
    fill(table.getChannelClientList);
    fill(table.getParentChannel);
    fill(table.getServerConnectionHandlerList);
    fill(table.getServerVariableAsString);
    fill(table.sendCtrlPortCommand);
    fill(table.verifyServerPassword);
    fill(table.verifyChannelPassword);
    fill(table.lookupClientVariableID);
    fill(table.lookupChannelVariableID);
    fill(table.lookupServerVariableID);
    fill(table.getAppPath);
    fill(table.getConfigPath);
    fill(table.getCurrentServerConnectionHandlerID);
    fill(table.getServerConnectInfo);
    fill(table.getChannelConnectInfo);
    fill(table.createReturnCode);
    fill(table.getServerVersionNumber);
    return table;
}

HostFunctions g_functions;
HostFunctions g_callable;
std::atomic<bool> g_functionsSet{false};
// The client's text of error 0, which every answered command carries: asked once per table. Made
// and read by any thread; deleted only where the table changes, when no thread of the plug-in runs,
// and when the library is unloaded.
struct OkText
{
    std::atomic<const std::string*> text{nullptr};
    ~OkText() { delete text.load(); }
};
OkText g_okText;

void forgetOkText()
{
    delete g_okText.text.exchange(nullptr, std::memory_order_acq_rel);
}

std::string askErrorText(unsigned error)
{
    const HostFunctions& host = hostTable();
    char* text = nullptr;
    const unsigned result = host.getErrorText(error, &text);
    std::string copy = result == 0 && text ? std::string(text) : std::string();
    // Given back on both roads: a failing call may still have handed out memory.
    if (text)
        host.freeHostMemory(text);
    return copy;
}

using PathFunction = void (*)(char*, size_t);

std::string askPath(PathFunction HostFunctions::*slot)
{
    char buffer[kHostPathBufferSize];
    buffer[0] = '\0';
    (hostTable().*slot)(buffer, sizeof buffer);
    // The client may fill the buffer to the last byte; never read past it.
    buffer[sizeof buffer - 1] = '\0';
    return std::string(buffer);
}

} // namespace

void setHostFunctions(const HostFunctions& functions)
{
    forgetOkText();
    g_functions = functions;
    g_callable = callable(functions);
    g_functionsSet.store(true, std::memory_order_release);
}

void clearHostFunctions()
{
    g_functionsSet.store(false, std::memory_order_release);
    forgetOkText();
}

const HostFunctions* hostFunctions()
{
    return g_functionsSet.load(std::memory_order_acquire) ? &g_functions : nullptr;
}

const HostFunctions& hostTable()
{
    static const HostFunctions refusing = callable(HostFunctions{});
    return g_functionsSet.load(std::memory_order_acquire) ? g_callable : refusing;
}

void logMessage(const std::string& text, int level, const std::string& channel, uint64_t schandlerid)
{
    hostTable().logMessage(text.c_str(), level, channel.c_str(), schandlerid);
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

std::string hostErrorText(unsigned error)
{
    if (error != 0 || !g_functionsSet.load(std::memory_order_acquire))
        return askErrorText(error);
    if (const std::string* known = g_okText.text.load(std::memory_order_acquire))
        return *known;
    auto made = std::make_unique<std::string>(askErrorText(0));
    const std::string* expected = nullptr;
    // A text the client could not give is asked again next time.
    if (made->empty())
        return std::string();
    if (g_okText.text.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel))
        return *made.release();
    return *expected;
}

std::string hostAppPath()
{
    return askPath(&HostFunctions::getAppPath);
}

std::string hostConfigPath()
{
    return askPath(&HostFunctions::getConfigPath);
}

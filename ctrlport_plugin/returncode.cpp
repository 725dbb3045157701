#include "returncode.h"

#include "custom_string_helpers.h"

#include <cstring>
#include <mutex>

namespace {

std::mutex g_prefixLock;
std::string g_prefix;

} // namespace

void setReturnCodePrefix(const std::string& prefix)
{
    std::lock_guard<std::mutex> guard(g_prefixLock);
    g_prefix = prefix;
}

std::string returnCodePrefix()
{
    std::lock_guard<std::mutex> guard(g_prefixLock);
    return g_prefix;
}

std::string returnCodeFor(int connectionID)
{
    return returnCodePrefix() + std::to_string(connectionID);
}

ReturnCodeOwner classifyReturnCode(const char* returnCode, const std::string& prefix, uint32_t& connectionID)
{
    connectionID = 0;
    // Without a prefix every code would look like ours; claim none then.
    if (!returnCode || prefix.empty())
        return ReturnCodeOwner::Foreign;
    const std::size_t length = std::strlen(returnCode);
    if (length <= prefix.size() || std::memcmp(returnCode, prefix.data(), prefix.size()) != 0)
        return ReturnCodeOwner::Foreign;
    bool failed = false;
    connectionID = parseUInt(std::string(returnCode + prefix.size()), failed);
    return failed ? ReturnCodeOwner::OursNoNumber : ReturnCodeOwner::Ours;
}

std::string insertSchandlerid(const std::string& line, uint64_t schandlerid)
{
    const std::string pair = " schandlerid=" + uint64ToString(schandlerid);
    std::string result = line;
    const std::size_t blank = result.find(' ');
    if (blank == std::string::npos)
        result += pair;
    else
        result.insert(blank, pair);
    return result;
}

const char* connectStatusWord(int status)
{
    switch (status) {
    case 0:
        return "disconnected";
    case 1:
        return "connecting";
    case 2:
        return "connected";
    case 3:
        return "connection_establishing";
    case 4:
        return "connection_established";
    default:
        return "invalid";
    }
}

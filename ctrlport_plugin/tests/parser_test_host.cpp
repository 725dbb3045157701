#include "parser_test_host.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>

namespace {

std::mutex g_lock;
unsigned g_forwardResult = 0;
bool g_forwardThrows = false;
uint64_t g_version = 20000;
std::string g_serverPassword;
std::vector<ForwardedCall> g_forwarded;

unsigned getErrorText(unsigned error, char** text)
{
    std::lock_guard<std::mutex> guard(g_lock);
    if (error == 77)
        return 1;  // a number without a text
    const std::string value = error == 0 ? "ok" : "e" + std::to_string(error);
    char* copy = static_cast<char*>(fakehost::TableHost::allocate(value.size() + 1));
    std::memcpy(copy, value.c_str(), value.size() + 1);
    *text = copy;
    return 0;
}

unsigned getOwnClientID(uint64_t sch, uint16_t* clientID)
{
    if (!fakehost::TableHost::hasConnection(sch))
        return 1800;
    *clientID = 1;
    return 0;
}

unsigned getChannelOfClient(uint64_t, uint16_t clientID, uint64_t* channelID)
{
    if (clientID != 1)
        return 512;
    *channelID = 5;
    return 0;
}

unsigned sendCtrlPortCommand(uint64_t sch, const char* command, const char* returnCode)
{
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_forwardThrows)
        throw std::runtime_error("forwarding failed");
    g_forwarded.push_back(ForwardedCall{sch, command, returnCode ? returnCode : ""});
    return g_forwardResult;
}

unsigned getServerConnectInfo(uint64_t, char* host, uint16_t* port, char* password, size_t maxLen)
{
    std::lock_guard<std::mutex> guard(g_lock);
    std::snprintf(host, maxLen, "%s", "192.0.2.7");
    *port = 7000;
    std::snprintf(password, maxLen, "%s", g_serverPassword.c_str());
    return 0;
}

unsigned getChannelConnectInfo(uint64_t, uint64_t channelID, char* path, char* password, size_t maxLen)
{
    if (channelID != 5)
        return 768;
    std::snprintf(path, maxLen, "%s", "Lobby/Quiet corner");
    std::snprintf(password, maxLen, "%s", "");
    return 0;
}

uint64_t getServerVersionNumber(uint64_t)
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_version;
}

} // namespace

ParserTestHost::ParserTestHost()
{
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_forwardResult = 0;
        g_forwardThrows = false;
        g_version = 20000;
        g_serverPassword.clear();
        g_forwarded.clear();
    }
    setConnections({1, 2});
    HostFunctions& functions = table();
    functions.getErrorText = getErrorText;
    functions.getOwnClientID = getOwnClientID;
    functions.getChannelOfClient = getChannelOfClient;
    functions.sendCtrlPortCommand = sendCtrlPortCommand;
    functions.getServerConnectInfo = getServerConnectInfo;
    functions.getChannelConnectInfo = getChannelConnectInfo;
    functions.getServerVersionNumber = getServerVersionNumber;
    install();
}

ParserTestHost::~ParserTestHost() = default;

void ParserTestHost::setForwardResult(unsigned error)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_forwardResult = error;
}

void ParserTestHost::setForwardThrows(bool throws)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_forwardThrows = throws;
}

void ParserTestHost::setServerVersion(uint64_t version)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_version = version;
}

void ParserTestHost::setServerPassword(const std::string& password)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_serverPassword = password;
}

std::vector<ForwardedCall> ParserTestHost::forwarded() const
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_forwarded;
}

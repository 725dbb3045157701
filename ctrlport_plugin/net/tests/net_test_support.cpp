#include "net_test_support.h"

#include "wait_until.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace nettest {

RecordingUser::RecordingUser() : m_Misordered(false)
{
    m_Callbacks.onReceive = &RecordingUser::receiveCallback;
    m_Callbacks.onConnect = &RecordingUser::connectCallback;
    m_Callbacks.onDisconnect = &RecordingUser::disconnectCallback;
}

void RecordingUser::receiveCallback(char* buffer, int length, int connectionID, const sockaddr_in*, void* userData)
{
    RecordingUser* self = static_cast<RecordingUser*>(userData);
    const std::string data(buffer, length);
    delete[] buffer;
    NetWorkingPollTCPSelect* poller = nullptr;
    DataHook hook;
    {
        std::lock_guard<std::mutex> guard(self->m_Lock);
        hook = self->m_DataHook;
        if (!self->m_Pollers.count(connectionID) || self->m_Disconnects[connectionID] > 0)
            self->m_Misordered = true;
        poller = self->m_Pollers[connectionID];
        self->m_Received[connectionID] += data;
        self->m_BlockSizes[connectionID].push_back(length);
    }
    self->m_Changed.notify_all();
    if (hook)
        hook(connectionID, data, poller);
}

void RecordingUser::connectCallback(int connectionID, const sockaddr_in* peer, void* userData,
                                    NetWorkingPollTCPSelect* poller)
{
    RecordingUser* self = static_cast<RecordingUser*>(userData);
    ConnectHook hook;
    {
        std::lock_guard<std::mutex> guard(self->m_Lock);
        hook = self->m_ConnectHook;
        if (self->m_Pollers.count(connectionID))
            self->m_Misordered = true;
        self->m_ConnectionOrder.push_back(connectionID);
        self->m_Pollers[connectionID] = poller;
        self->m_Peers[connectionID] = *peer;
    }
    self->m_Changed.notify_all();
    if (hook)
        hook(connectionID, poller);
}

void RecordingUser::disconnectCallback(int connectionID, const sockaddr_in*, void* userData)
{
    RecordingUser* self = static_cast<RecordingUser*>(userData);
    {
        std::lock_guard<std::mutex> guard(self->m_Lock);
        if (!self->m_Pollers.count(connectionID))
            self->m_Misordered = true;
        ++self->m_Disconnects[connectionID];
    }
    self->m_Changed.notify_all();
}

void RecordingUser::setDataHook(DataHook hook)
{
    std::lock_guard<std::mutex> guard(m_Lock);
    m_DataHook = hook;
}

void RecordingUser::setConnectHook(ConnectHook hook)
{
    std::lock_guard<std::mutex> guard(m_Lock);
    m_ConnectHook = hook;
}

bool RecordingUser::waitUntil(const std::function<bool()>& predicate, milliseconds deadline)
{
    return testsupport::waitUntil(
        [&] {
            std::lock_guard<std::mutex> guard(m_Lock);
            return predicate();
        },
        [&] {
            std::unique_lock<std::mutex> lock(m_Lock);
            m_Changed.wait_for(lock, milliseconds(10), predicate);
        },
        deadline);
}

int RecordingUser::waitForConnection(std::size_t n)
{
    if (!waitUntil([&] { return m_ConnectionOrder.size() >= n; }))
        return 0;
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_ConnectionOrder[n - 1];
}

bool RecordingUser::waitForBytes(int connectionID, std::size_t bytes)
{
    return waitUntil([&] { return m_Received[connectionID].size() >= bytes; });
}

bool RecordingUser::waitForDisconnects(int connectionID, int count)
{
    return waitUntil([&] { return m_Disconnects[connectionID] >= count; });
}

std::vector<int> RecordingUser::connections()
{
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_ConnectionOrder;
}

NetWorkingPollTCPSelect* RecordingUser::pollerOf(int connectionID)
{
    std::lock_guard<std::mutex> guard(m_Lock);
    auto it = m_Pollers.find(connectionID);
    return it == m_Pollers.end() ? nullptr : it->second;
}

std::string RecordingUser::received(int connectionID)
{
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Received[connectionID];
}

std::vector<int> RecordingUser::blockSizes(int connectionID)
{
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_BlockSizes[connectionID];
}

int RecordingUser::disconnects(int connectionID)
{
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Disconnects[connectionID];
}

int RecordingUser::totalDisconnects()
{
    std::lock_guard<std::mutex> guard(m_Lock);
    int total = 0;
    for (auto& entry : m_Disconnects)
        total += entry.second;
    return total;
}

sockaddr_in RecordingUser::peerOf(int connectionID)
{
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Peers[connectionID];
}

NetWorkingFunctions LogRecorder::functions()
{
    NetWorkingFunctions functions;
    functions.onLog = [this](const std::string& line) {
        {
            std::lock_guard<std::mutex> guard(m_Lock);
            m_Lines.push_back(line);
        }
        m_Added.notify_all();
    };
    return functions;
}

bool LogRecorder::waitFor(const std::string& text, milliseconds deadline)
{
    std::unique_lock<std::mutex> lock(m_Lock);
    return m_Added.wait_for(lock, deadline, [&] {
        return std::find(m_Lines.begin(), m_Lines.end(), text) != m_Lines.end();
    });
}

std::vector<std::string> LogRecorder::lines()
{
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Lines;
}

bool LogRecorder::contains(const std::string& text)
{
    return waitFor(text, milliseconds(0));
}

unsigned short boundPort(int listenerFd)
{
    sockaddr_in address;
    socklen_t length = sizeof(address);
    if (::getsockname(listenerFd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

int connectTo(unsigned short port, int receiveBuffer)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
    sockaddr_in address;
    std::memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool writeAll(int fd, const std::string& data)
{
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

namespace {

// Waits for the descriptor to become readable; false at the deadline.
bool waitReadable(int fd, std::chrono::steady_clock::time_point end)
{
    for (;;) {
        const auto left = std::chrono::duration_cast<milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p = {fd, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r > 0)
            return true;
        if (r < 0 && errno != EINTR)
            return false;
    }
}

}  // namespace

std::string readBytes(int fd, std::size_t n, milliseconds deadline)
{
    const auto end = std::chrono::steady_clock::now() + deadline;
    std::string data;
    char buffer[65536];
    while (data.size() < n) {
        if (!waitReadable(fd, end))
            break;
        const ssize_t got = ::recv(fd, buffer, std::min(sizeof(buffer), n - data.size()), 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        data.append(buffer, static_cast<std::size_t>(got));
    }
    return data;
}

std::string readToEnd(int fd, bool* eof, milliseconds deadline)
{
    const auto end = std::chrono::steady_clock::now() + deadline;
    std::string data;
    char buffer[65536];
    *eof = false;
    for (;;) {
        if (!waitReadable(fd, end))
            return data;
        const ssize_t got = ::recv(fd, buffer, sizeof(buffer), 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            *eof = true;
            return data;
        }
        data.append(buffer, static_cast<std::size_t>(got));
    }
}

namespace {

// Calls visit(name) for every entry of a /proc folder but "." and ".."; -1 if it cannot be read.
template <typename Visit>
int forEachEntry(const char* path, Visit visit)
{
    DIR* dir = ::opendir(path);
    if (!dir)
        return -1;
    const int own = ::dirfd(dir);
    while (dirent* entry = ::readdir(dir))
        if (entry->d_name[0] != '.' && std::atoi(entry->d_name) != own)
            visit(std::string(entry->d_name));
    ::closedir(dir);
    return 0;
}

// The kernel's flag of a task that has begun to exit (PF_EXITING).
const unsigned long kTaskExiting = 0x4;

}  // namespace

int openDescriptorCount()
{
    // Only what the layer opens: other descriptors come and go behind the test's back (the C
    // library briefly opens files under /sys when a new thread first allocates memory).
    int count = 0;
    const int result = forEachEntry("/proc/self/fd", [&count](const std::string& name) {
        char target[256];
        const ssize_t length = ::readlink(("/proc/self/fd/" + name).c_str(), target, sizeof(target) - 1);
        if (length <= 0)
            return;
        const std::string link(target, static_cast<std::size_t>(length));
        if (link.compare(0, 7, "socket:") == 0 || link == "anon_inode:[eventfd]")
            ++count;
    });
    return result < 0 ? -1 : count;
}

int threadCount()
{
    // A joined thread stays listed until the kernel has finished its exit; it is not counted.
    int count = 0;
    const int result = forEachEntry("/proc/self/task", [&count](const std::string& name) {
        std::ifstream stat("/proc/self/task/" + name + "/stat");
        std::string text;
        std::getline(stat, text);
        const std::string::size_type end = text.rfind(')');
        if (end == std::string::npos)
            return;  // gone meanwhile
        std::istringstream fields(text.substr(end + 1));
        std::string state, skipped;
        unsigned long flags = 0;
        fields >> state;
        for (int i = 0; i < 5; ++i)
            fields >> skipped;  // ppid pgrp session tty_nr tpgid
        if (fields >> flags && (flags & kTaskExiting) == 0)
            ++count;
    });
    return result < 0 ? -1 : count;
}

}  // namespace nettest

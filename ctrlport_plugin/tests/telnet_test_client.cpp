#include "telnet_test_client.h"

#include "wait_until.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

const char* const kGreeting =
    "VXM Client\n\r"
    "Welcome to the Voxmere 3 CtrlPort interface, type \"help\" for a list of commands and \"help <command>\" for "
    "information on a specific command.\n\r";

TelnetTestClient::~TelnetTestClient()
{
    close();
}

bool TelnetTestClient::connectTo(unsigned short port)
{
    close();
    m_received.clear();
    m_closed = false;
    m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (m_fd < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close();
        return false;
    }
    return true;
}

bool TelnetTestClient::send(const std::string& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t result = ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (result < 0 && errno == EINTR)
            continue;
        if (result <= 0)
            return false;
        sent += static_cast<std::size_t>(result);
    }
    return true;
}

void TelnetTestClient::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool TelnetTestClient::pump(int waitMs)
{
    if (m_fd < 0 || m_closed)
        return false;
    pollfd entry{m_fd, POLLIN, 0};
    int timeout = waitMs;
    for (;;) {
        const int ready = ::poll(&entry, 1, timeout);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return true;
        char buffer[65536];
        const ssize_t count = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0) {
            m_closed = true;
            return false;
        }
        m_received.append(buffer, static_cast<std::size_t>(count));
        timeout = 0;  // take the rest of what is there, then return
    }
}

bool TelnetTestClient::waitUntil(const std::function<bool()>& condition, const std::function<void()>& between,
                                 int timeoutMs)
{
    return testsupport::waitUntil(condition,
                                  [&] {
                                      pump(10);
                                      if (between)
                                          between();
                                  },
                                  std::chrono::milliseconds(timeoutMs));
}

bool TelnetTestClient::waitFor(const std::string& text, int timeoutMs)
{
    return waitUntil([&] { return contains(text); }, nullptr, timeoutMs);
}

bool TelnetTestClient::waitForClose(int timeoutMs)
{
    return waitUntil([&] { return m_closed; }, nullptr, timeoutMs);
}

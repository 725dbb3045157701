// A telnet peer for tests: connects to the plug-in's port on loopback, sends raw bytes and collects
// what arrives. Waiting polls the socket with a deadline; waitUntil lets a caller run its own event
// loop between the polls (the stand-in client answers on its Qt thread).
#ifndef CTRLPORT_TESTS_TELNET_TEST_CLIENT_H
#define CTRLPORT_TESTS_TELNET_TEST_CLIENT_H

#include <functional>
#include <string>

class TelnetTestClient
{
public:
    TelnetTestClient() = default;
    ~TelnetTestClient();
    TelnetTestClient(const TelnetTestClient&) = delete;
    TelnetTestClient& operator=(const TelnetTestClient&) = delete;

    bool connectTo(unsigned short port = 25639);
    bool send(const std::string& bytes);
    void close();

    // Reads what has arrived, waiting at most waitMs for the first byte. False once the peer closed.
    bool pump(int waitMs = 0);

    const std::string& received() const { return m_received; }
    bool contains(const std::string& text) const { return m_received.find(text) != std::string::npos; }
    bool closedByPeer() const { return m_closed; }
    // Forgets what has arrived so far.
    void clear() { m_received.clear(); }

    // Until the received bytes hold `text`, or the deadline passes.
    bool waitFor(const std::string& text, int timeoutMs = 10000);
    // Until the peer closes the connection.
    bool waitForClose(int timeoutMs = 10000);
    // Until condition() holds; `between` runs between polls of 10 ms (e.g. to process Qt events).
    bool waitUntil(const std::function<bool()>& condition, const std::function<void()>& between,
                   int timeoutMs = 10000);

private:
    int m_fd = -1;
    std::string m_received;
    bool m_closed = false;
};

// The two greeting lines every connection receives first.
extern const char* const kGreeting;

#endif

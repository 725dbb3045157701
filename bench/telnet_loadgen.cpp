// The load generator of the telnet rows of bench/run, and the two reference servers it is measured
// against. Every side talks plain TCP on 127.0.0.1; TEXT arguments understand \n, \r and \\.
//
//   telnet_loadgen rr --port P --conns N --seconds S [--warmup S] [--threads T]
//                     --request TEXT --done MARKER [--hello MARKER]
//       N connections, each a closed loop: send TEXT, wait for a line holding MARKER, send again.
//       With --hello every connection first waits for a line holding that marker; one refused
//       ("error id=" first, or closed) is opened again until admitted (10 s at most). Prints
//       "requests", "rps", "p50_us", "p99_us" over the S seconds after the warm-up, and its own
//       CPU use: "cpu_cores" (CPU seconds / wall seconds) and "threads".
//
//   telnet_loadgen fanout --conns N [--stalled K] --warm-events W --events M --event MARKER
//                         --a-port P --a-control FIFO --a-warm TEXT --a-inject TEXT
//                         [--a-hello MARKER] [--a-setup TEXT --a-setup-done MARKER] [--b-port ... the same]
//       For server a (and b): N connections (the first K with a small receive buffer, never read
//       after the setup), each sends the setup line and waits for its answer. Then W times the
//       control line `warm` is written to FIFO (the server's control input) and every reading
//       connection receives its line holding the event marker. Then M times the line `inject`, the
//       two servers taking turns, each timed from the write to the moment the last reading
//       connection holds the line. Prints per server ("a-", "b-") "samples_us", "p50_us" and
//       "receipts_ns": when each last receipt came, in nanoseconds of CLOCK_MONOTONIC, to be set
//       against the start of the injecting call that the server reports; then "cpu_cores".
//
//   telnet_loadgen floor --port P
//       A minimal epoll server (the floor of telnet-rr): answers each received line with two lines
//       in one write. Runs until killed.
//
//   telnet_loadgen sendloop --port P
//       The peer of telnet-fanout: accepts connections, reads what they send and drops it, and reads
//       control lines on standard input: "send TEXT" sends TEXT and "\n\r" to every connection, one
//       send() each; "time send TEXT" does the same and prints "time: <microseconds of the loop> at
//       <its start in nanoseconds of CLOCK_MONOTONIC>", as vxm_fakeclient's "time LINE" does.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void die(const std::string& text)
{
    std::fprintf(stderr, "telnet_loadgen: %s\n", text.c_str());
    std::exit(1);
}

[[noreturn]] void dieErrno(const std::string& text)
{
    die(text + ": " + std::strerror(errno));
}

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

double cpuSeconds()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::string unescape(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        out += c == 'n' ? '\n' : c == 'r' ? '\r' : c;
    }
    return out;
}

// The options of one mode: "--name value" pairs.
class Options
{
public:
    Options(int argc, char** argv, int first)
    {
        for (int i = first; i < argc; i += 2) {
            if (std::strncmp(argv[i], "--", 2) != 0 || i + 1 >= argc)
                die(std::string("bad option ") + argv[i]);
            m_values[argv[i] + 2] = argv[i + 1];
        }
    }
    bool has(const char* name) const { return m_values.count(name) != 0; }
    std::string text(const char* name, const char* fallback = nullptr) const
    {
        auto it = m_values.find(name);
        if (it != m_values.end())
            return unescape(it->second);
        if (!fallback)
            die(std::string("missing --") + name);
        return fallback;
    }
    double number(const char* name, const char* fallback = nullptr) const
    {
        return std::atof(text(name, fallback).c_str());
    }

private:
    std::map<std::string, std::string> m_values;
};

void setNoDelay(int fd)
{
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
}

void setNonBlocking(int fd)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

sockaddr_in loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

void sendAll(int fd, const std::string& text)
{
    std::size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p = {fd, POLLOUT, 0};
            poll(&p, 1, 1000);
        } else if (n < 0 && errno != EINTR) {
            dieErrno("send");
        }
    }
}

// Reads into `buffer` until it holds a complete line containing `marker` (true, the buffer keeps
// what follows that line), or until the connection ends or `refusal` comes first (false).
bool awaitLine(int fd, std::string& buffer, const std::string& marker, const std::string& refusal,
               Clock::time_point deadline)
{
    for (;;) {
        const std::size_t at = buffer.find(marker);
        const std::size_t refused = refusal.empty() ? std::string::npos : buffer.find(refusal);
        if (refused != std::string::npos && (at == std::string::npos || refused < at))
            return false;
        if (at != std::string::npos) {
            const std::size_t end = buffer.find('\n', at);
            if (end != std::string::npos) {
                buffer.erase(0, end + 1);
                return true;
            }
        }
        const int wait = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              deadline - Clock::now()).count());
        if (wait <= 0)
            die("no answer holding \"" + marker + "\" in time; got \"" + buffer + "\"");
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, wait) <= 0)
            continue;
        char chunk[4096];
        const ssize_t n = ::recv(fd, chunk, sizeof(chunk), 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            return false;
        if (n > 0)
            buffer.append(chunk, static_cast<std::size_t>(n));
    }
}

// Opens a connection and, with a hello marker, waits until the server has admitted it (a server
// that is still freeing the slots of an earlier run refuses it for a while).
int openConnection(int port, const std::string& hello, int receiveBuffer, std::string& buffer)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
    for (int attempt = 1;; ++attempt) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            dieErrno("socket");
        if (receiveBuffer > 0)
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
        const sockaddr_in address = loopback(port);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
            dieErrno("connect to port " + std::to_string(port));
        setNoDelay(fd);
        buffer.clear();
        if (hello.empty() || awaitLine(fd, buffer, hello, "error id=", deadline))
            return fd;
        ::close(fd);
        if (Clock::now() > deadline)
            die("the server did not admit a connection within 10 s (" + std::to_string(attempt) +
                " attempts; the last got \"" + buffer + "\")");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void printCpu(double cpu, Clock::duration wall)
{
    std::printf("cpu_cores %.3f\n", cpu / std::max(1e-9, seconds(wall)));
}

double percentile(std::vector<double>& values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t i = std::min(values.size() - 1, static_cast<std::size_t>(p * (values.size() - 1) + 0.5));
    return values[i];
}

// ---- rr -------------------------------------------------------------------------------------------

struct RrConnection
{
    int fd = -1;
    std::string buffer;
    Clock::time_point sentAt;
};

struct RrResult
{
    long requests = 0;
    std::vector<double> latencies;  // microseconds, measured window only
};

void rrThread(std::vector<RrConnection*> connections, const std::string& request, const std::string& done,
              Clock::time_point measureFrom, Clock::time_point end, RrResult& result)
{
    const int epoll = epoll_create1(EPOLL_CLOEXEC);
    if (epoll < 0)
        dieErrno("epoll_create1");
    for (RrConnection* c : connections) {
        setNonBlocking(c->fd);
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.ptr = c;
        epoll_ctl(epoll, EPOLL_CTL_ADD, c->fd, &event);
        c->sentAt = Clock::now();
        sendAll(c->fd, request);
    }
    result.latencies.reserve(1 << 20);
    std::vector<epoll_event> events(connections.size());
    char chunk[16384];
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (now >= end)
            break;
        const int wait = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count()) + 1;
        const int n = epoll_wait(epoll, events.data(), static_cast<int>(events.size()), wait);
        for (int i = 0; i < n; ++i) {
            RrConnection* c = static_cast<RrConnection*>(events[i].data.ptr);
            const ssize_t got = ::recv(c->fd, chunk, sizeof(chunk), 0);
            if (got == 0)
                die("the server closed a connection");
            if (got < 0) {
                if (errno == EAGAIN || errno == EINTR)
                    continue;
                dieErrno("recv");
            }
            c->buffer.append(chunk, static_cast<std::size_t>(got));
            const std::size_t at = c->buffer.find(done);
            if (at == std::string::npos)
                continue;
            const std::size_t lineEnd = c->buffer.find('\n', at);
            if (lineEnd == std::string::npos)
                continue;
            c->buffer.erase(0, lineEnd + 1);
            const Clock::time_point received = Clock::now();
            if (c->sentAt >= measureFrom && received <= end) {
                ++result.requests;
                result.latencies.push_back(std::chrono::duration<double, std::micro>(received - c->sentAt).count());
            }
            c->sentAt = received;
            sendAll(c->fd, request);
        }
    }
    ::close(epoll);
}

int runRr(const Options& options)
{
    const int port = static_cast<int>(options.number("port"));
    const int count = static_cast<int>(options.number("conns"));
    const double measured = options.number("seconds");
    const double warmup = options.number("warmup", "0.5");
    const int threads = std::max(1, std::min(count, static_cast<int>(options.number("threads", "1"))));
    const std::string request = options.text("request");
    const std::string done = options.text("done");
    const std::string hello = options.text("hello", "");

    std::vector<RrConnection> connections(count);
    for (RrConnection& c : connections)
        c.fd = openConnection(port, hello, 0, c.buffer);

    const double cpuStart = cpuSeconds();
    const Clock::time_point start = Clock::now();
    const Clock::time_point measureFrom = start + std::chrono::duration_cast<Clock::duration>(
                                                      std::chrono::duration<double>(warmup));
    const Clock::time_point end = measureFrom + std::chrono::duration_cast<Clock::duration>(
                                                    std::chrono::duration<double>(measured));
    std::vector<RrResult> results(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        std::vector<RrConnection*> mine;
        for (int i = t; i < count; i += threads)
            mine.push_back(&connections[i]);
        workers.emplace_back(rrThread, mine, request, done, measureFrom, end, std::ref(results[t]));
    }
    for (std::thread& worker : workers)
        worker.join();
    const Clock::duration wall = Clock::now() - start;
    const double cpu = cpuSeconds() - cpuStart;
    for (RrConnection& c : connections)
        ::close(c.fd);

    RrResult all;
    for (RrResult& r : results) {
        all.requests += r.requests;
        all.latencies.insert(all.latencies.end(), r.latencies.begin(), r.latencies.end());
    }
    if (all.requests == 0)
        die("no request was answered");
    std::printf("requests %ld\n", all.requests);
    std::printf("rps %.1f\n", all.requests / measured);
    std::printf("p50_us %.2f\n", percentile(all.latencies, 0.50));
    std::printf("p99_us %.2f\n", percentile(all.latencies, 0.99));
    printCpu(cpu, wall);
    std::printf("threads %d\n", threads);
    return 0;
}

// ---- fanout ---------------------------------------------------------------------------------------

struct FanoutConnection
{
    int fd = -1;
    bool reading = true;
    std::string buffer;
    long received = 0;  // lines holding the event marker
};

// Reads what is there on every reading connection until each has received `expected` event lines.
void awaitEvents(int epoll, std::vector<FanoutConnection>& connections, const std::string& marker, long expected,
                 Clock::time_point deadline)
{
    auto missing = [&] {
        for (const FanoutConnection& c : connections)
            if (c.reading && c.received < expected)
                return true;
        return false;
    };
    epoll_event events[256];
    char chunk[65536];
    while (missing()) {
        if (Clock::now() > deadline)
            die("an event did not reach every connection in time");
        const int n = epoll_wait(epoll, events, 256, 1000);
        for (int i = 0; i < n; ++i) {
            FanoutConnection* c = static_cast<FanoutConnection*>(events[i].data.ptr);
            const ssize_t got = ::recv(c->fd, chunk, sizeof(chunk), 0);
            if (got == 0)
                die("the server closed a reading connection");
            if (got < 0)
                continue;
            c->buffer.append(chunk, static_cast<std::size_t>(got));
            std::size_t start = 0;
            for (std::size_t end; (end = c->buffer.find('\n', start)) != std::string::npos; start = end + 1) {
                if (c->buffer.find(marker, start) < end)
                    ++c->received;
            }
            c->buffer.erase(0, start);
        }
    }
}

void writeControl(int fd, const std::string& line)
{
    const std::string text = line + "\n";
    if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        dieErrno("write to the control input");
}

// One server of the fan-out: its connections and how to make it send an event.
struct FanoutSide
{
    FanoutSide(const Options& options, const std::string& prefix, int count, int stalled)
    {
        auto text = [&](const char* name, const char* fallback) {
            return options.text((prefix + name).c_str(), fallback);
        };
        const int port = std::atoi(text("port", nullptr).c_str());
        const std::string hello = text("hello", "");
        const std::string setup = text("setup", "");
        const std::string setupDone = setup.empty() ? std::string() : text("setup-done", nullptr);
        warm = text("warm", nullptr);
        inject = text("inject", nullptr);

        connections.resize(count);
        epoll = epoll_create1(EPOLL_CLOEXEC);
        for (int i = 0; i < count; ++i) {
            FanoutConnection& c = connections[i];
            c.reading = i >= stalled;
            // A small receive buffer makes a stalled reader's side fill up with few lines.
            c.fd = openConnection(port, hello, c.reading ? 0 : 4096, c.buffer);
            if (!setup.empty()) {
                sendAll(c.fd, setup);
                if (!awaitLine(c.fd, c.buffer, setupDone, std::string(), Clock::now() + std::chrono::seconds(10)))
                    die("the setup line was not answered");
            }
            if (!c.reading)
                continue;
            setNonBlocking(c.fd);
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.ptr = &c;
            epoll_ctl(epoll, EPOLL_CTL_ADD, c.fd, &event);
        }
        const std::string control = text("control", nullptr);
        controlFd = ::open(control.c_str(), O_WRONLY | O_CLOEXEC);
        if (controlFd < 0)
            dieErrno("open " + control);
    }
    FanoutSide(const FanoutSide&) = delete;
    FanoutSide& operator=(const FanoutSide&) = delete;
    ~FanoutSide()
    {
        ::close(controlFd);
        ::close(epoll);
        for (FanoutConnection& c : connections)
            ::close(c.fd);
    }

    // Enough events first that a stalled reader's buffers are full and its lines queue up.
    void warmUp(long events, const std::string& marker)
    {
        const Clock::time_point deadline = Clock::now() + std::chrono::seconds(60);
        while (expected < events) {
            const long batch = std::min(100L, events - expected);
            for (long i = 0; i < batch; ++i)
                writeControl(controlFd, warm);
            expected += batch;
            awaitEvents(epoll, connections, marker, expected, deadline);
        }
    }

    void measure(const std::string& marker)
    {
        const Clock::time_point injected = Clock::now();
        writeControl(controlFd, inject);
        ++expected;
        awaitEvents(epoll, connections, marker, expected, injected + std::chrono::seconds(10));
        const Clock::time_point received = Clock::now();
        samples.push_back(std::chrono::duration<double, std::micro>(received - injected).count());
        receipts.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(received.time_since_epoch()).count());
    }

    void print(const std::string& prefix)
    {
        std::printf("%ssamples_us", prefix.c_str());
        for (std::size_t i = 0; i < samples.size(); ++i)
            std::printf("%c%.1f", i ? ',' : ' ', samples[i]);
        std::printf("\n%sreceipts_ns", prefix.c_str());
        for (std::size_t i = 0; i < receipts.size(); ++i)
            std::printf("%c%lld", i ? ',' : ' ', receipts[i]);
        std::vector<double> sorted = samples;
        std::printf("\n%sp50_us %.2f\n", prefix.c_str(), percentile(sorted, 0.5));
    }

    std::vector<FanoutConnection> connections;
    int epoll = -1;
    int controlFd = -1;
    std::string warm;
    std::string inject;
    long expected = 0;
    std::vector<double> samples;
    std::vector<long long> receipts;
};

int runFanout(const Options& options)
{
    const int count = static_cast<int>(options.number("conns"));
    const int stalled = static_cast<int>(options.number("stalled", "0"));
    const long warmEvents = static_cast<long>(options.number("warm-events", "0"));
    const int rounds = static_cast<int>(options.number("events"));
    const std::string marker = options.text("event");

    std::vector<std::string> prefixes{"a-"};
    if (options.has("b-port"))
        prefixes.push_back("b-");
    std::vector<std::unique_ptr<FanoutSide>> sides;
    for (const std::string& prefix : prefixes)
        sides.emplace_back(new FanoutSide(options, prefix, count, stalled));
    for (auto& side : sides)
        side->warmUp(warmEvents, marker);

    // The sides take turns event by event (a b, b a, ...), so that both meet the same machine.
    const double cpuStart = cpuSeconds();
    const Clock::time_point start = Clock::now();
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t k = 0; k < sides.size(); ++k)
            sides[round % 2 ? sides.size() - 1 - k : k]->measure(marker);
    }
    const Clock::duration wall = Clock::now() - start;
    const double cpu = cpuSeconds() - cpuStart;
    for (std::size_t k = 0; k < sides.size(); ++k)
        sides[k]->print(prefixes[k]);
    sides.clear();
    printCpu(cpu, wall);
    return 0;
}

// ---- the servers ----------------------------------------------------------------------------------

int listenOn(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        dieErrno("socket");
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    const sockaddr_in address = loopback(port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
        dieErrno("bind port " + std::to_string(port));
    if (::listen(fd, 512) != 0)
        dieErrno("listen");
    return fd;
}

void addToEpoll(int epoll, int fd)
{
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event);
}

void acceptAll(int listener, int epoll, std::vector<int>* accepted)
{
    for (;;) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        setNoDelay(fd);
        addToEpoll(epoll, fd);
        if (accepted)
            accepted->push_back(fd);
    }
}

// Listens on --port, watches the listener with a new epoll set (returned), prints "ready".
int startServer(const Options& options, int& listener)
{
    listener = listenOn(static_cast<int>(options.number("port")));
    const int epoll = epoll_create1(EPOLL_CLOEXEC);
    if (epoll < 0)
        dieErrno("epoll_create1");
    addToEpoll(epoll, listener);
    std::printf("ready\n");
    std::fflush(stdout);
    return epoll;
}

int runFloor(const Options& options)
{
    int listener;
    const int epoll = startServer(options, listener);
    const std::string reply = "clid=1 cid=1\n\rerror id=0 msg=ok\n\r";
    epoll_event events[256];
    char chunk[16384];
    std::string out;
    for (;;) {
        const int n = epoll_wait(epoll, events, 256, -1);
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == listener) {
                acceptAll(listener, epoll, nullptr);
                continue;
            }
            const ssize_t got = ::recv(fd, chunk, sizeof(chunk), 0);
            if (got <= 0) {
                if (got == 0 || (errno != EAGAIN && errno != EINTR))
                    ::close(fd);
                continue;
            }
            out.clear();
            for (ssize_t k = 0; k < got; ++k)
                if (chunk[k] == '\n')
                    out += reply;
            if (!out.empty() && ::send(fd, out.data(), out.size(), MSG_NOSIGNAL) < 0 && errno != EAGAIN)
                ::close(fd);
        }
    }
}

int runSendLoop(const Options& options)
{
    int listener;
    const int epoll = startServer(options, listener);
    addToEpoll(epoll, STDIN_FILENO);
    std::vector<int> connections;
    epoll_event events[256];
    char chunk[16384];
    std::string input;
    for (;;) {
        const int n = epoll_wait(epoll, events, 256, -1);
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == listener) {
                acceptAll(listener, epoll, &connections);
                continue;
            }
            const ssize_t got = ::read(fd, chunk, sizeof(chunk));
            if (fd != STDIN_FILENO) {
                if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
                    ::close(fd);
                    connections.erase(std::remove(connections.begin(), connections.end(), fd), connections.end());
                }
                continue;
            }
            if (got <= 0)
                return 0;
            input.append(chunk, static_cast<std::size_t>(got));
            for (std::size_t end; (end = input.find('\n')) != std::string::npos;) {
                std::string line = input.substr(0, end);
                input.erase(0, end + 1);
                const bool timed = line.compare(0, 5, "time ") == 0;
                if (timed)
                    line.erase(0, 5);
                if (line.compare(0, 5, "send ") != 0)
                    continue;
                const std::string text = line.substr(5) + "\n\r";
                const Clock::time_point start = Clock::now();
                for (const int connection : connections)
                    ::send(connection, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                if (timed) {
                    std::printf("time: %.1f at %lld\n",
                                std::chrono::duration<double, std::micro>(Clock::now() - start).count(),
                                static_cast<long long>(
                                    std::chrono::duration_cast<std::chrono::nanoseconds>(start.time_since_epoch())
                                        .count()));
                    std::fflush(stdout);
                }
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        die("usage: telnet_loadgen rr|fanout|floor|sendloop --option value ...");
    const std::string mode = argv[1];
    const Options options(argc, argv, 2);
    if (mode == "rr")
        return runRr(options);
    if (mode == "fanout")
        return runFanout(options);
    if (mode == "floor")
        return runFloor(options);
    if (mode == "sendloop")
        return runSendLoop(options);
    die("unknown mode " + mode);
}

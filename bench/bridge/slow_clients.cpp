// How long a plain GET /health takes while many slow clients hold
// connections to the bridge: each opens a connection at once (non-blocking,
// as a flood does), sends one byte, then one more every T ms, and opens a
// new connection when the server has dropped its old one.
//
//   cvn-bridge-slow-clients [--slow N]... [--requests M] [--trickle-ms T] [--gap-ms G]
//
// For each count N (300, 600 and 1000 unless given) it starts a server on a
// free loopback port, opens the slow connections, then times M requests
// (20 unless given) G ms apart (250 unless given), from connect to the end
// of the answer: the first (sent right after the flood), the median and the
// slowest, in milliseconds, and how many came back exact. The bridge log
// goes to a temporary folder that is removed at the end.

#include "BenchTiming.h"

#include "bridge/RigBridgeServer.h"
#include "platform/Sockets.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

void usage(std::FILE* to)
{
    std::fprintf(to, "usage: cvn-bridge-slow-clients [--slow N]... [--requests M] [--trickle-ms T] [--gap-ms G]\n");
}

bool parseCount(const char* text, int low, int high, int& out)
{
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high)
        return false;
    out = int(value);
    return true;
}

uint16_t pickFreePort()
{
    const int fd = cvn::sockets::openTcpSocket().fd;
    uint16_t port = 0;
    if (fd >= 0 && cvn::sockets::bindLoopback(fd, 0) == 0 && cvn::sockets::listenOn(fd, 1) == 0)
        port = cvn::sockets::boundPort(fd);
    cvn::sockets::closeDescriptor(fd);
    return port;
}

sockaddr_in loopback(uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A connection that is started and left to complete on its own.
int connectWithoutWaiting(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const sockaddr_in address = loopback(port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 && errno != EINPROGRESS) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// One request from connect to end of stream; false when the answer is not
// `expected` or does not end within 30 s.
bool timedRequest(uint16_t port, const QByteArray& expected, double& ms)
{
    const auto start = Clock::now();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopback(port);
    QByteArray got;
    bool ended = false;
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        const char request[] = "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        if (::send(fd, request, sizeof request - 1, MSG_NOSIGNAL) == ssize_t(sizeof request - 1)) {
            const auto end = start + std::chrono::seconds(30);
            while (Clock::now() < end) {
                pollfd entry{fd, POLLIN, 0};
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
                if (::poll(&entry, 1, int(std::max<long>(left, 0))) <= 0)
                    continue;
                char buffer[4096];
                const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                if (n > 0) {
                    got.append(buffer, n);
                    continue;
                }
                ended = n == 0;
                break;
            }
        }
    }
    if (fd >= 0)
        ::close(fd);
    ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    return ended && got == expected;
}

struct Result {
    double firstMs = 0;
    double medianMs = 0;
    double slowestMs = 0;
    int exact = 0;
    int slowOpened = 0;
};

Result runWith(int slowCount, int requests, int trickleMs, int gapMs, const QByteArray& expected, bool& ok)
{
    Result result;
    const uint16_t port = pickFreePort();
    cvn::RigBridgeServer server(std::vector<uint16_t>{port});
    server.start();
    if (!server.boundPort()) {
        std::fprintf(stderr, "cvn-bridge-slow-clients: the server could not listen on port %u\n", unsigned(port));
        ok = false;
        return result;
    }

    std::vector<int> slow;
    for (int i = 0; i < slowCount; ++i) {
        const int fd = connectWithoutWaiting(port);
        if (fd >= 0)
            slow.push_back(fd);
    }
    result.slowOpened = int(slow.size());
    std::atomic<bool> done{false};
    std::thread trickle([&] {
        while (!done) {
            for (int& fd : slow) {
                // Still connecting, or a full buffer: tried again next round.
                if (fd >= 0 && ::send(fd, "G", 1, MSG_NOSIGNAL | MSG_DONTWAIT) < 0
                    && (errno == EPIPE || errno == ECONNRESET)) {
                    ::close(fd);
                    fd = -1;
                }
                if (fd < 0)
                    fd = connectWithoutWaiting(port);
            }
            for (int waited = 0; waited < trickleMs && !done; waited += 10)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });

    std::vector<double> times;
    for (int i = 0; i < requests; ++i) {
        double ms = 0;
        if (timedRequest(port, expected, ms))
            ++result.exact;
        times.push_back(ms);
        if (i + 1 < requests)
            std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
    }
    done = true;
    trickle.join();
    for (const int fd : slow) {
        if (fd >= 0)
            ::close(fd);
    }
    server.stop();

    result.firstMs = times.empty() ? 0 : times.front();
    result.slowestMs = times.empty() ? 0 : *std::max_element(times.begin(), times.end());
    result.medianMs = cvn::bench::median(std::move(times));
    return result;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<int> counts;
    int requests = 20;
    int trickleMs = 2000;
    int gapMs = 250;
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--help") == 0) {
            usage(stdout);
            return 0;
        }
        int value = 0;
        if (std::strcmp(argv[i], "--slow") == 0 && hasValue && parseCount(argv[i + 1], 0, 5000, value)) {
            counts.push_back(value);
        } else if (std::strcmp(argv[i], "--requests") == 0 && hasValue && parseCount(argv[i + 1], 1, 10000, value)) {
            requests = value;
        } else if (std::strcmp(argv[i], "--trickle-ms") == 0 && hasValue
                   && parseCount(argv[i + 1], 10, 60000, value)) {
            trickleMs = value;
        } else if (std::strcmp(argv[i], "--gap-ms") == 0 && hasValue && parseCount(argv[i + 1], 0, 60000, value)) {
            gapMs = value;
        } else {
            std::fprintf(stderr, "cvn-bridge-slow-clients: bad option %s (see --help)\n", argv[i]);
            return 2;
        }
        ++i;
    }
    if (counts.empty())
        counts = {300, 600, 1000};

    // The slow clients and the server's own descriptors live in this process.
    const int needed = *std::max_element(counts.begin(), counts.end()) + 2 * cvn::RigBridgeServer::Limits{}.maxClients + 64;
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < rlim_t(needed)) {
        limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, rlim_t(needed));
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur < rlim_t(needed)) {
        std::fprintf(stderr, "cvn-bridge-slow-clients: needs %d open files, the limit allows fewer\n", needed);
        return 1;
    }

    QTemporaryDir data;
    if (!data.isValid()) {
        std::fprintf(stderr, "cvn-bridge-slow-clients: cannot make a temporary folder\n");
        return 1;
    }
    qputenv("XDG_DATA_HOME", (data.path() + QStringLiteral("/data")).toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", (data.path() + QStringLiteral("/config")).toLocal8Bit());
    QCoreApplication app(argc, argv);

    const QByteArray expected =
        "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: https://corvanthelis.com\r\n"
        "Access-Control-Allow-Methods: GET, OPTIONS\r\nAccess-Control-Max-Age: 86400\r\n"
        "Content-Type: application/json; charset=utf-8\r\nContent-Length: 61\r\nConnection: close\r\n\r\n"
        R"({"ok":true,"app":"corvanthelis","version":"1.0.0","schema":1})";

    std::printf("%8s %8s %10s %10s %10s %8s\n", "slow", "opened", "first ms", "median ms", "max ms", "exact");
    bool ok = true;
    for (const int count : counts) {
        const Result r = runWith(count, requests, trickleMs, gapMs, expected, ok);
        if (!ok)
            return 1;
        std::printf("%8d %8d %10.1f %10.1f %10.1f %5d/%d\n", count, r.slowOpened, r.firstMs, r.medianMs,
                    r.slowestMs, r.exact, requests);
        std::fflush(stdout);
    }
    return 0;
}

// cvn-bench-connections: how long a request waits for the local server
// while many other clients hold connections open. It opens `--idle`
// connections that send nothing and `--slow` ones that send a request's
// head a byte a second, then times `GET /v1/models` on a connection of its
// own, `--runs` times, while all of them are open.
//
//   cvn-bench-connections [--idle N] [--slow N] [--runs N]
//
// Prints "GET /v1/models with I idle and S slow connections: median X ms,
// slowest Y ms (N runs)". Everything happens on 127.0.0.1; the models folder
// and settings live in a temporary folder removed at the end. The soft limit
// of open descriptors is raised to the hard limit, which must hold both ends
// of every connection.
#include "BenchOptions.h"
#include "BenchTiming.h"
#include "apiserver/ApiServer.h"
#include "engine/LlamaSession.h"
#include "models/ModelStore.h"
#include "platform/Sockets.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace cvn;
using Clock = std::chrono::steady_clock;

namespace {

const char* const kUsage = "usage: cvn-bench-connections [--idle N] [--slow N] [--runs N]\n";

int fail(const std::string& message)
{
    std::fprintf(stderr, "cvn-bench-connections: %s\n", message.c_str());
    return 2;
}

int connectTo(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

uint16_t freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    uint16_t port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

// Milliseconds from connecting to the answer's end; negative when it fails.
double timedGet(uint16_t port)
{
    const Clock::time_point began = Clock::now();
    const int fd = connectTo(port);
    if (fd < 0)
        return -1;
    const std::string request = "GET /v1/models HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port)
                                + "\r\nConnection: close\r\n\r\n";
    std::string heard;
    bool sent = ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size());
    timeval limit{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    char buffer[4096];
    for (ssize_t n; sent && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
        heard.append(buffer, size_t(n));
    ::close(fd);
    if (heard.rfind("HTTP/1.1 200", 0) != 0)
        return -1;
    return std::chrono::duration<double, std::milli>(Clock::now() - began).count();
}

bool closedByServer(int fd)
{
    char byte = 0;
    return ::recv(fd, &byte, 1, MSG_DONTWAIT) >= 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (bench::asksForHelp(argc, argv)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    long idle = 1000;
    long slow = 700;
    long runs = 5;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        long* target = arg == "--idle" ? &idle : arg == "--slow" ? &slow : arg == "--runs" ? &runs : nullptr;
        if (!target)
            return fail("unknown option " + arg);
        if (i + 1 >= argc)
            return fail(arg + " needs a value");
        const std::optional<long> value = bench::parseCount(argv[++i], arg == "--runs" ? 1 : 0);
        if (!value || *value > 100000)
            return fail(arg + " needs a count, not \"" + argv[i] + "\"");
        *target = *value;
    }

    const long allowed = sockets::raiseDescriptorLimit();
    const long needed = 2 * (idle + slow) + 64;
    if (allowed < needed)
        return fail("the process may open " + std::to_string(allowed) + " descriptors; " + std::to_string(needed)
                    + " are needed (raise the hard limit, ulimit -Hn)");

    QTemporaryDir home;
    if (!home.isValid())
        return fail("cannot make a temporary folder");
    for (const char* name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"})
        qputenv(name, home.filePath(QString::fromLatin1(name)).toUtf8());
    QCoreApplication app(argc, argv);
    const QString folder = home.filePath(QStringLiteral("models"));
    QDir().mkpath(folder);
    ModelStore store(folder);
    LlamaSession session(&store);
    ApiServer server(session, store);
    const uint16_t port = freePort();
    if (!server.start(port, {}))
        return fail(server.stateText().toStdString());

    std::vector<int> idleFds;
    std::vector<int> slowFds;
    for (long i = 0; i < idle + slow; ++i) {
        const int fd = connectTo(port);
        if (fd < 0)
            return fail("could not open connection " + std::to_string(i + 1));
        (i < idle ? idleFds : slowFds).push_back(fd);
    }
    // Each slow client sends its request's head a byte a second, as long as
    // the figures are taken.
    const std::string head = "GET /v1/models HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n";
    std::atomic<bool> done{false};
    std::thread trickle([&] {
        for (size_t at = 0; !done && at < head.size(); ++at) {
            for (int fd : slowFds)
                ::send(fd, head.data() + at, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            for (int i = 0; i < 10 && !done; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));

    std::vector<double> times;
    for (long run = 0; run < runs; ++run) {
        const double ms = timedGet(port);
        if (ms < 0) {
            done = true;
            trickle.join();
            return fail("GET /v1/models was not answered");
        }
        times.push_back(ms);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    done = true;
    trickle.join();
    long cut = 0;
    for (int fd : idleFds)
        cut += closedByServer(fd);
    for (int fd : slowFds)
        cut += closedByServer(fd);
    for (int fd : idleFds)
        ::close(fd);
    for (int fd : slowFds)
        ::close(fd);
    server.stop();

    const double slowest = *std::max_element(times.begin(), times.end());
    std::printf("GET /v1/models with %ld idle and %ld slow connections: median %.2f ms, slowest %.2f ms (%ld runs)\n",
                idle, slow, bench::median(times), slowest, runs);
    if (cut > 0)
        std::printf("note: %ld of the open connections had been closed by the server by the end\n", cut);
    return 0;
}

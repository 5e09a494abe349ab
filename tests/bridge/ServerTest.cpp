#include "LoopbackClient.h"

#include "bridge/BridgeLog.h"
#include "bridge/RigBridgeServer.h"
#include "bridge/RigInspector.h"
#include "platform/Sockets.h"
#include "support/TempEnv.h"

#include <QFile>

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

using namespace cvn::test;
using cvn::RigBridgeServer;

namespace {

const QByteArray website = "https://corvanthelis.com";

QByteArray cors(const QByteArray& origin = website)
{
    return "Access-Control-Allow-Origin: " + origin
        + "\r\nAccess-Control-Allow-Methods: GET, OPTIONS\r\nAccess-Control-Max-Age: 86400\r\n";
}

QByteArray empty(const QByteArray& statusLine, const QByteArray& extra = {})
{
    return statusLine + "\r\n" + cors() + extra + "Content-Length: 0\r\nConnection: close\r\n\r\n";
}

const QByteArray healthAnswer = "HTTP/1.1 200 OK\r\n" + cors()
    + "Content-Type: application/json; charset=utf-8\r\nContent-Length: 61\r\nConnection: close\r\n\r\n"
      R"({"ok":true,"app":"corvanthelis","version":"1.0.0","schema":1})";

QByteArray logText()
{
    cvn::bridgeLogFlush();
    QFile file(*cvn::bridgeLogPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Waits, bounded, until `done` holds.
template <typename Fn>
bool eventually(Fn done, int ms = 5000)
{
    for (int waited = 0; waited < ms; waited += 10) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

// A server started on `before` and then a port that was free a moment ago.
// Another process may take that port in between (suites run in parallel):
// then it starts again on a new one.
std::unique_ptr<RigBridgeServer> startOnFreePort(std::vector<uint16_t> before = {},
                                                 RigBridgeServer::Limits limits = {})
{
    std::unique_ptr<RigBridgeServer> server;
    for (int attempt = 0; attempt < 10; ++attempt) {
        std::vector<uint16_t> ports = before;
        ports.push_back(freePort());
        server = std::make_unique<RigBridgeServer>(ports, limits);
        server->start();
        if (server->boundPort() == ports.back())
            return server;
    }
    ADD_FAILURE() << "no free port could be bound";
    return server;
}

// A server listening on one port of its own.
struct Running {
    explicit Running(RigBridgeServer::Limits limits = {})
        : server(startOnFreePort({}, limits))
        , port(server->boundPort().value_or(0))
    {
    }
    ~Running() { server->stop(); }

    std::unique_ptr<RigBridgeServer> server;
    uint16_t port;
};

QByteArray bodyOf(const QByteArray& answer)
{
    return answer.mid(answer.indexOf("\r\n\r\n") + 4);
}

} // namespace

TEST(Server, AnswersOverTheSocketWithExactBytesThenEndOfStream)
{
    // What each request means is RequestTest's; here what the socket adds:
    // the listening port in the Host check, requests in pieces, oversized
    // ones, and the end of stream after every answer.
    Running run;
    const auto check = [&](const QByteArray& request, const QByteArray& expected, int chunk = 0) {
        const Received got = exchange(run.port, request, chunk);
        EXPECT_EQ(got.bytes, expected) << request.left(60).toStdString();
        EXPECT_TRUE(got.eof);
        EXPECT_FALSE(got.reset);
    };
    check("GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", healthAnswer);
    EXPECT_TRUE(logText().contains("request \"GET /health HTTP/1.1\" -> 200 OK\n"));
    const QByteArray port = QByteArray::number(run.port);
    check("GET /health HTTP/1.1\r\nHost: LOCALHOST:" + port + "\r\n\r\n", healthAnswer);
    check("GET /health HTTP/1.1\r\nHost: localhost:" + QByteArray::number(run.port + 1) + "\r\n\r\n",
          empty("HTTP/1.1 403 Forbidden"));
    check("GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", healthAnswer, 3);
    check("POST /rig HTTP/1.1\r\n\r\n", empty("HTTP/1.1 405 Method Not Allowed", "Allow: GET, OPTIONS\r\n"));

    const QByteArray oversized = empty("HTTP/1.1 431 Request Header Fields Too Large");
    check(QByteArray(16385, 'a'), oversized);
    EXPECT_TRUE(logText().contains(
        "request \"(no request line - rejected before parsing)\" -> 431 Request Header Fields Too Large\n"));
    // Far more than is read before answering: the lingering close lets the
    // answer arrive instead of a reset.
    check(QByteArray(100000, 'a'), oversized);

    const Received rig = exchange(run.port, "get /RIG/?x=1 HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(rig.bytes.startsWith("HTTP/1.1 200 OK\r\n" + cors()
                                     + "Content-Type: application/json; charset=utf-8\r\nContent-Length: "));
    const QByteArray rigBody = bodyOf(rig.bytes);
    EXPECT_TRUE(rigBody.startsWith("{\"schema\":1,") && rigBody.endsWith("Z\"}")) << rigBody.toStdString();
    EXPECT_TRUE(rig.bytes.contains("Content-Length: " + QByteArray::number(rigBody.size()) + "\r\n"));

    // Padding headers up to exactly 20,000 bytes in one write.
    QByteArray padded = "GET /rig HTTP/1.1\r\n";
    while (padded.size() < 20000 - 200)
        padded += "X-Pad: " + QByteArray(90, 'p') + "\r\n";
    padded += "X-Last: " + QByteArray(20000 - 12 - padded.size(), 'q') + "\r\n\r\n";
    ASSERT_EQ(padded.size(), 20000);
    EXPECT_TRUE(exchange(run.port, padded).bytes.startsWith("HTTP/1.1 200 OK\r\n"));
}

TEST(Server, SilentAndIdleClientsTimeOutWithoutHoldingUpOthers)
{
    // A request deadline well inside the clients' wait for the drop (8 s).
    RigBridgeServer::Limits limits;
    limits.requestTimeoutMs = 2000;
    Running run(limits);
    const int silent = connectLoopback(run.port);
    ASSERT_GE(silent, 0);
    ASSERT_TRUE(sendAll(silent, QByteArray(16384, 'a')));
    std::vector<int> idle;
    for (int i = 0; i < 200; ++i) {
        const int fd = connectLoopback(run.port);
        ASSERT_GE(fd, 0);
        idle.push_back(fd);
    }
    // Clients that asked and never read their answer.
    std::vector<int> deaf;
    for (int i = 0; i < 20; ++i) {
        const int fd = connectLoopback(run.port);
        ASSERT_TRUE(sendAll(fd, "GET /rig HTTP/1.1\r\n\r\n"));
        deaf.push_back(fd);
    }
    const Received health = exchange(run.port, "GET /health HTTP/1.1\r\n\r\n");
    EXPECT_EQ(health.bytes, healthAnswer);

    const Received dropped = readToEnd(silent);
    EXPECT_TRUE(dropped.bytes.isEmpty());
    EXPECT_TRUE(dropped.eof);
    EXPECT_TRUE(logText().contains(QStringLiteral("connection 127.0.0.1:%1 timed out before a full request\n")
                                       .arg(cvn::sockets::boundPort(silent))
                                       .toUtf8()));
    for (const int fd : idle) {
        const Received got = readToEnd(fd);
        EXPECT_TRUE(got.bytes.isEmpty());
        EXPECT_TRUE(got.eof);
        cvn::sockets::closeDescriptor(fd);
    }
    for (const int fd : deaf) {
        EXPECT_TRUE(readToEnd(fd).bytes.startsWith("HTTP/1.1 200 OK\r\n"));
        cvn::sockets::closeDescriptor(fd);
    }
    cvn::sockets::closeDescriptor(silent);
    EXPECT_TRUE(eventually([&] { return run.server->clientCount() == 0; }));
}

TEST(Server, FullTableEvictsTheLongestIdleConnectionForANewOne)
{
    // Neither request deadline acts during the test: only eviction frees a place.
    RigBridgeServer::Limits limits;
    limits.firstByteTimeoutMs = limits.requestTimeoutMs = 600000;
    limits.maxClients = 8;
    Running run(limits);
    std::vector<int> slow;
    const auto open = [&] {
        const int before = run.server->clientCount();
        slow.push_back(connectLoopback(run.port));
        return eventually([&] { return run.server->clientCount() == before + 1; });
    };
    ASSERT_TRUE(open() && open());
    // The first speaks after the second was accepted, and before any later
    // connection is: the server reads before it accepts.
    ASSERT_TRUE(sendAll(slow[0], "GET /hea"));
    while (slow.size() < 8)
        ASSERT_TRUE(open());

    const auto evicted = [&](int fd) {
        const Received got = readToEnd(fd);
        return got.eof && got.bytes.isEmpty()
            && logText().contains(QStringLiteral("connection 127.0.0.1:%1 evicted: client table full, idle longest\n")
                                      .arg(cvn::sockets::boundPort(fd))
                                      .toUtf8());
    };
    EXPECT_EQ(exchange(run.port, "GET /health HTTP/1.1\r\n\r\n").bytes, healthAnswer);
    EXPECT_TRUE(evicted(slow[1]));
    // Once the answered one has gone, one more slow client fills the table.
    ASSERT_TRUE(eventually([&] { return run.server->clientCount() == 7; }));
    ASSERT_TRUE(open());
    EXPECT_EQ(exchange(run.port, "GET /health HTTP/1.1\r\n\r\n").bytes, healthAnswer);
    EXPECT_TRUE(evicted(slow[0]));
    // The other seven still hold their places.
    EXPECT_TRUE(eventually([&] { return run.server->clientCount() == 7; }));
    for (const int fd : slow)
        cvn::sockets::closeDescriptor(fd);
}

TEST(Server, SilentConnectionMissesTheFirstByteDeadlineWhileASpeakingOneIsServed)
{
    RigBridgeServer::Limits limits;
    limits.firstByteTimeoutMs = 300;
    limits.requestTimeoutMs = 600000;
    Running run(limits);
    const int speaking = connectLoopback(run.port);
    ASSERT_TRUE(sendAll(speaking, "GET /health HTTP/1.1\r\n"));
    const int silent = connectLoopback(run.port);
    const Received dropped = readToEnd(silent);
    EXPECT_TRUE(dropped.eof && dropped.bytes.isEmpty());
    // Past the silent one's deadline, the one that spoke still finishes.
    ASSERT_TRUE(sendAll(speaking, "\r\n"));
    EXPECT_EQ(readToEnd(speaking).bytes, healthAnswer);
    cvn::sockets::closeDescriptor(silent);
    cvn::sockets::closeDescriptor(speaking);
}

TEST(Server, DevCorsEchoesLoopbackOriginsOnly)
{
    {
        // Set before the server starts: its thread reads the variable per answer.
        const cvn::test::ScopedEnvironment devCors("DEV_CORS", "TRUE");
        Running run;
        const auto originFor = [&](const QByteArray& origin) {
            const QByteArray got = exchange(run.port, "GET /health HTTP/1.1\r\n" + origin + "\r\n\r\n").bytes;
            const qsizetype at = got.indexOf("Access-Control-Allow-Origin: ") + 29;
            return got.mid(at, got.indexOf("\r\n", at) - at);
        };
        // The origin cases are RequestTest's; the server reads the variable.
        EXPECT_EQ(originFor("Origin: http://localhost:5173"), "http://localhost:5173");
        EXPECT_EQ(originFor("Origin: http://localhost.evil.com"), website);
    }
    Running plain;
    EXPECT_TRUE(exchange(plain.port, "GET /health HTTP/1.1\r\nOrigin: http://localhost:3000\r\n\r\n")
                    .bytes.contains("Access-Control-Allow-Origin: " + website + "\r\n"));
}

TEST(Server, PortFallbackStatusTextsAndRestart)
{
    {
        RigBridgeServer never(std::vector<uint16_t>{freePort()});
        EXPECT_EQ(never.statusText(), QStringLiteral("Bridge stopped"));
        EXPECT_EQ(never.boundPort(), std::nullopt);
    }
    {
        HeldPort taken;
        const std::unique_ptr<RigBridgeServer> started = startOnFreePort({taken.port()});
        RigBridgeServer& server = *started;
        const uint16_t second = server.boundPort().value_or(0);
        EXPECT_EQ(server.statusText(), QStringLiteral("Listening on 127.0.0.1:%1").arg(second));
        EXPECT_TRUE(logText().contains(QStringLiteral("port %1 in use, trying %2\n").arg(taken.port()).arg(second).toUtf8()));
        server.start();
        EXPECT_EQ(server.boundPort(), second);
        EXPECT_TRUE(logText().contains("start(): already listening - nothing to do\n"));

        server.stop();
        EXPECT_EQ(server.statusText(), QStringLiteral("Bridge stopped"));
        EXPECT_TRUE(exchange(second, "GET /health HTTP/1.1\r\n\r\n").reset);
        server.start();
        EXPECT_EQ(server.statusText(), QStringLiteral("Listening on 127.0.0.1:%1").arg(second));
        EXPECT_EQ(exchange(second, "GET /health HTTP/1.1\r\n\r\n").bytes, healthAnswer);
        server.stop();
    }

    HeldPort a, b, c;
    RigBridgeServer server(std::vector<uint16_t>{a.port(), b.port(), c.port()});
    server.start();
    EXPECT_EQ(server.statusText(),
              QStringLiteral("Bridge unavailable (port bind failed: bind(127.0.0.1:%1) failed: errno 98 (Address already in use))")
                  .arg(c.port()));
    EXPECT_TRUE(logText().contains(QStringLiteral("port %1 in use, no ports left to try\n").arg(c.port()).toUtf8()));

    // The snapshot keeps refreshing without a listener: a later one carries
    // a later time.
    const auto measuredAt = [] {
        const std::optional<QByteArray> snapshot = cvn::RigInspector::cachedSnapshot();
        return snapshot ? snapshot->mid(snapshot->indexOf("\"measured_at\"")) : QByteArray();
    };
    const QByteArray first = measuredAt();
    ASSERT_FALSE(first.isEmpty());
    EXPECT_TRUE(eventually([&] { return measuredAt() > first; }, 15000));
    server.stop();
    EXPECT_EQ(server.statusText(),
              QStringLiteral("Bridge unavailable (port bind failed: bind(127.0.0.1:%1) failed: errno 98 (Address already in use))")
                  .arg(c.port()));
}

TEST(Server, OutOfDescriptorsTheWaitingClientIsServedOnceOneIsFree)
{
    Running run;
    rlimit previous{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &previous), 0);
    // Other threads of this process open and close files too (the log, the
    // snapshot): one that lets a descriptor go at the wrong moment hands it
    // to the server. Then the case is played again.
    bool held = false;
    for (int attempt = 0; attempt < 5 && !held; ++attempt) {
        cvn::bridgeLogFlush();
        // Every descriptor below the limit taken but one, which the client gets.
        const int lowestFree = ::dup(0);
        ASSERT_GE(lowestFree, 0);
        rlimit limited = previous;
        limited.rlim_cur = rlim_t(lowestFree + 64);
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limited), 0);
        std::vector<int> filler{lowestFree};
        for (int fd = ::dup(0); fd >= 0; fd = ::dup(0))
            filler.push_back(fd);
        ::close(filler.back());
        filler.pop_back();
        const int client = connectLoopback(run.port);
        const bool sent = client >= 0 && sendAll(client, "GET /health HTTP/1.1\r\n\r\n");
        // Each status call waits for one turn of the loop: after two, the
        // server has tried to accept at least once.
        run.server->statusText();
        run.server->statusText();
        held = run.server->clientCount() == 0;
        for (const int fd : filler)
            ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &previous);

        ASSERT_TRUE(sent);
        EXPECT_EQ(readToEnd(client).bytes, healthAnswer);
        cvn::sockets::closeDescriptor(client);
    }
    EXPECT_TRUE(held) << "the server never ran out of descriptors";
}

#include "LoopbackClient.h"

#include "bridge/BridgeLog.h"
#include "bridge/RigBridgeServer.h"
#include "bridge/RigInspector.h"
#include "platform/Sockets.h"
#include "support/TempEnv.h"

#include <QFile>
#include <QRegularExpression>

#include <gtest/gtest.h>

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

// A server listening on one port of its own.
struct Running {
    explicit Running(RigBridgeServer::Limits limits = {})
        : port(freePort())
        , server(std::vector<uint16_t>{port}, limits)
    {
        server.start();
        EXPECT_EQ(server.statusText(), QStringLiteral("Listening on 127.0.0.1:%1").arg(port));
    }
    ~Running() { server.stop(); }

    uint16_t port;
    RigBridgeServer server;
};

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

QByteArray bodyOf(const QByteArray& answer)
{
    return answer.mid(answer.indexOf("\r\n\r\n") + 4);
}

} // namespace

TEST(Server, AnswersEveryRouteWithExactBytesThenEndOfStream)
{
    Running run;
    const auto check = [&](const QByteArray& request, const QByteArray& expected, int chunk = 0) {
        const Received got = exchange(run.port, request, chunk);
        EXPECT_EQ(got.bytes, expected) << request.left(60).toStdString();
        EXPECT_TRUE(got.eof);
        EXPECT_FALSE(got.reset);
    };
    check("GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", healthAnswer);
    EXPECT_TRUE(logText().contains("request \"GET /health HTTP/1.1\" -> 200 OK\n"));
    // Only the port the server listens on may follow a loopback host name.
    const QByteArray port = QByteArray::number(run.port);
    check("GET /health HTTP/1.1\r\nHost: LOCALHOST:" + port + "\r\n\r\n", healthAnswer);
    check("GET /health HTTP/1.1\r\nHost: rebound.example:" + port + "\r\n\r\n", empty("HTTP/1.1 403 Forbidden"));
    // Split across many small writes.
    check("GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", healthAnswer, 3);
    check("OPTIONS /whatever HTTP/1.1\r\nOrigin: https://evil.example\r\n\r\n", empty("HTTP/1.1 204 No Content"));
    check("POST /rig HTTP/1.1\r\n\r\n", empty("HTTP/1.1 405 Method Not Allowed", "Allow: GET, OPTIONS\r\n"));
    for (const QByteArray request : {"POST /other HTTP/1.1\r\n\r\n", "GET / HTTP/1.1\r\n\r\n", "GET /rig// HTTP/1.1\r\n\r\n"})
        check(request, empty("HTTP/1.1 404 Not Found"));

    const QByteArray oversized = empty("HTTP/1.1 431 Request Header Fields Too Large");
    check(QByteArray(16385, 'a'), oversized);
    EXPECT_TRUE(logText().contains(
        "request \"(no request line - rejected before parsing)\" -> 431 Request Header Fields Too Large\n"));
    // Far more than is read before answering: the lingering close lets the
    // answer arrive instead of a reset.
    check(QByteArray(100000, 'a'), oversized);

    const Received rig = exchange(run.port, "get /RIG/?x=1 HTTP/1.1\r\n\r\n");
    static const QRegularExpression body(QStringLiteral(
        R"re(^\{"schema":1,"app_version":"[^"]+","os":\{"name":"[^"]+","version":"[0-9.]+","arch":"(x86_64|aarch64)"\},)re"
        R"re("cpu":\{"model":(null|"[^"]*"),"vendor":(null|"GenuineIntel"|"AuthenticAMD"),"cores_physical":(null|[1-9][0-9]*),"cores_logical":(null|[1-9][0-9]*)\},)re"
        R"re("ram":\{"total_gb":[0-9]+\.[0-9],"free_gb":[0-9]+\.[0-9]\},"gpu":\{"name":null,"vendor":null,"vram_total_gb":0,"vram_free_gb":0\},)re"
        R"re("measured_at":"[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z"\}$)re"));
    ASSERT_TRUE(rig.bytes.startsWith("HTTP/1.1 200 OK\r\n" + cors()
                                     + "Content-Type: application/json; charset=utf-8\r\nContent-Length: "));
    const QByteArray rigBody = bodyOf(rig.bytes);
    EXPECT_TRUE(body.match(QString::fromUtf8(rigBody)).hasMatch()) << rigBody.toStdString();
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
    Running run;
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

    const Received dropped = readToEnd(silent, 9000);
    EXPECT_TRUE(dropped.bytes.isEmpty());
    EXPECT_TRUE(dropped.eof);
    EXPECT_TRUE(logText().contains(QStringLiteral("connection 127.0.0.1:%1 timed out before a full request\n")
                                       .arg(cvn::sockets::boundPort(silent))
                                       .toUtf8()));
    for (const int fd : idle) {
        const Received got = readToEnd(fd, 9000);
        EXPECT_TRUE(got.bytes.isEmpty());
        EXPECT_TRUE(got.eof);
        cvn::sockets::closeDescriptor(fd);
    }
    for (const int fd : deaf) {
        EXPECT_TRUE(readToEnd(fd, 9000).bytes.startsWith("HTTP/1.1 200 OK\r\n"));
        cvn::sockets::closeDescriptor(fd);
    }
    cvn::sockets::closeDescriptor(silent);
    EXPECT_TRUE(eventually([&] { return run.server.clientCount() == 0; }));
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
        const int before = run.server.clientCount();
        slow.push_back(connectLoopback(run.port));
        return eventually([&] { return run.server.clientCount() == before + 1; });
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
    ASSERT_TRUE(eventually([&] { return run.server.clientCount() == 7; }));
    ASSERT_TRUE(open());
    EXPECT_EQ(exchange(run.port, "GET /health HTTP/1.1\r\n\r\n").bytes, healthAnswer);
    EXPECT_TRUE(evicted(slow[0]));
    // The other seven still hold their places.
    EXPECT_TRUE(eventually([&] { return run.server.clientCount() == 7; }));
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
        EXPECT_EQ(originFor("ORIGIN:    HTTP://LOCALHOST:5173  "), "HTTP://LOCALHOST:5173");
        EXPECT_EQ(originFor("Origin: http://127.0.0.1:123456"), website);
        EXPECT_EQ(originFor("Origin: http://localhost.evil.com"), website);
        EXPECT_EQ(originFor("Origin: https://localhost"), website);
        EXPECT_EQ(originFor("Origin: http://localhost\n"), website);
        EXPECT_EQ(exchange(run.port, "HELLO\r\nOrigin: http://localhost:3000\r\n\r\n").bytes,
                  empty("HTTP/1.1 400 Bad Request"));
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
        const uint16_t second = freePort();
        RigBridgeServer server(std::vector<uint16_t>{taken.port(), second});
        server.start();
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

    // The snapshot keeps refreshing without a listener: two reads 4.5 s
    // apart carry different times.
    const std::optional<QByteArray> first = cvn::RigInspector::cachedSnapshot();
    ASSERT_TRUE(first);
    std::this_thread::sleep_for(std::chrono::milliseconds(4500));
    const std::optional<QByteArray> later = cvn::RigInspector::cachedSnapshot();
    ASSERT_TRUE(later);
    const auto measuredAt = [](const QByteArray& snapshot) { return snapshot.mid(snapshot.indexOf("\"measured_at\"")); };
    EXPECT_NE(measuredAt(*first), measuredAt(*later));
    server.stop();
    EXPECT_EQ(server.statusText(),
              QStringLiteral("Bridge unavailable (port bind failed: bind(127.0.0.1:%1) failed: errno 98 (Address already in use))")
                  .arg(c.port()));
}

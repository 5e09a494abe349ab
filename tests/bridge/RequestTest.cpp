#include "bridge/RequestAccumulator.h"
#include "bridge/RigInspector.h"

#include <gtest/gtest.h>

using cvn::RequestAccumulator;

namespace {

QByteArray cors(const QByteArray& origin)
{
    return "Access-Control-Allow-Origin: " + origin
        + "\r\nAccess-Control-Allow-Methods: GET, OPTIONS\r\nAccess-Control-Max-Age: 86400\r\n";
}

const QByteArray website = "https://corvanthelis.com";
constexpr uint16_t serverPort = 47821;

QByteArray empty(const QByteArray& statusLine, const QByteArray& origin = website, const QByteArray& extra = {})
{
    return statusLine + "\r\n" + cors(origin) + extra + "Content-Length: 0\r\nConnection: close\r\n\r\n";
}

QByteArray answerTo(const QByteArray& request, bool devCors = false)
{
    RequestAccumulator accumulator(serverPort);
    const std::optional<cvn::BridgeAnswer> answer = accumulator.feed(request, devCors);
    return answer ? answer->bytes : QByteArray("(none)");
}

QByteArray originOf(const QByteArray& headerLine, bool devCors)
{
    const QByteArray bytes = answerTo("OPTIONS / HTTP/1.1\r\n" + headerLine + "\r\n\r\n", devCors);
    const qsizetype at = bytes.indexOf("Access-Control-Allow-Origin: ") + 29;
    return bytes.mid(at, bytes.indexOf("\r\n", at) - at);
}

} // namespace

TEST(Request, RoutesMethodsAndPaths)
{
    const QByteArray notFound = empty("HTTP/1.1 404 Not Found");
    EXPECT_EQ(answerTo("OPTIONS /whatever HTTP/1.1\r\nOrigin: https://evil.example\r\n\r\n"),
              empty("HTTP/1.1 204 No Content"));
    EXPECT_EQ(answerTo("POST /rig HTTP/1.1\r\n\r\n"),
              empty("HTTP/1.1 405 Method Not Allowed", website, "Allow: GET, OPTIONS\r\n"));
    EXPECT_EQ(answerTo("POST /other HTTP/1.1\r\n\r\n"), notFound);
    EXPECT_EQ(answerTo("GET / HTTP/1.1\r\n\r\n"), notFound);
    EXPECT_EQ(answerTo("GET /rig// HTTP/1.1\r\n\r\n"), notFound);
    EXPECT_EQ(answerTo("HELLO\r\nOrigin: http://localhost:3000\r\n\r\n", true), empty("HTTP/1.1 400 Bad Request"));
    EXPECT_EQ(answerTo("\r\n\r\n"), empty("HTTP/1.1 400 Bad Request"));

    const QByteArray health = R"({"ok":true,"app":"corvanthelis","version":"1.0.0","schema":1})";
    EXPECT_EQ(answerTo("GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"),
              "HTTP/1.1 200 OK\r\n" + cors(website)
                  + "Content-Type: application/json; charset=utf-8\r\nContent-Length: 61\r\nConnection: close\r\n\r\n"
                  + health);

    cvn::RigInspector::refreshSnapshot();
    for (const QByteArray request : {"GET /rig/ HTTP/1.1\r\n\r\n", "get /RIG?x=1 HTTP/1.1\r\n\r\n", "get /RIG/?x=1 HTTP/1.1\r\n\r\n"})
        EXPECT_TRUE(answerTo(request).startsWith("HTTP/1.1 200 OK\r\n")) << request.toStdString();
}

TEST(Request, ForeignHostNamesAreForbiddenOnEveryRoute)
{
    // Header lines between the request line and the blank line.
    const QByteArray allowed[] = {"", "Host: 127.0.0.1\r\n", "Host: localhost\r\n", "Host: [::1]\r\n",
                                  "Host: 127.0.0.1:47821\r\n", "HOST:  LocalHost:47821 \r\n", "host:\t[::1]:47821\r\n"};
    const QByteArray refused[] = {"rebound.example", "rebound.example:47821", "127.0.0.1:47822", "localhost:80",
                                  "[::1]:047821", "localhost:", "localhost.rebound.example", "127.0.0.1.nip.io",
                                  "127.0.0.2", "::1", "[::ffff:127.0.0.1]", "\xef\xbd\x8c" "ocalhost", "",
                                  "localhost\r\nHost: rebound.example"};
    const QByteArray forbidden = empty("HTTP/1.1 403 Forbidden");
    for (const QByteArray requestLine : {"GET /health HTTP/1.1", "OPTIONS /rig HTTP/1.1", "GET /nowhere HTTP/1.1"}) {
        for (const QByteArray& headers : allowed) {
            EXPECT_FALSE(answerTo(requestLine + "\r\n" + headers + "\r\n").startsWith("HTTP/1.1 403 "))
                << requestLine.toStdString() << " " << headers.toStdString();
        }
        for (const QByteArray& host : refused) {
            EXPECT_EQ(answerTo(requestLine + "\r\nHost: " + host + "\r\n\r\n"), forbidden)
                << requestLine.toStdString() << " " << host.toStdString();
        }
    }
    // The same CORS headers as any other refusal.
    EXPECT_EQ(answerTo("GET /rig HTTP/1.1\r\nOrigin: http://localhost:3000\r\nHost: rebound.example\r\n\r\n", true),
              empty("HTTP/1.1 403 Forbidden", "http://localhost:3000"));
}

TEST(Request, HeaderLimitAndSplitReads)
{
    RequestAccumulator exact(serverPort);
    EXPECT_FALSE(exact.feed(QByteArray(16384, 'a'), false));
    const auto tooLarge = exact.feed("a", false);
    ASSERT_TRUE(tooLarge);
    EXPECT_EQ(tooLarge->bytes, empty("HTTP/1.1 431 Request Header Fields Too Large"));
    EXPECT_EQ(tooLarge->requestLine, QStringLiteral("(no request line - rejected before parsing)"));
    EXPECT_FALSE(exact.feed("\r\n\r\n", false)); // answered once only

    // The terminator in the read that carries the buffer past the limit
    // still counts: 20,000 bytes in five reads of 4,000.
    QByteArray padded = "GET /health HTTP/1.1\r\n";
    while (padded.size() < 20000 - 4)
        padded += "X-Pad: " + QByteArray(std::min<qsizetype>(100, 20000 - 4 - padded.size() - 9), 'p') + "\r\n";
    padded.resize(20000 - 4, 'p');
    padded += "\r\n\r\n";
    ASSERT_EQ(padded.size(), 20000);
    RequestAccumulator large(serverPort);
    std::optional<cvn::BridgeAnswer> answer;
    for (int i = 0; i < 5 && !answer; ++i)
        answer = large.feed(padded.mid(i * 4000, 4000), false);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);

    // One byte at a time, the terminator straddling reads; bytes after it
    // are ignored.
    RequestAccumulator trickle(serverPort);
    const QByteArray request = "GET /health HTTP/1.1\r\nOrigin: x\r\n\r\nGARBAGE";
    int answers = 0;
    for (const char c : request) {
        if (const auto got = trickle.feed(QByteArrayView(&c, 1), false)) {
            ++answers;
            EXPECT_EQ(got->status, 200);
            EXPECT_EQ(got->requestLine, QStringLiteral("GET /health HTTP/1.1"));
        }
    }
    EXPECT_EQ(answers, 1);
}

TEST(Request, CorsEchoesOnlyExactLoopbackOriginsUnderDevCors)
{
    EXPECT_EQ(originOf("ORIGIN:    HTTP://LOCALHOST:5173  ", true), "HTTP://LOCALHOST:5173");
    EXPECT_EQ(originOf("Origin: http://127.0.0.1:8080", true), "http://127.0.0.1:8080");
    EXPECT_EQ(originOf("Origin: http://localhost", true), "http://localhost");
    EXPECT_EQ(originOf("Origin: http://localhost:3000", false), website);
    EXPECT_EQ(originOf("Origin: " + website, true), website);
    for (const QByteArray rejected : {"http://127.0.0.1:123456", "http://localhost.evil.com", "https://localhost",
                                      "http://localhost\n", "http://localhost:", "http://localhost:3000/",
                                      "http://localhost:\xd9\xa3", "http://user@localhost", ""}) {
        EXPECT_EQ(originOf("Origin: " + rejected, true), website) << rejected.toStdString();
    }
    // A header value never carries a line break or a non-ASCII byte out.
    EXPECT_FALSE(cvn::isDevLoopbackOrigin(u"http://localhost\r\nX-Evil: 1"));
    EXPECT_FALSE(cvn::isDevLoopbackOrigin(u"http://ｌocalhost"));
    EXPECT_FALSE(cvn::isDevLoopbackOrigin(u"http://localhost:１２３"));
    EXPECT_TRUE(cvn::isDevLoopbackOrigin(u"http://LocalHost:1"));
}

TEST(Request, LogTextEscapesControlCharacters)
{
    EXPECT_EQ(cvn::escapeForLog(QStringLiteral("GET /a\nb\r\tc\x01\x7f d")),
              QStringLiteral("GET /a\\nb\\r\\tc\\x01\\x7f d"));
    EXPECT_EQ(cvn::escapeForLog(QStringLiteral("é ok")), QStringLiteral("é ok"));
    // A request line with an invalid byte is logged with U+FFFD, never raw.
    RequestAccumulator accumulator(serverPort);
    const auto answer = accumulator.feed("G\xff" "T /x HTTP/1.1\r\n\r\n", false);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->requestLine, QStringLiteral("G\uFFFDT /x HTTP/1.1"));
    EXPECT_EQ(answer->status, 404);
}

// Request handling under libFuzzer: the input's first byte picks DEV_CORS
// and the read sizes, the rest is what a client sends. Whatever arrives,
// the answer must be well-formed HTTP with a safe CORS header.
#include "bridge/RequestAccumulator.h"

#include <QByteArray>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

[[noreturn]] void fail(const char* why)
{
    // stderr: unbuffered, so the line survives the abort.
    std::fprintf(stderr, "invariant broken: %s\n", why);
    std::abort();
}

void checkAnswer(const cvn::BridgeAnswer& answer, bool devCors)
{
    static const char* const statusLines[] = {
        "HTTP/1.1 200 OK", "HTTP/1.1 204 No Content", "HTTP/1.1 400 Bad Request", "HTTP/1.1 403 Forbidden",
        "HTTP/1.1 404 Not Found", "HTTP/1.1 405 Method Not Allowed",
        "HTTP/1.1 431 Request Header Fields Too Large", "HTTP/1.1 500 Internal Server Error"};
    const QByteArray& bytes = answer.bytes;
    const qsizetype end = bytes.indexOf("\r\n\r\n");
    if (end < 0)
        fail("no end of header");
    const QByteArray header = bytes.first(end + 2);
    const QByteArray body = bytes.sliced(end + 4);
    bool knownStatus = false;
    for (const char* line : statusLines)
        knownStatus = knownStatus || header.startsWith(QByteArray(line) + "\r\n");
    if (!knownStatus)
        fail("unknown status line");
    for (qsizetype i = 0; i < header.size(); ++i) {
        const auto c = static_cast<unsigned char>(header[i]);
        if (c == '\r' && (i + 1 >= header.size() || header[i + 1] != '\n'))
            fail("bare CR in header");
        if (c == '\n' && (i == 0 || header[i - 1] != '\r'))
            fail("bare LF in header");
        if (c != '\r' && c != '\n' && (c < 0x20 || c > 0x7E))
            fail("non-ASCII or control byte in header");
    }
    const qsizetype originAt = header.indexOf("\r\nAccess-Control-Allow-Origin: ");
    if (originAt < 0)
        fail("no CORS header");
    const qsizetype valueAt = originAt + 31;
    const QByteArray origin = header.mid(valueAt, header.indexOf("\r\n", valueAt) - valueAt);
    if (origin != cvn::websiteOrigin
        && !(devCors && cvn::isDevLoopbackOrigin(QString::fromLatin1(origin))))
        fail("CORS origin neither the website nor an allowed loopback origin");
    const QByteArray length = "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n";
    if (!header.contains(length))
        fail("Content-Length differs from the body");
    for (const QChar c : cvn::escapeForLog(answer.requestLine)) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            fail("control character left in the log text");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const bool devCors = data[0] & 1;
    uint32_t sizes = data[1];
    data += 2;
    size -= 2;
    cvn::RequestAccumulator accumulator(47821);
    bool answered = false;
    while (size > 0) {
        // Read sizes from 1 to 4,096, as the server's reads are.
        sizes = sizes * 1103515245u + 12345u;
        const size_t chunk = std::min<size_t>(size, 1 + (sizes >> 8) % 4096);
        const auto answer = accumulator.feed(
            QByteArrayView(reinterpret_cast<const char*>(data), static_cast<qsizetype>(chunk)), devCors);
        if (answer) {
            if (answered)
                fail("answered twice");
            answered = true;
            checkAnswer(*answer, devCors);
        }
        if (accumulator.bufferedBytes() > cvn::RequestAccumulator::headerLimit + 4096)
            fail("buffer past the limit plus one read");
        data += chunk;
        size -= chunk;
    }
    return 0;
}

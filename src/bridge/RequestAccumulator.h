#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <cstdint>
#include <optional>

namespace cvn {

// The bridge's answer to one request, ready to send.
struct BridgeAnswer {
    int status = 0;
    QString reason;
    QString requestLine; // for the log, as received
    QByteArray bytes;    // status line, headers and body
};

// The product website's origin: the default Access-Control-Allow-Origin.
inline constexpr char websiteOrigin[] = "https://corvanthelis.com";

// Collects a client's bytes until the header is complete or too large, then
// produces the answer. No sockets and no clock: the server feeds it what it
// reads.
class RequestAccumulator {
public:
    static constexpr qsizetype headerLimit = 16384;

    // `serverPort` is the port the request arrived on, the only one a Host
    // header may name.
    explicit RequestAccumulator(uint16_t serverPort)
        : m_serverPort(serverPort)
    {
    }

    // Adds received bytes. Returns the answer once the header is complete
    // (bytes after its blank line are ignored) or has passed headerLimit
    // without one (431); nothing while more is needed. `devCors` allows
    // echoing a loopback developer origin. After an answer, further bytes
    // are ignored and nothing more is returned.
    std::optional<BridgeAnswer> feed(QByteArrayView bytes, bool devCors);

    qsizetype bufferedBytes() const { return m_buffer.size(); }

private:
    uint16_t m_serverPort = 0;
    QByteArray m_buffer;
    qsizetype m_searchedUpTo = 0;
    bool m_answered = false;
};

// The answer to a complete header (the text before CR LF CR LF) that
// arrived on `serverPort`.
BridgeAnswer answerHeader(QByteArrayView header, bool devCors, uint16_t serverPort);

// The answer for a header past the size limit.
BridgeAnswer answerOversized();

// True for "http://" + "localhost" or "127.0.0.1" (any case), an optional ":"
// and 1 to 5 ASCII digits, and nothing else.
bool isDevLoopbackOrigin(QStringView origin);

// True for "127.0.0.1", "localhost" or "[::1]" (any case), alone or followed
// by ":" and exactly the decimal `serverPort`. A page whose name was rebound
// to 127.0.0.1 sends its own name here, so only these are answered.
bool isLoopbackHost(QStringView host, uint16_t serverPort);

// Whether the environment variable DEV_CORS, lower-cased, is "true".
bool devCorsEnabled();

// `text` with control characters written as escapes (\n, \r, \t, \xHH), so
// that a request cannot forge lines in the log.
QString escapeForLog(const QString& text);

} // namespace cvn

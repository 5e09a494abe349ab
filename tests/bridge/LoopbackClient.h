#pragma once

#include <QByteArray>

#include <cstdint>

// Plain socket clients for exercising the bridge over 127.0.0.1 only.
namespace cvn::test {

// A listening socket on 127.0.0.1 at a port the system picked; holds the
// port until destroyed.
class HeldPort {
public:
    HeldPort();
    ~HeldPort();
    HeldPort(const HeldPort&) = delete;
    HeldPort& operator=(const HeldPort&) = delete;
    uint16_t port() const { return m_port; }

private:
    int m_fd = -1;
    uint16_t m_port = 0;
};

// A port that was free a moment ago.
uint16_t freePort();

// A connected, blocking client socket; -1 on failure.
int connectLoopback(uint16_t port);

// Sends all of `bytes` on a connected socket (blocking).
bool sendAll(int fd, const QByteArray& bytes);

struct Received {
    QByteArray bytes;
    bool eof = false;   // orderly end of stream
    bool reset = false; // ECONNRESET or another receive error
};

// Reads until end of stream, an error or `timeoutMs`.
Received readToEnd(int fd, int timeoutMs = 8000);

// Connects, sends `request` in pieces of `chunkSize` bytes (all at once when
// 0) while reading whatever arrives, and reads to the end.
Received exchange(uint16_t port, const QByteArray& request, int chunkSize = 0, int timeoutMs = 8000);

} // namespace cvn::test

#pragma once

#include <QString>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace cvn {

// The loopback HTTP/1.1 server that lets the product website, open in a
// browser on this machine, read the hardware snapshot. It listens on
// 127.0.0.1 only, answers GET /health, GET /rig and CORS pre-flights, one
// request per connection, and then closes the connection. A Host header that
// names anything but this machine's loopback names and port is refused, so a
// page whose name was rebound to 127.0.0.1 cannot read the snapshot.
//
// Threads: the server owns one thread that runs a poll loop over the
// listening socket and its clients; all of its state lives there. start()
// returns at once; stop(), boundPort() and statusText() wait for the loop
// (and run inline when called on it).
//
// Slow or silent clients never hold up the others: a connection must send
// its first byte within a short deadline and its whole request within an
// absolute one from acceptance, however it trickles; sending and the
// lingering close have deadlines of their own. When the client table is
// full, a new connection takes the place of the one idle longest (no byte
// read or written), so a flood of idle connections cannot keep a real
// request waiting in the listen queue.
class RigBridgeServer {
public:
    static constexpr std::array<uint16_t, 3> candidatePorts{47821, 47822, 47823};
    static constexpr int readSize = 4096;
    static constexpr int lingerBytes = 128 * 1024;
    // 16 overflows under a few dozen parallel clients, and an overflowing
    // queue on Linux ends some connections with a reset or drops their
    // connection request, which the client retries only a second later. A
    // flood of slow connections must not fill it ahead of a real request.
    static constexpr int listenBacklog = 1024;
    static constexpr int acceptPauseMs = 100;

    // Per-connection deadlines, counted from acceptance (the request ones)
    // or from the answer (sending, then lingering), and the table size.
    // Tests shorten or lengthen them; the defaults are for the application.
    struct Limits {
        // A browser sends its request as soon as it connects.
        int firstByteTimeoutMs = 1000;
        int requestTimeoutMs = 5000;
        int sendTimeoutMs = 2000;
        int lingerTimeoutMs = 1000;
        int maxClients = 256;
    };

    // The process's server, on candidatePorts; made on first use.
    static RigBridgeServer& shared();

    // A server trying `ports` in order (tests and the headless tool pass
    // their own).
    explicit RigBridgeServer(std::vector<uint16_t> ports = {candidatePorts.begin(), candidatePorts.end()});
    RigBridgeServer(std::vector<uint16_t> ports, Limits limits);
    ~RigBridgeServer(); // stops and joins the loop thread

    RigBridgeServer(const RigBridgeServer&) = delete;
    RigBridgeServer& operator=(const RigBridgeServer&) = delete;

    // Starts the snapshot refresh and binds the first free port, on the
    // loop thread. Logs and does nothing more while already listening.
    void start();

    // Closes the listener and every connection, then stops the snapshot
    // refresh; returns when both are done.
    void stop();

    std::optional<uint16_t> boundPort();

    // "Listening on 127.0.0.1:<port>", "Bridge unavailable (<last error>)"
    // or "Bridge stopped".
    QString statusText();

    // Open client connections (for tests and diagnostics).
    int clientCount();

    struct Loop;

private:
    std::unique_ptr<Loop> m_loop;
};

} // namespace cvn

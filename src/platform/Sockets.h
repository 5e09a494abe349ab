#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>
#include <vector>

// Thin wrappers over the BSD socket calls the loopback bridge needs, so that
// the server's own code stays free of system headers. Every call returns the
// system's errno (0 on success) instead of leaving it in a global, because
// the bridge logs it after other calls have run.
namespace cvn::sockets {

// "errno N (message)", the message in English whatever the process locale.
QString errnoText(int error);

bool isInterrupted(int error);     // EINTR
bool isWouldBlock(int error);      // EAGAIN / EWOULDBLOCK
bool isAddressInUse(int error);    // EADDRINUSE
bool isOutOfDescriptors(int error); // EMFILE, ENFILE, ENOBUFS, ENOMEM
int wouldBlockError();             // EAGAIN, for reporting a stalled send

struct Opened {
    int fd = -1;
    int error = 0;
};

// An IPv4 stream socket, close-on-exec.
Opened openTcpSocket();

int setReuseAddress(int fd);
int setNonBlocking(int fd);

// Binds to 127.0.0.1:port.
int bindLoopback(int fd, uint16_t port);

// True when getsockname reports an IPv4 address of 127.0.0.1.
bool isBoundToLoopback(int fd);

// The port getsockname reports; 0 when it cannot say.
uint16_t boundPort(int fd);

int listenOn(int fd, int backlog);

struct Accepted {
    int fd = -1;
    int error = 0;
    QString peer; // "a.b.c.d:port", "?" for an address that cannot be shown
};

// accept4 with the new socket non-blocking and close-on-exec.
Accepted acceptClient(int listenFd);

struct Transfer {
    std::ptrdiff_t bytes = 0; // < 0 on failure
    int error = 0;
};

Transfer receive(int fd, char* into, std::size_t capacity);

// Never raises SIGPIPE for a peer that has gone.
Transfer sendSome(int fd, const char* from, std::size_t size);

void shutdownWrite(int fd);
void closeDescriptor(int fd);

// One entry of a poll set.
struct PollEntry {
    int fd = -1;
    bool wantRead = false;
    bool wantWrite = false;
    bool readable = false; // also set for errors and hang-ups
    bool writable = false;
};

// Waits for `entries` up to `timeoutMs` (-1: no limit). Returns the error of
// the call, 0 when it returned normally.
int pollEntries(std::vector<PollEntry>& entries, int timeoutMs);

// Ends the reading side of a connection: a read blocked on it, or a poll
// for reading, returns at once, while writes still go out.
void shutdownRead(int fd);
// Ends both directions of a connection, whichever thread is reading it.
void shutdownBoth(int fd);

// What the peer of a connected socket has done, without taking any of what
// it sent. A peer that has sent its end may still be reading (a half-close)
// or may have closed: only a write tells, and the reset it draws makes the
// peer `gone`.
enum class PeerState { open, doneSending, gone };
PeerState peerState(int fd);

// Raises the process's soft limit of open descriptors to its hard limit,
// so that a server keeps as many connections as the system lets it.
// Returns the soft limit then in force (0 when it cannot be read) and, in
// `before`, the one before.
long raiseDescriptorLimit(long* before = nullptr);

// A descriptor another thread can signal to wake a poll loop.
class Wakeup {
public:
    Wakeup();
    ~Wakeup();
    Wakeup(const Wakeup&) = delete;
    Wakeup& operator=(const Wakeup&) = delete;

    int fd() const { return m_fd; }
    void signal();
    void drain();

private:
    int m_fd = -1;
};

} // namespace cvn::sockets

#pragma once

// Another program writing a model file, as a child process: tests of what
// a lease does need a writer the kernel holds back, which a thread of the
// test's own process would not show apart from the test's own descriptors.

#include <QByteArray>
#include <QString>

#include <sys/types.h>

namespace cvn::test {

class ChildWriter {
public:
    // Opens `path` with `flags` (O_WRONLY and what else), in a child of its
    // own. With no `bytes`, it holds the file open until close(); else it
    // writes them from the start of the file in `chunks` pieces, `pauseMs`
    // apart, and closes it.
    ChildWriter(const QString& path, int flags, const QByteArray& bytes = {}, int chunks = 1, int pauseMs = 0);
    ~ChildWriter(); // close(), then waits for the child
    ChildWriter(const ChildWriter&) = delete;
    ChildWriter& operator=(const ChildWriter&) = delete;

    // True once the child's open returned (a lease being given up holds it
    // back), within `timeoutMs`. With `pump`, the Qt event loop runs
    // meanwhile; without, this thread does nothing else.
    bool opened(int timeoutMs, bool pump = true);
    // A holding child closes the file and exits.
    void close();
    // True once the child exited; does not wait.
    bool finished();

private:
    pid_t m_child = -1;
    int m_report = -1; // read end: a byte once the open returned
    int m_go = -1; // write end: a byte lets a holding child go
    bool m_reaped = false;
    bool m_holding = false; // it waits for close()
};

// True while this process holds a lease on the file at `path` (/proc/locks).
bool leaseHeldOn(const QString& path);

} // namespace cvn::test

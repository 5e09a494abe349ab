#pragma once

// A read lease on one file, held for as long as the file is mapped. Another
// process that opens the file for writing, or cuts it short, is held back by
// the kernel until the lease is released, and we are told first: the holder
// lets go of its mapping before the writer goes on, so no page is pulled from
// under a reader (which would end the process with a bus error).
//
// The kernel holds such a writer for at most /proc/sys/fs/lease-break-time
// seconds (45 by default), then breaks the lease by force and lets it go on.
// So a holder releases as soon as it is told, and never reads the mapping
// again once isBroken() says so.
//
// Where no lease can be taken (a file system without leases, a file of
// another owner without the right to lease it, another system), take()
// gives nothing and a writer is not held. A file that some program has open
// for writing gets none either, but only until that program closes it:
// take() says so (Refusal::beingWritten), so that a caller can wait for
// the finished file rather than read a half-written one.
//
// Breaks are heard on a thread of their own, which runs the break
// handlers: a holder lets go within moments of a break whatever the main
// thread is doing, and the writer is held no longer than that.
//
// Threads: everything on any thread. A break handler runs on the break
// thread; it must not wait for the main thread. One owner per lease (held
// by unique_ptr).

#include <QString>

#include <functional>
#include <memory>

namespace cvn {

class FileLease {
public:
    // Starts watching for breaks: a signal handler that only writes to a
    // pipe, which the break thread reads. Later calls do nothing. Until then
    // take() gives nothing, since a break nobody hears would hold the writer
    // for the whole wait.
    static void watchBreaks();

    // Why take() gave nothing.
    enum class Refusal {
        beingWritten, // some program has the file open for writing; may pass
        impossible, // no lease here for a lasting cause, or no such file
    };

    // A read lease on the file at `path` (links followed) through a
    // read-only descriptor of its own, not inherited across exec; nothing
    // when none can be taken, and then why in `refusal` when given.
    static std::unique_ptr<FileLease> take(const QString& path, Refusal* refusal = nullptr);

    ~FileLease(); // releases
    FileLease(const FileLease&) = delete;
    FileLease& operator=(const FileLease&) = delete;

    // True once another process asked for the file, whether its break is
    // pending or the kernel already broke it by force; stays true. One
    // fcntl until then.
    bool isBroken() const;

    // `handler` runs once, on the break thread, after the lease breaks
    // (soon, when it already has); replaces the handler set before. A
    // released lease runs none.
    void onBreak(std::function<void()> handler);

    // Gives the lease up and closes the descriptor; the writer held, if any,
    // goes on. Repeated calls do nothing.
    void release();

    struct State;

private:
    explicit FileLease(std::shared_ptr<State> state);
    std::shared_ptr<State> m_state;
};

} // namespace cvn

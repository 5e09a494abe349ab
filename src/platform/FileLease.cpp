#include "platform/FileLease.h"

#include "platform/NativePath.h"
#include "platform/SignalWake.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cvn {

struct FileLease::State {
    std::mutex lock; // guards the fields below
    int fd = -1; // -1 once released
    bool broken = false;
    std::function<void()> handler;

    // Under `lock`. The kernel reports a lease whose break is pending, or
    // that it broke by force, as no lease.
    bool checkBroken()
    {
#ifdef F_GETLEASE
        if (!broken && fd >= 0 && ::fcntl(fd, F_GETLEASE) != F_RDLCK)
            broken = true;
#endif
        return broken;
    }
};

namespace {

std::atomic<bool> watching{false};

// Never destroyed: a lease may be released while the process exits.
struct Registry {
    std::mutex lock;
    std::vector<std::shared_ptr<FileLease::State>> leases;
};

Registry& registry()
{
    static Registry* r = new Registry;
    return *r;
}

// Runs the lease's handler once when the lease is held, broken, and has one.
// Break thread.
void tellIfBroken(const std::shared_ptr<FileLease::State>& state)
{
    std::function<void()> handler;
    {
        std::lock_guard guard(state->lock);
        if (state->fd < 0 || !state->handler || !state->checkBroken())
            return;
        handler = std::exchange(state->handler, {});
    }
    handler();
}

// Every wake-up looks at every lease (there are one or two): the signal
// queue may overflow into a plain SIGIO, and a full pipe drops a byte, so
// which lease woke us is not worth carrying.
void tellBrokenLeases()
{
    std::vector<std::shared_ptr<FileLease::State>> leases;
    {
        std::lock_guard guard(registry().lock);
        leases = registry().leases;
    }
    for (const auto& state : leases)
        tellIfBroken(state);
}

#ifdef F_SETLEASE
// A real-time signal of our own queues one delivery per break and leaves
// SIGIO's usual meaning alone.
int leaseSignal()
{
    return SIGRTMIN + 6;
}
#endif

} // namespace

FileLease::FileLease(std::shared_ptr<State> state)
    : m_state(std::move(state))
{
}

FileLease::~FileLease()
{
    release();
}

void FileLease::watchBreaks()
{
#ifdef F_SETLEASE
    // SIGIO is what the kernel sends instead when the real-time queue is
    // full; left at its default it would end the process.
    static std::mutex starting;
    std::lock_guard guard(starting);
    if (!watching)
        watching = wakeThreadOnSignals({leaseSignal(), SIGIO}, tellBrokenLeases);
#endif
}

std::unique_ptr<FileLease> FileLease::take(const QString& path, Refusal* refusal)
{
    Refusal ignored;
    Refusal& why = refusal ? *refusal : ignored;
    why = Refusal::impossible;
#ifdef F_SETLEASE
    if (!watching)
        return nullptr;
    // Non-blocking, so that a FIFO put under the name cannot stall us.
    const int fd = ::open(nativePath(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return nullptr;
    struct stat st {};
    // The break reaches us as leaseSignal(); the lease fails with EAGAIN
    // while anyone has the file open for writing (which passes), with
    // EACCES on a file of another owner without CAP_LEASE, and with EINVAL
    // where the file system has no leases (which last).
    const bool leased = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::fcntl(fd, F_SETSIG, leaseSignal()) == 0
        && ::fcntl(fd, F_SETLEASE, F_RDLCK) == 0;
    if (!leased) {
        if (S_ISREG(st.st_mode) && errno == EAGAIN)
            why = Refusal::beingWritten;
        ::close(fd);
        return nullptr;
    }
    auto state = std::make_shared<State>();
    state->fd = fd;
    {
        std::lock_guard guard(registry().lock);
        registry().leases.push_back(state);
    }
    return std::unique_ptr<FileLease>(new FileLease(std::move(state)));
#else
    Q_UNUSED(path);
    return nullptr;
#endif
}

bool FileLease::isBroken() const
{
    std::lock_guard guard(m_state->lock);
    return m_state->checkBroken();
}

void FileLease::onBreak(std::function<void()> handler)
{
    [[maybe_unused]] bool broken = false;
    {
        std::lock_guard guard(m_state->lock);
        m_state->handler = std::move(handler);
        broken = m_state->checkBroken();
    }
    // A break that came first found no handler to run.
#ifdef F_SETLEASE
    if (broken)
        wakeAsIf(leaseSignal());
#endif
}

void FileLease::release()
{
    {
        std::lock_guard guard(m_state->lock);
        if (m_state->fd < 0)
            return;
        m_state->checkBroken();
        // Given up by name first: a child forked meanwhile shares the
        // descriptor, and closing ours alone would leave the lease held.
#ifdef F_SETLEASE
        ::fcntl(m_state->fd, F_SETLEASE, F_UNLCK);
#endif
        ::close(m_state->fd);
        m_state->fd = -1;
        m_state->handler = {};
    }
    std::lock_guard guard(registry().lock);
    std::erase(registry().leases, m_state);
}

} // namespace cvn

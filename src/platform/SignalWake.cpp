#include "platform/SignalWake.h"

#include "platform/MainThread.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace cvn {

namespace {

// The pipe each signal wakes, by signal number; written before its handler
// is installed and never changed after, so the handler may read it.
std::atomic<int> wakeFd[NSIG];
std::once_flag wakeFdsSet;

void onSignal(int signal)
{
    const int saved = errno;
    wakeAsIf(signal);
    errno = saved;
}

// Both ends non-blocking: a handler never waits, and a reader drains.
bool makePipe(int ends[2])
{
    std::call_once(wakeFdsSet, [] {
        for (std::atomic<int>& fd : wakeFd)
            fd = -1;
    });
    return ::pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0;
}

void drain(int readEnd)
{
    char bytes[64];
    while (::read(readEnd, bytes, sizeof bytes) > 0) {
    }
}

void install(std::initializer_list<int> signalNumbers, int writeEnd)
{
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : signalNumbers) {
        wakeFd[signal] = writeEnd;
        ::sigaction(signal, &action, nullptr);
    }
}

} // namespace

void wakeAsIf(int signalNumber)
{
    if (signalNumber <= 0 || signalNumber >= NSIG)
        return;
    const int fd = wakeFd[signalNumber].load();
    if (fd < 0)
        return;
    const char byte = 1;
    // Async-signal-safe; a full pipe already holds a pending wake-up.
    [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
}

bool wakeOnSignals(std::initializer_list<int> signalNumbers, std::function<void()> onWake)
{
    int wakePipe[2];
    if (!isMainThread() || !makePipe(wakePipe))
        return false;
    auto* notifier = new QSocketNotifier(wakePipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier,
                     [readEnd = wakePipe[0], onWake = std::move(onWake)] {
                         drain(readEnd);
                         onWake();
                     });
    install(signalNumbers, wakePipe[1]);
    return true;
}

bool wakeThreadOnSignals(std::initializer_list<int> signalNumbers, std::function<void()> onWake)
{
    int wakePipe[2];
    if (!makePipe(wakePipe))
        return false;
    try {
        std::thread([readEnd = wakePipe[0], onWake = std::move(onWake)] {
            for (;;) {
                pollfd ready{readEnd, POLLIN, 0};
                if (::poll(&ready, 1, -1) < 0 && errno != EINTR)
                    return;
                drain(readEnd);
                onWake();
            }
        }).detach();
    } catch (const std::system_error&) {
        ::close(wakePipe[0]);
        ::close(wakePipe[1]);
        return false;
    }
    install(signalNumbers, wakePipe[1]);
    return true;
}

} // namespace cvn

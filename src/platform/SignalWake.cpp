#include "platform/SignalWake.h"

#include "platform/MainThread.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace cvn {

namespace {

// The pipe each signal wakes, by signal number; written before its handler
// is installed and never changed after, so the handler may read it.
int wakeFd[NSIG];
bool wakeFdsSet = false;

void onSignal(int signal)
{
    const int saved = errno;
    const char byte = 1;
    // Async-signal-safe; a full pipe already holds a pending wake-up.
    [[maybe_unused]] const ssize_t written = ::write(wakeFd[signal], &byte, 1);
    errno = saved;
}

} // namespace

bool wakeOnSignals(std::initializer_list<int> signalNumbers, std::function<void()> onWake)
{
    int wakePipe[2];
    if (!isMainThread() || ::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    if (!wakeFdsSet) {
        for (int& fd : wakeFd)
            fd = -1;
        wakeFdsSet = true;
    }
    auto* notifier = new QSocketNotifier(wakePipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier,
                     [readEnd = wakePipe[0], onWake = std::move(onWake)] {
                         char drain[64];
                         while (::read(readEnd, drain, sizeof drain) > 0) {
                         }
                         onWake();
                     });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : signalNumbers) {
        wakeFd[signal] = wakePipe[1];
        ::sigaction(signal, &action, nullptr);
    }
    return true;
}

} // namespace cvn

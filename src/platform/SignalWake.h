#pragma once

#include <functional>
#include <initializer_list>

namespace cvn {

// Runs `onWake` on the main thread's event loop after one or more of
// `signalNumbers` arrived. The handler only writes a byte to a pipe that a
// socket notifier of the main thread reads: in a threaded process a signal
// lands on any thread, and hardly anything is safe inside its handler.
// Several signals that arrive before the loop reads give one wake-up.
// Interrupted system calls are restarted. Call on the main thread, once the
// application object exists; false (and nothing installed) otherwise, or
// when the pipe cannot be made.
bool wakeOnSignals(std::initializer_list<int> signalNumbers, std::function<void()> onWake);

// The same, but `onWake` runs on a thread of its own that does nothing else,
// so it is heard whatever the main thread is doing. Any thread, any time;
// the thread lives until the process ends. False when the pipe or the
// thread cannot be made.
bool wakeThreadOnSignals(std::initializer_list<int> signalNumbers, std::function<void()> onWake);

// Wakes whoever waits for `signalNumber`, as its arrival would. Any thread;
// nothing when no one waits for it.
void wakeAsIf(int signalNumber);

} // namespace cvn

#pragma once

#include <functional>

namespace cvn {

// Posts `fn` to the Qt event loop of the main thread; it runs after the
// current event. Safe from any thread. Without a Qt application object the
// call is dropped (there is no main loop to run it).
void runOnMain(std::function<void()> fn);

// True on the thread of the Qt application object.
bool isMainThread();

// Runs `fn` on the shared pool of background threads (work that needs no
// order of its own: model loads, file reads).
void runInBackground(std::function<void()> fn);

} // namespace cvn

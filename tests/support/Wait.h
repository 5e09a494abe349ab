#pragma once

#include <functional>

namespace cvn::test {

// Runs the Qt event loop until `done` returns true or `timeoutMs` passes.
// Returns the last value of `done`.
bool waitUntil(const std::function<bool()>& done, int timeoutMs = 5000);

} // namespace cvn::test

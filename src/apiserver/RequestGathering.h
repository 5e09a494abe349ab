#pragma once

// How much of an HTTP request has come, judged from its bytes alone, so
// that a connection waits for its client without holding a thread.

#include <cstddef>
#include <string_view>

namespace cvn::api {

enum class Gathered {
    more,     // the request has not come whole
    whole,    // its head, and its body by length or chunks, are all here
    handOver, // a reader must take it as it is: the client waits for an
              // answer before sending the rest (Expect), the head or body is
              // malformed or past its bounds, or more is gathered than a
              // waiting connection may keep
};

// The most a connection keeps of a request before a reader takes it.
constexpr std::size_t kMostGathered = 64 * 1024;

// `bytes` from a request's first byte; `maxBody`, the largest body allowed.
Gathered gathered(std::string_view bytes, std::size_t maxBody);

} // namespace cvn::api

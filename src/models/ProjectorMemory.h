#pragma once

#include <QString>

#include <cstdint>
#include <functional>
#include <stdexcept>

namespace cvn {

// What a vision projector takes beside its model once loaded: its weights
// and the compute buffer of one image's encode. `measured` is false for a
// file that could not be measured, whose figure is then its size plus
// projectorMarginMb (a margin for the encode's buffer, which on the larger
// encoders is most of it).
struct ProjectorMemory {
    int64_t bytes = 0;
    bool measured = false;
    friend bool operator==(const ProjectorMemory&, const ProjectorMemory&) = default;
};
inline constexpr int64_t projectorMarginMb = 1024;

// The projector at `path` as llama.cpp's image library measures it: the
// encoder's graph is built and sized without the weights being read, and
// with flash attention off, the larger of the two figures. Measured once per
// version of the file (FileIdentity); a damaged file, one that is no
// projector or one whose tensors do not fit the encoder's shapes, is never
// trusted to the library's checks alone (a failed check there ends the
// process) and falls back to the size estimate. No file: 0 bytes.
// Any thread; a call waits while another measures.
ProjectorMemory projectorMemory(const QString& path);
// The same in MB, rounded up.
int64_t projectorMemoryMb(const QString& path);

// What a failed check inside ggml throws on a thread inside
// withGgmlChecksThrown; its text is ggml's message.
struct GgmlCheckFailed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Runs `fn` on this thread with ggml's failed checks (GGML_ASSERT, GGML_ABORT)
// thrown as GgmlCheckFailed rather than ending the process. Meant for the
// calls into llama.cpp's image library whose every frame between the check
// and its own catch (or ours) unwinds cleanly, e.g. opening a projector
// whose device buffer the driver refuses. Another thread's failed check
// ends the process as before. Nests; a throw from `fn` passes through. The
// process's abort callback is ours while any thread is inside, the one
// before it again once none is.
void withGgmlChecksThrown(const std::function<void()>& fn);

} // namespace cvn

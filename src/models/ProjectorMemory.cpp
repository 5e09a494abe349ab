#include "models/ProjectorMemory.h"

#include "platform/FileIdentity.h"

#include <ggml.h>
#include <mtmd-helper.h>
#include <mtmd.h>

#include <QFile>
#include <QHash>

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <stdexcept>

namespace cvn {

namespace {

constexpr int64_t kBytesPerMb = 1024 * 1024;

// A failed check inside ggml ends the process through its abort callback.
// While a thread is inside withGgmlChecksThrown, the callback throws instead:
// the throw unwinds through ggml's C frames (built with unwind tables, as
// x86-64 and arm64 are by default) into mtmd's own catch, which turns it
// into the empty answer of a file it could not read. Any other thread's
// failure goes to the callback that was there before, or ends the process
// as ggml would.
thread_local int t_checksThrown = 0;
std::mutex g_abortLock;
int g_threadsInside = 0; // guarded by g_abortLock
std::atomic<ggml_abort_callback_t> g_previousAbort{nullptr};

void throwOnThisThread(const char* message)
{
    if (t_checksThrown > 0)
        throw GgmlCheckFailed(message ? message : "ggml check failed");
    if (const ggml_abort_callback_t previous = g_previousAbort.load())
        previous(message);
    else
        std::fprintf(stderr, "%s\n", message ? message : "ggml check failed");
}

void quiet(ggml_log_level, const char*, void*) {}

std::optional<int64_t> measureProjector(const QString& path)
{
    mtmd_context_params params = mtmd_context_params_default();
    params.use_gpu = false;
    params.print_timings = false;
    // The "warm-up" is what sizes the encode's buffer; without weights
    // read, it reserves and computes nothing.
    params.warmup = true;
    params.n_threads = 1;
    // Flash attention off needs the larger buffer; the encode may run
    // either way, so the estimate takes the larger.
    params.flash_attn_type = LLAMA_FLASH_ATTN_TYPE_DISABLED;
    const QByteArray file = QFile::encodeName(path);

    mtmd_helper_log_set(quiet, nullptr);
    std::map<ggml_backend_dev_t, size_t> usage;
    try {
        withGgmlChecksThrown([&] { usage = mtmd_get_memory_usage(file.constData(), params); });
    } catch (const std::exception&) {
        usage.clear();
    }
    if (usage.empty())
        return std::nullopt;
    int64_t total = 0;
    for (const auto& [device, bytes] : usage)
        total += int64_t(bytes);
    return total;
}

} // namespace

void withGgmlChecksThrown(const std::function<void()>& fn)
{
    {
        const std::lock_guard guard(g_abortLock);
        if (g_threadsInside++ == 0)
            g_previousAbort = ggml_set_abort_callback(throwOnThisThread);
    }
    struct Leave {
        ~Leave()
        {
            --t_checksThrown;
            const std::lock_guard guard(g_abortLock);
            if (--g_threadsInside == 0)
                ggml_set_abort_callback(g_previousAbort.exchange(nullptr));
        }
    } leave;
    ++t_checksThrown;
    fn();
}

ProjectorMemory projectorMemory(const QString& path)
{
    const std::optional<FileIdentity> identity = FileIdentity::of(path);
    if (!identity)
        return {};
    // One measurement at a time: the abort callback is the process's own,
    // and a second caller for the same file takes the first one's answer.
    static std::mutex lock;
    static QHash<QString, std::pair<FileIdentity, ProjectorMemory>> known;
    const std::lock_guard guard(lock);
    const auto found = known.constFind(path);
    if (found != known.constEnd() && found->first == *identity)
        return found->second;
    ProjectorMemory memory;
    if (const std::optional<int64_t> bytes = measureProjector(path))
        memory = {*bytes, true};
    else
        memory = {identity->size + projectorMarginMb * kBytesPerMb, false};
    known.insert(path, {*identity, memory});
    return memory;
}

int64_t projectorMemoryMb(const QString& path)
{
    const int64_t bytes = projectorMemory(path).bytes;
    return (bytes + kBytesPerMb - 1) / kBytesPerMb;
}

} // namespace cvn

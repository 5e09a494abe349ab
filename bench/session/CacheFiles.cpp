// --cache-files: what the reply cache's folder costs a reply as it fills.
// A short reply's first token is timed in a chat of a few hundred tokens,
// first with no entry files of other models in the cache folder, then with
// N of them, written as another model's entries would be; each condition has
// a session of its own, started once its cache has read the folder.
#include "CacheModes.h"

#include "BenchTiming.h"
#include "Conversation.h"
#include "engine/LlamaSession.h"
#include "engine/PromptCache.h"
#include "engine/PromptStore.h"
#include "models/ModelStore.h"

#include <QDir>
#include <QStandardPaths>

#include <cstdio>
#include <memory>
#include <vector>

namespace cvn::bench {
namespace {

constexpr int kReplies = 9; // timed in each condition; the median counts
constexpr int64_t kHistory = 400;
constexpr size_t kEntryState = 4096; // bytes of each entry's state
constexpr int32_t kEntryTokens = 64;

// `count` entries of another model, as the folder holds them.
void fillFolder(const QString& folder, long count)
{
    PromptStore other(folder);
    other.setMemoryBudget(0);
    other.setDiskBudget(int64_t(count + 1) * PromptStore::fileBytes(kEntryTokens, kEntryState));
    const PromptIdentity identity{FileIdentity{7, 7, 7, 7, 7}, 4096, 1, 1};
    std::vector<int32_t> tokens(kEntryTokens);
    for (long i = 0; i < count; ++i) {
        for (int32_t t = 0; t < kEntryTokens; ++t)
            tokens[size_t(t)] = int32_t(i) * kEntryTokens + t;
        other.save(identity, tokens, tokens.size(), kEntryState, [i](uint8_t* data, size_t size) {
            std::fill(data, data + size, uint8_t(i));
            return true;
        });
    }
    other.flush();
}

// The median first token of kReplies short replies in one chat; none (said
// on stderr) when a reply gave no text.
std::optional<double> timeReplies(ModelStore& store, const ModelInfo& info, long threads)
{
    LlamaSession session(&store);
    session.promptCache().store()->flush(); // its first look at the folder
    if (!loadWithThreads(session, info, threads))
        return std::nullopt;
    session.setPieceInterval(std::chrono::milliseconds(0));
    uint32_t state = 1;
    session.replaceTurns(fillerChat(session, state, kHistory));
    std::vector<double> times;
    for (int r = 0; r <= kReplies; ++r) {
        const std::optional<double> ms = sendAndTime(session, filler(state, 12));
        if (!ms) {
            std::fprintf(stderr, "cvn-bench-session: a reply gave no text; nothing to time\n");
            return std::nullopt;
        }
        // The reply's own save is made and written before the next one.
        session.model()->queue().sync([] {});
        session.promptCache().store()->flush();
        if (r > 0) // the first decodes the whole chat
            times.push_back(*ms);
    }
    const int64_t scans = session.promptCache().store()->folderScans();
    const double middle = median(times);
    std::printf("first token %.1f ms (median of %d replies), %lld reads of the folder\n", middle, kReplies,
                (long long)scans);
    std::fflush(stdout);
    return middle;
}

} // namespace

int runCacheFiles(ModelStore& store, const ModelInfo& info, long threads, long files)
{
    // PromptCache's folder, under the scratch XDG_CACHE_HOME.
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation)
                           + QStringLiteral("/corvanthelis/decoded");
    QDir(folder).removeRecursively();
    const QtMessageHandler previous = qInstallMessageHandler(keepPromptLine);
    std::printf("with no cache files: ");
    const std::optional<double> none = timeReplies(store, info, threads);
    if (!none) {
        qInstallMessageHandler(previous);
        return 1;
    }
    QDir(folder).removeRecursively();
    fillFolder(folder, files);
    const auto held = QDir(folder).entryList(QDir::Files).size();
    std::printf("with %lld cache files: ", (long long)held);
    const std::optional<double> with = timeReplies(store, info, threads);
    qInstallMessageHandler(previous);
    QDir(folder).removeRecursively();
    if (!with)
        return 1;
    std::printf("first token with %ld cache files/with none: %.2f\n", files, *with / *none);
    std::fflush(stdout);
    return 0;
}

} // namespace cvn::bench

// Each mode times the first token of a chat's next reply through the session
// ("kept") against the same prompt decoded in full in an emptied context of
// a second copy of the model ("full"), in the situation the mode sets up,
// and then what the reply cache holds.
#include "CacheModes.h"

#include "BenchTiming.h"
#include "Conversation.h"
#include "engine/LlamaSession.h"
#include "engine/PromptCache.h"
#include "engine/ServedRequest.h"
#include "models/ModelStore.h"

#include <QCoreApplication>

#include <cstdio>
#include <memory>
#include <mutex>

namespace cvn::bench {
namespace {

// Tokens of another program's request in --after-request.
constexpr int64_t kRequestTokens = 1000;
// Replies in --switch, the chats answered in turn.
constexpr int kSwitchReplies = 10;

struct Timed {
    double keptMs = 0;
    double fullMs = 0;
    int64_t tokens = 0;
    QString promptLine;
    double ratio() const { return fullMs > 0 ? keptMs / fullMs : 0; }
};

class Bench {
public:
    explicit Bench(std::shared_ptr<LlamaModel> full) : m_full(std::move(full)) {}

    // Sees the prompts `session` renders, for the full decode.
    void watch(LlamaSession& session)
    {
        session.setPieceInterval(std::chrono::milliseconds(0));
        session.setPromptObserver([this](const QString& text) { m_prompt = text.toStdString(); });
    }

    // One reply to `text`, timed to its first token; with `againstFull`, the
    // same prompt is then decoded in full. None (said on stderr) when the
    // reply gave no text.
    std::optional<Timed> reply(LlamaSession& session, const QString& text, bool againstFull)
    {
        const std::optional<double> kept = sendAndTime(session, text);
        if (!kept) {
            std::fprintf(stderr, "cvn-bench-session: a reply gave no text; nothing to time\n");
            return std::nullopt;
        }
        Timed t;
        t.keptMs = *kept;
        t.promptLine = lastPromptLine;
        t.tokens = int64_t(m_full->tokenize(m_prompt).size());
        if (againstFull)
            t.fullMs = fullDecodeMs(*m_full, m_prompt);
        return t;
    }

private:
    std::shared_ptr<LlamaModel> m_full;
    std::string m_prompt;
};

void printReply(const char* what, const Timed& t)
{
    if (t.fullMs > 0)
        std::printf("%s: history %lld tokens (%s), first token %.1f ms kept, %.1f ms full\n", what,
                    (long long)t.tokens, qPrintable(t.promptLine), t.keptMs, t.fullMs);
    else
        std::printf("%s: history %lld tokens (%s), first token %.1f ms\n", what, (long long)t.tokens,
                    qPrintable(t.promptLine), t.keptMs);
    std::fflush(stdout);
}

// Waits until what the runs so far keep is in the reply cache: saves made
// on the model's queue, then the files written from the cache's own queue.
void settleCache(LlamaSession& session)
{
    if (session.model())
        session.model()->queue().sync([] {});
    session.promptCache().store()->flush();
}

// The reply cache against its budgets, in MiB.
void printCacheUsage(LlamaSession& session)
{
    settleCache(session);
    const PromptCache::Usage usage = session.promptCache().usage();
    constexpr int64_t kMiB = 1024 * 1024;
    std::printf("cache memory held: %.1f MiB of %lld\n", double(usage.memoryBytes) / kMiB,
                (long long)(usage.memoryBudgetBytes / kMiB));
    std::printf("cache disk held: %.1f MiB of %lld\n", double(usage.diskBytes) / kMiB,
                (long long)(usage.diskBudgetBytes / kMiB));
}

// Another program's request of about `tokens` tokens of its own, answered
// through the session's slot as the local server hands it over; false (said
// on stderr) when it failed.
bool serveOther(LlamaSession& session, uint32_t& state, int64_t tokens)
{
    QList<ChatMessage> messages;
    for (const LlamaSession::Turn& turn : fillerChat(session, state, tokens))
        messages << ChatMessage{turn.role, turn.content};
    messages << ChatMessage{ChatMessage::Role::user, filler(state, 22)};

    struct Shared {
        std::mutex mutex;
        std::optional<ServedRequest::Outcome> outcome;
    };
    auto shared = std::make_shared<Shared>();
    ServedRequest request;
    request.messages = messages;
    request.overrides.maxTokens = kTimedReplyTokens;
    request.onPiece = [](const QString&) { return true; };
    request.onFinished = [shared](const ServedRequest::Outcome& outcome) {
        // Wakes the event loop below, from the model's queue or the main thread.
        QMetaObject::invokeMethod(qApp, [shared, outcome] {
            std::lock_guard lock(shared->mutex);
            shared->outcome = outcome;
        });
    };
    session.serveRequest(std::move(request));
    pumpUntil([&] {
        std::lock_guard lock(shared->mutex);
        return shared->outcome.has_value();
    });
    if (shared->outcome->failure != ServedRequest::Outcome::Failure::none) {
        std::fprintf(stderr, "cvn-bench-session: the request failed: %s\n", qPrintable(shared->outcome->message));
        return false;
    }
    std::printf("another request: %lld prompt tokens (%s), %lld reply tokens\n",
                (long long)shared->outcome->promptTokens, qPrintable(lastPromptLine),
                (long long)shared->outcome->completionTokens);
    std::fflush(stdout);
    return true;
}

bool switchChats(LlamaSession& session, Bench& bench, long history)
{
    uint32_t state = 1;
    QList<LlamaSession::Turn> chats[2] = {fillerChat(session, state, history), fillerChat(session, state, history)};
    std::vector<double> ratios;
    for (int r = 0; r < kSwitchReplies; ++r) {
        // Opening a chat hands its turns to the session; its first reply in
        // the run has nothing of its own to keep.
        const int chat = r % 2;
        session.replaceTurns(chats[chat]);
        const bool counted = r >= 2;
        const std::optional<Timed> t = bench.reply(session, filler(state, 22), counted);
        if (!t)
            return false;
        chats[chat] = session.turns();
        const QByteArray what =
            QStringLiteral("reply %1, chat %2").arg(r + 1).arg(QLatin1Char(chat ? 'B' : 'A')).toLatin1();
        printReply(what.constData(), *t);
        if (counted)
            ratios.push_back(t->ratio());
    }
    std::printf("switching chats first token kept/full: %.3f\n", median(ratios));
    return true;
}

bool afterRequest(LlamaSession& session, Bench& bench, long history)
{
    uint32_t state = 1;
    session.replaceTurns(fillerChat(session, state, history));
    const std::optional<Timed> before = bench.reply(session, filler(state, 22), false);
    if (!before)
        return false;
    printReply("chat reply", *before);
    if (!serveOther(session, state, kRequestTokens))
        return false;
    const std::optional<Timed> after = bench.reply(session, filler(state, 22), true);
    if (!after)
        return false;
    printReply("chat reply after the request", *after);
    std::printf("chat after another request first token kept/full: %.3f\n", after->ratio());
    return true;
}

} // namespace

int runCacheMode(CacheMode mode, ModelStore& store, const ModelInfo& info, const QString& path, long threads,
                 long history)
{
    auto session = std::make_unique<LlamaSession>(&store);
    if (!loadWithThreads(*session, info, threads))
        return 1;
    const int64_t ctx = session->loadedContextSize();
    std::shared_ptr<LlamaModel> full;
    try {
        full = LlamaModel::load(path, ctx, 0, threads);
    } catch (const LoadError& e) {
        std::fprintf(stderr, "cvn-bench-session: %s\n", e.what());
        return 1;
    }
    Bench bench(full);
    bench.watch(*session);
    const QtMessageHandler previous = qInstallMessageHandler(keepPromptLine);
    std::printf("model: %s\nthreads %ld, context %lld\n", qPrintable(path), threads, (long long)ctx);

    bool ok = false;
    switch (mode) {
    case CacheMode::switchChats:
        ok = switchChats(*session, bench, history);
        break;
    case CacheMode::afterRequest:
        ok = afterRequest(*session, bench, history);
        break;
    case CacheMode::restart: {
        uint32_t state = 1;
        session->replaceTurns(fillerChat(*session, state, history));
        const std::optional<Timed> before = bench.reply(*session, filler(state, 22), false);
        if (!before)
            break;
        printReply("before the restart", *before);
        const QList<LlamaSession::Turn> turns = session->turns();
        // The program ends, once what it keeps is written: its session and
        // its model go.
        settleCache(*session);
        session.reset();
        session = std::make_unique<LlamaSession>(&store);
        if (!loadWithThreads(*session, info, threads))
            break;
        bench.watch(*session);
        session->replaceTurns(turns);
        const std::optional<Timed> after = bench.reply(*session, filler(state, 22), true);
        if (!after)
            break;
        printReply("after the restart", *after);
        std::printf("after a restart first token kept/full: %.3f\n", after->ratio());
        ok = true;
        break;
    }
    }
    if (ok)
        printCacheUsage(*session);
    std::fflush(stdout);
    qInstallMessageHandler(previous);
    return ok ? 0 : 1;
}

} // namespace cvn::bench

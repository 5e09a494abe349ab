// cvn-bench-session: what a reply costs through LlamaSession (pieces carried
// to the main thread, the bubble edited, signals, snapshots) against the bare
// LlamaModel stream on the same loaded model and prompt.
//
//   cvn-bench-session --model FILE [--threads N[,N...]] [--ctx N] [--runs N]
//
// Each thread count (default: 2 and the core count) gets its own block: a
// count equal to the core count leaves no core free for the main thread.
// The reply length is the session's own limit for the context (half of it,
// at most 2048), and speeds count the tokens each run really generated.
// Runs alternate which side goes first. A block ends with "ratio
// <session/bare tokens per second>".
//
//   cvn-bench-session --model FILE [--threads N] [--ctx N] --turns T --history TOKENS
//
// A conversation instead: a stored chat of about TOKENS tokens in the
// model's template, then T turns of a user message of about 30 tokens and a
// reply stopped at 32 tokens. Each turn prints the prompt's tokens, the time
// from the send to the first reply token through the session (which keeps
// what the context decoded before) and the time to the first token of the
// same prompt decoded in full, in an emptied context of a second copy of the
// model. Each turn also says whether it was decoded in full (its run kept
// less than half of its prompt from the run before) or kept its prefix. The
// last line is "first token kept/full at N tokens: R" for the last turn.
//
// A history longer than the context is a chat past it: the session leaves
// out its oldest messages, in steps. Two lines then end the output:
// "past the context: F of T turns decoded in full" and "median first token
// past the context kept/full: R", R the median over the turns.
//
//   cvn-bench-session --model FILE [--threads N] [--ctx N] [--history TOKENS]
//                     --switch | --after-request | --restart
//
// A chat's next reply after something else used the model (CacheModes.cpp),
// with chats of about TOKENS tokens (default 3000) and a context of 4096 by
// default:
//   --switch: two chats answered in turn, A B A B ... for 10 replies; it
//     prints "switching chats first token kept/full: R", the median over
//     the replies after each chat's first.
//   --after-request: a chat reply, another program's request of about 1,000
//     other tokens through the session's slot, then the chat's next reply; it
//     prints "chat after another request first token kept/full: R".
//   --restart: a chat answered once, the session and its model destroyed, a
//     new session made in the same settings and cache folders, and the
//     chat's next reply timed; it prints "after a restart first token
//     kept/full: R".
//
//   cvn-bench-session --model FILE [--threads N] [--ctx N] --cache-files N
//
// A short reply's first token in a chat of about 400 tokens, with N entry
// files of another model in the reply cache's folder and with none
// (CacheFiles.cpp), the median of 9 replies each; it prints "first token
// with N cache files/with none: R".
//
//   cvn-bench-session --model FILE [--threads N] [--ctx N] --image
//
// Two turns of a chat that opens with an image, through a random projector
// of LLaVA-1.5's shape written for the model's width (ImageTurns.cpp); it
// prints "image encode seconds: X" and "second turn with an image first
// token kept/full: R".
//
//   cvn-bench-session --model FILE [--threads N] [--ctx N] --image --images N
//
// Prompts of N images through a random projector of 16 positions an image
// (ImageTurns.cpp); it prints "peak memory with N images/with 1: R" and
// "follow-up with N images/with none first token: F".
#include "BenchOptions.h"
#include "BenchTiming.h"
#include "CacheModes.h"
#include "GpuCompare.h"
#include "ImageTurns.h"
#include "Conversation.h"
#include "SessionBenchSupport.h"
#include "engine/LlamaSession.h"
#include "models/ModelStore.h"
#include "platform/AppSettings.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QStringList>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <iterator>
#include <utility>

#include <llama.h>

using namespace cvn;

using namespace cvn::bench;

namespace {

struct RunFigures {
    double tokensPerSecond = 0;
    int64_t tokens = 0;
    int64_t deliveries = 0; // times the main thread heard of the reply
};

RunFigures bareRun(LlamaModel& model, const std::string& prompt, int64_t tokens)
{
    SamplingParams params = SamplingParams::defaults();
    params.maxTokens = tokens;
    std::promise<void> done;
    Clock::time_point first, end;
    bool any = false;
    GenerationSink sink;
    sink.onPiece = [&](const QString&) {
        if (!any) {
            any = true;
            first = Clock::now();
        }
        return true;
    };
    sink.onFinished = [&] {
        end = Clock::now();
        done.set_value();
    };
    GenerationHandle handle = model.generate(prompt, params, std::move(sink));
    done.get_future().wait();
    RunFigures f;
    f.tokens = model.lastRunTokenCount();
    if (any && f.tokens > 1)
        f.tokensPerSecond = double(f.tokens - 1) / std::chrono::duration<double>(end - first).count();
    return f;
}

RunFigures sessionRun(LlamaSession& session)
{
    std::optional<Clock::time_point> first;
    RunFigures f;
    SessionTask task = session.send(QStringLiteral("Hi"));
    QMetaObject::Connection c = QObject::connect(&session, &LlamaSession::turnsChanged, [&] {
        ++f.deliveries;
        if (!first && !session.turns().isEmpty() && !session.turns().last().content.isEmpty())
            first = Clock::now();
    });
    pumpUntil([&] { return task.isFinished(); });
    const auto end = Clock::now();
    QObject::disconnect(c);
    session.resetConversation();
    f.tokens = session.model()->lastRunTokenCount();
    if (first && f.tokens > 1)
        f.tokensPerSecond = double(f.tokens - 1) / std::chrono::duration<double>(end - *first).count();
    return f;
}

const char* const kUsage =
    "usage: cvn-bench-session --model FILE [--threads N[,N...]] [--ctx N>=512] [--runs N]\n"
    "       cvn-bench-session --model FILE [--threads N] [--ctx N>=512] --turns T --history TOKENS\n"
    "       cvn-bench-session --model FILE [--threads N] [--ctx N>=512] [--history TOKENS]\n"
    "                         --switch | --after-request | --restart\n"
    "       cvn-bench-session --model FILE [--threads N] [--ctx N>=512] --cache-files N\n"
    "       cvn-bench-session --model FILE [--threads N] [--ctx N>=512] --gpu\n"
    "       cvn-bench-session --model FILE [--threads N] [--ctx N>=512] --image [--images N]\n";

int fail(const QString& message)
{
    std::fprintf(stderr, "cvn-bench-session: %s\n", qPrintable(message));
    return 2;
}

// One block of figures at one thread count; false when a run failed.
bool measure(LlamaSession& session, const ModelInfo& info, const QString& path, long threads, long runs)
{
    if (!loadWithThreads(session, info, threads))
        return false;

    const int64_t tokens = LlamaSession::replyTokenLimit(session.loadedContextSize());
    const std::string prompt =
        session.chatTemplate().format({{ChatMessage::Role::user, QStringLiteral("Hi")}}).toStdString();
    std::printf("model: %s\nthreads %ld, context %lld, reply %lld tokens\n", qPrintable(path), threads,
                (long long)session.loadedContextSize(), (long long)tokens);

    bareRun(*session.model(), prompt, tokens); // warm-up
    std::vector<double> bare, through;
    for (long r = 0; r < runs; ++r) {
        // Which goes first alternates, so neither always runs on a warmer cache.
        RunFigures b, s;
        if (r % 2 == 0) {
            b = bareRun(*session.model(), prompt, tokens);
            s = sessionRun(session);
        } else {
            s = sessionRun(session);
            b = bareRun(*session.model(), prompt, tokens);
        }
        std::printf("run %ld: bare %.2f tok/s (%lld tokens), session %.2f tok/s (%lld tokens, %lld deliveries to "
                    "the main thread)\n",
                    r + 1, b.tokensPerSecond, (long long)b.tokens, s.tokensPerSecond, (long long)s.tokens,
                    (long long)s.deliveries);
        std::fflush(stdout);
        if (b.tokens < 2 || s.tokens < 2) {
            std::fprintf(stderr, "cvn-bench-session: a reply ended after fewer than 2 tokens; nothing to time\n");
            return false;
        }
        bare.push_back(b.tokensPerSecond);
        through.push_back(s.tokensPerSecond);
    }
    std::printf("bare tokens/s: %.2f (min %.2f)\n", median(bare), *std::min_element(bare.begin(), bare.end()));
    std::printf("session tokens/s: %.2f (min %.2f)\n", median(through),
                *std::min_element(through.begin(), through.end()));
    std::printf("ratio %.3f\n", median(bare) > 0 ? median(through) / median(bare) : 0.0);
    std::fflush(stdout);
    return true;
}


// --- a conversation: kept context against a full decode ----------------------

bool converse(LlamaSession& session, const ModelInfo& info, const QString& path, long threads, long turns,
              long history)
{
    if (!loadWithThreads(session, info, threads))
        return false;
    std::shared_ptr<LlamaModel> full;
    try {
        full = LlamaModel::load(path, session.loadedContextSize(), 0, threads);
    } catch (const LoadError& e) {
        std::fprintf(stderr, "cvn-bench-session: %s\n", e.what());
        return false;
    }

    constexpr int64_t kReplyTokens = kTimedReplyTokens;
    uint32_t state = 1;
    const QList<LlamaSession::Turn> stored = fillerChat(session, state, history);
    QList<ChatMessage> messages;
    for (const LlamaSession::Turn& turn : stored)
        messages << ChatMessage{turn.role, turn.content};
    // Past the context, the session cuts the chat; each turn is then timed
    // against a full decode of the prompt the session sent.
    const int64_t need = promptTokens(session, messages) + turns * (kReplyTokens + 64) + 256;
    const bool past = need > session.loadedContextSize();
    session.replaceTurns(stored);
    session.setPieceInterval(std::chrono::milliseconds(0));
    std::string prompt;
    session.setPromptObserver([&](const QString& text) { prompt = text.toStdString(); });
    const QtMessageHandler previous = qInstallMessageHandler(keepPromptLine);

    std::printf("model: %s\nthreads %ld, context %lld\n", qPrintable(path), threads,
                (long long)session.loadedContextSize());
    std::vector<double> kept, ratios;
    long inFull = 0;
    double ratio = 0;
    int64_t tokensAtLast = 0;
    for (long t = 1; t <= turns; ++t) {
        const std::optional<double> keptTime = sendAndTime(session, filler(state, 22));
        if (!keptTime) {
            std::fprintf(stderr, "cvn-bench-session: turn %ld gave no reply text; nothing to time\n", t);
            qInstallMessageHandler(previous);
            return false;
        }
        const double keptMs = *keptTime;
        const QString keptLine = lastPromptLine;
        static const QRegularExpression counts(QStringLiteral("^Prompt: (\\d+) tokens, (\\d+) kept"));
        const QRegularExpressionMatch match = counts.match(keptLine);
        const bool decodedInFull = !match.hasMatch() || match.captured(2).toLongLong() * 2 < match.captured(1).toLongLong();
        inFull += decodedInFull ? 1 : 0;
        const int64_t tokens = int64_t(full->tokenize(prompt).size());
        const double fullMs = fullDecodeMs(*full, prompt);
        kept.push_back(keptMs);
        ratio = keptMs / fullMs;
        ratios.push_back(ratio);
        tokensAtLast = tokens;
        std::printf("turn %ld: history %lld tokens (%s%s), first token %.1f ms kept, %.1f ms full, reply %lld "
                    "tokens, %s\n",
                    t, (long long)tokens, qPrintable(keptLine), std::exchange(cutMoved, false) ? ", cut moved" : "",
                    keptMs, fullMs, (long long)session.model()->lastRunTokenCount(),
                    decodedInFull ? "decoded in full" : "prefix kept");
        std::fflush(stdout);
    }
    qInstallMessageHandler(previous);
    if (kept.size() >= 3)
        std::printf("first token at turn %zu / turn 2: %.2f\n", kept.size(), kept.back() / kept[1]);
    if (past) {
        std::printf("past the context: %ld of %ld turns decoded in full\n", inFull, turns);
        std::printf("median first token past the context kept/full: %.3f\n", median(ratios));
    } else {
        std::printf("first token kept/full at %lld tokens: %.3f\n", (long long)tokensAtLast, ratio);
    }
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (cvn::bench::asksForHelp(argc, argv)) {
        std::printf("%s", kUsage);
        return 0;
    }
    const cvn::bench::ScratchSettings scratch;
    QCoreApplication app(argc, argv);

    QString path;
    std::vector<long> threadCounts = cvn::bench::defaultThreadCounts();
    bool threadsGiven = false;
    long ctx = 512, runs = 3, turns = 0, history = 0, cacheFiles = 0, imageCount = 0;
    bool ctxGiven = false, runsGiven = false;
    std::optional<cvn::bench::CacheMode> mode;
    QString modeName;
    bool gpu = false, image = false;
    for (int i = 1; i < argc; i += 2) {
        const QByteArray arg = argv[i];
        if (arg == "--gpu" || arg == "--image") {
            (arg == "--gpu" ? gpu : image) = true;
            --i; // takes no value
            continue;
        }
        if (arg == "--switch" || arg == "--after-request" || arg == "--restart") {
            if (mode)
                return fail(QStringLiteral("--switch, --after-request and --restart go one at a time"));
            mode = arg == "--switch"          ? cvn::bench::CacheMode::switchChats
                   : arg == "--after-request" ? cvn::bench::CacheMode::afterRequest
                                              : cvn::bench::CacheMode::restart;
            modeName = QString::fromLatin1(arg);
            --i; // a mode takes no value
            continue;
        }
        if (arg != "--model" && arg != "--threads" && arg != "--ctx" && arg != "--runs" && arg != "--turns"
            && arg != "--history" && arg != "--cache-files" && arg != "--images")
            return fail(QStringLiteral("unknown option %1 (see --help)").arg(QString::fromLocal8Bit(arg)));
        if (i + 1 >= argc)
            return fail(QStringLiteral("%1 needs a value").arg(QString::fromLocal8Bit(arg)));
        const std::string value = argv[i + 1];
        if (arg == "--model") {
            path = QString::fromLocal8Bit(argv[i + 1]);
        } else if (arg == "--threads") {
            const auto list = cvn::bench::parseCountList(value);
            if (!list)
                return fail(QStringLiteral("--threads takes counts >= 1 separated by commas, not %1")
                                .arg(QString::fromStdString(value)));
            threadCounts = *list;
            threadsGiven = true;
        } else {
            const long least = arg == "--ctx" ? 512 : 1;
            const std::optional<long> n = cvn::bench::parseCount(value, least);
            if (!n)
                return fail(QStringLiteral("%1 takes a whole number >= %2, not %3")
                                .arg(QString::fromLocal8Bit(arg))
                                .arg(least)
                                .arg(QString::fromStdString(value)));
            ctxGiven = ctxGiven || arg == "--ctx";
            runsGiven = runsGiven || arg == "--runs";
            (arg == "--ctx"           ? ctx
             : arg == "--runs"        ? runs
             : arg == "--turns"       ? turns
             : arg == "--cache-files" ? cacheFiles
             : arg == "--images"      ? imageCount
                                      : history) = *n;
        }
    }
    if (cacheFiles > 0 && (gpu || mode || turns > 0 || history > 0 || runsGiven))
        return fail(QStringLiteral("--cache-files goes with --model, --threads and --ctx only (see --help)"));
    if (cacheFiles > 0 && threadsGiven && threadCounts.size() != 1)
        return fail(QStringLiteral("--cache-files takes one --threads count"));
    if (gpu && (mode || turns > 0 || history > 0 || runsGiven || (threadsGiven && threadCounts.size() != 1)))
        return fail(QStringLiteral("--gpu takes only --model, one --threads count and --ctx"));
    if (image && (gpu || mode || turns > 0 || history > 0 || runsGiven || cacheFiles > 0
                  || (threadsGiven && threadCounts.size() != 1)))
        return fail(QStringLiteral("--image takes only --model, one --threads count and --ctx"));
    if (imageCount > 0 && !image)
        return fail(QStringLiteral("--images goes with --image (see --help)"));
    if (mode && (turns > 0 || runsGiven))
        return fail(QStringLiteral("%1 takes no --turns nor --runs (see --help)").arg(modeName));
    if (mode && threadsGiven && threadCounts.size() != 1)
        return fail(QStringLiteral("a cache mode takes one --threads count"));
    const bool conversation = !mode && (turns > 0 || history > 0);
    if (conversation && (turns == 0 || history == 0))
        return fail(QStringLiteral("--turns and --history go together (see --help)"));
    if (conversation && threadsGiven && threadCounts.size() != 1)
        return fail(QStringLiteral("a conversation takes one --threads count"));
    if (conversation && !threadsGiven)
        threadCounts = {threadCounts.back()};
    if (conversation && !ctxGiven)
        ctx = 8192;
    if ((mode || cacheFiles > 0 || image) && !ctxGiven)
        ctx = 4096;
    if (mode && history == 0)
        history = 3000;
    if (path.isEmpty())
        return fail(QStringLiteral("--model FILE is required (see --help)"));

    const QFileInfo file(path);
    if (!file.isFile() || !file.isReadable())
        return fail(QStringLiteral("cannot read the model file %1").arg(path));
    ModelStore store(file.absolutePath());
    const std::optional<ModelInfo> info = cvn::bench::modelWithContext(store, file, ctx);
    if (!info)
        return fail(QStringLiteral("%1 is not a model file").arg(path));

    if (cacheFiles > 0)
        return cvn::bench::runCacheFiles(store, *info, threadCounts.back(), cacheFiles);
    if (image && imageCount > 0)
        return cvn::bench::runManyImages(path, threadCounts.back(), ctx, imageCount);
    if (image)
        return cvn::bench::runImageTurns(path, threadCounts.back(), ctx);
    if (gpu)
        return cvn::bench::compareGpuLogits(path, threadCounts.back(), ctx);
    if (mode)
        return cvn::bench::runCacheMode(*mode, store, *info, path, threadCounts.back(), history);
    LlamaSession session(&store);
    if (conversation)
        return converse(session, *info, path, threadCounts.front(), turns, history) ? 0 : 1;
    for (const long threads : threadCounts) {
        if (!measure(session, *info, path, threads, runs))
            return 1;
    }
    return 0;
}

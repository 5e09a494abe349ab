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
#include "BenchOptions.h"
#include "BenchTiming.h"
#include "engine/LlamaSession.h"
#include "models/ModelStore.h"
#include "platform/AppSettings.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>

using namespace cvn;
using Clock = std::chrono::steady_clock;

using cvn::bench::median;

namespace {

// Sleeps in the event loop between events, as the app's main thread does: a
// loop that polls would keep a core busy and slow the compute threads down.
void pumpUntil(const std::function<bool()>& done)
{
    while (!done())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

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

const char* const kUsage = "usage: cvn-bench-session --model FILE [--threads N[,N...]] [--ctx N>=512] [--runs N]\n";

int fail(const QString& message)
{
    std::fprintf(stderr, "cvn-bench-session: %s\n", qPrintable(message));
    return 2;
}

// One block of figures at one thread count; false when a run failed.
bool measure(LlamaSession& session, const ModelInfo& info, const QString& path, long threads, long runs)
{
    AppSettings::setValue(QString::fromLatin1(AppSettings::threadCountKey), int(threads));
    bool loaded = false;
    std::optional<LoadError> error;
    session.loadModel(info, [&](const std::optional<LoadError>& e) {
        error = e;
        loaded = true;
    });
    pumpUntil([&] { return loaded; });
    if (error) {
        std::fprintf(stderr, "cvn-bench-session: %s\n", error->what());
        return false;
    }

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

} // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "--help") == 0 || qstrcmp(argv[i], "-h") == 0) {
            std::printf("%s", kUsage);
            return 0;
        }
    }
    // Settings go to a scratch folder, never the user's.
    QTemporaryDir scratch;
    setenv("XDG_CONFIG_HOME", scratch.path().toLocal8Bit().constData(), 1);
    QCoreApplication app(argc, argv);

    QString path;
    std::vector<long> threadCounts = cvn::bench::defaultThreadCounts();
    long ctx = 512, runs = 3;
    for (int i = 1; i < argc; i += 2) {
        const QByteArray arg = argv[i];
        if (arg != "--model" && arg != "--threads" && arg != "--ctx" && arg != "--runs")
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
        } else {
            const std::optional<long> n = cvn::bench::parseCount(value, arg == "--ctx" ? 512 : 1);
            if (!n)
                return fail(QStringLiteral("%1 takes a whole number >= %2, not %3")
                                .arg(QString::fromLocal8Bit(arg))
                                .arg(arg == "--ctx" ? 512 : 1)
                                .arg(QString::fromStdString(value)));
            (arg == "--ctx" ? ctx : runs) = *n;
        }
    }
    if (path.isEmpty())
        return fail(QStringLiteral("--model FILE is required (see --help)"));

    const QFileInfo file(path);
    if (!file.isFile() || !file.isReadable())
        return fail(QStringLiteral("cannot read the model file %1").arg(path));
    ModelStore store(file.absolutePath());
    std::optional<ModelInfo> info;
    for (const ModelInfo& m : store.models())
        if (m.fileName == file.fileName())
            info = m;
    if (!info)
        return fail(QStringLiteral("%1 is not a model file").arg(path));
    info->contextMode = QStringLiteral("manual");
    info->contextSizeManual = ctx;

    LlamaSession session(&store);
    for (const long threads : threadCounts) {
        if (!measure(session, *info, path, threads, runs))
            return 1;
    }
    return 0;
}

// cvn-bench-session: what a reply costs through LlamaSession (posting each
// piece to the main thread, editing the bubble, signals, snapshots) against
// the bare LlamaModel stream on the same loaded model and prompt.
//
//   cvn-bench-session --model FILE [--threads N] [--ctx N] [--runs N]
//
// The reply length is the session's own limit for the context (half of it,
// at most 2048); a random model always runs to it. The last line is
// "ratio <session/bare tokens per second>".
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

void pumpUntil(const std::function<bool()>& done)
{
    while (!done())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
}

double bareRun(LlamaModel& model, const std::string& prompt, int64_t tokens)
{
    SamplingParams params = SamplingParams::defaults();
    params.maxTokens = tokens;
    std::promise<void> done;
    Clock::time_point first;
    int64_t pieces = 0;
    GenerationSink sink;
    sink.onPiece = [&](const QString&) {
        if (pieces++ == 0)
            first = Clock::now();
        return true;
    };
    sink.onFinished = [&] { done.set_value(); };
    GenerationHandle handle = model.generate(prompt, params, std::move(sink));
    done.get_future().wait();
    return double(tokens - 1) / std::chrono::duration<double>(Clock::now() - first).count();
}

double sessionRun(LlamaSession& session, int64_t tokens)
{
    std::optional<Clock::time_point> first;
    QMetaObject::Connection c = QObject::connect(&session, &LlamaSession::turnsChanged, [&] {
        if (!first && !session.turns().isEmpty() && !session.turns().last().content.isEmpty())
            first = Clock::now();
    });
    SessionTask task = session.send(QStringLiteral("Hi"));
    pumpUntil([&] { return task.isFinished(); });
    const auto end = Clock::now();
    QObject::disconnect(c);
    session.resetConversation();
    return first ? double(tokens - 1) / std::chrono::duration<double>(end - *first).count() : 0;
}

} // namespace

int main(int argc, char** argv)
{
    // Settings go to a scratch folder, never the user's.
    QTemporaryDir scratch;
    setenv("XDG_CONFIG_HOME", scratch.path().toLocal8Bit().constData(), 1);
    QCoreApplication app(argc, argv);

    QString path;
    long threads = 2, ctx = 512, runs = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        const QByteArray arg = argv[i];
        if (arg == "--model")
            path = QString::fromLocal8Bit(argv[i + 1]);
        else if (arg == "--threads")
            threads = std::atol(argv[i + 1]);
        else if (arg == "--ctx")
            ctx = std::atol(argv[i + 1]);
        else if (arg == "--runs")
            runs = std::atol(argv[i + 1]);
    }
    if (path.isEmpty() || threads < 1 || ctx < 512 || runs < 1) {
        std::fprintf(stderr, "usage: cvn-bench-session --model FILE [--threads N] [--ctx N>=512] [--runs N]\n");
        return 2;
    }
    AppSettings::setValue(QString::fromLatin1(AppSettings::threadCountKey), int(threads));

    const QFileInfo file(path);
    ModelStore store(file.absolutePath());
    std::optional<ModelInfo> info;
    for (const ModelInfo& m : store.models())
        if (m.fileName == file.fileName())
            info = m;
    if (!info) {
        std::fprintf(stderr, "cvn-bench-session: %s is not a model file\n", qPrintable(path));
        return 1;
    }
    info->contextMode = QStringLiteral("manual");
    info->contextSizeManual = ctx;

    LlamaSession session(&store);
    bool loaded = false;
    session.loadModel(*info, [&](const std::optional<LoadError>& error) {
        if (error) {
            std::fprintf(stderr, "cvn-bench-session: %s\n", error->what());
            std::exit(1);
        }
        loaded = true;
    });
    pumpUntil([&] { return loaded; });

    const int64_t tokens = LlamaSession::replyTokenLimit(session.loadedContextSize());
    const std::string prompt =
        session.chatTemplate().format({{ChatMessage::Role::user, QStringLiteral("Hi")}}).toStdString();
    std::printf("model: %s\nthreads %ld, context %lld, reply %lld tokens\n", qPrintable(path), threads,
                (long long)session.loadedContextSize(), (long long)tokens);

    bareRun(*session.model(), prompt, tokens); // warm-up
    std::vector<double> bare, through;
    for (long r = 0; r < runs; ++r) {
        // Which goes first alternates, so neither always runs on a warmer cache.
        if (r % 2 == 0) {
            bare.push_back(bareRun(*session.model(), prompt, tokens));
            through.push_back(sessionRun(session, tokens));
        } else {
            through.push_back(sessionRun(session, tokens));
            bare.push_back(bareRun(*session.model(), prompt, tokens));
        }
        std::printf("run %ld: bare %.2f tok/s, session %.2f tok/s\n", r + 1, bare.back(), through.back());
        std::fflush(stdout);
    }
    std::printf("bare tokens/s: %.2f\n", median(bare));
    std::printf("session tokens/s: %.2f\n", median(through));
    std::printf("ratio %.3f\n", median(bare) > 0 ? median(through) / median(bare) : 0.0);
    return 0;
}

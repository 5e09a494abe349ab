// cvn-bench-many-messages: a request of many short messages, as another
// program may send through the local server, handed to the session's model
// slot. How long the slot is held until the request is answered or refused,
// and how soon it is free again when the client leaves while the prompt is
// being made.
//
//   cvn-bench-many-messages --model FILE [--messages N] [--ctx N] [--cancel-after MS]
//
// The model's folder is read as a models folder; the model is loaded with a
// context of --ctx tokens (4096). The messages alternate between the user and
// the assistant, about 60 characters each. Lines: "answered in X ms" (or
// "refused in X ms: why"), then "freed X ms after the cancel" for a second,
// identical request cancelled --cancel-after ms (200) after it was handed over
// (or "the second request ended before its cancel").
#include "BenchOptions.h"
#include "SessionBenchSupport.h"
#include "engine/LlamaSession.h"
#include "models/ModelStore.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <optional>

using namespace cvn;
using Clock = std::chrono::steady_clock;

namespace {

const char* const kUsage =
    "usage: cvn-bench-many-messages --model FILE [--messages N] [--ctx N>=512] [--cancel-after MS]\n";

int fail(const QString& message)
{
    std::fprintf(stderr, "cvn-bench-many-messages: %s\n", qPrintable(message));
    return 2;
}

ServedRequest manyMessages(long count)
{
    ServedRequest request;
    request.messages.reserve(count);
    for (long i = 0; i < count; ++i) {
        const auto role = i % 2 == 0 ? ChatMessage::Role::user : ChatMessage::Role::assistant;
        request.messages.append(
            {role, QStringLiteral("Message %1 says something short about the weather today.").arg(i)});
    }
    request.overrides.maxTokens = 1;
    request.overrides.temperature = 0;
    return request;
}

// Hands `request` to the session and sleeps in the event loop until it has
// ended; cancels it `cancelAfter` ms after it was handed over, when given.
// The time from the cancel (or the start) to its end, and the outcome; -1
// when it ended before the cancel.
std::pair<double, ServedRequest::Outcome> serve(LlamaSession& session, ServedRequest request,
                                                std::optional<long> cancelAfter)
{
    std::atomic<bool> done{false};
    ServedRequest::Outcome heard;
    Clock::time_point end;
    request.onFinished = [&](const ServedRequest::Outcome& outcome) {
        heard = outcome;
        end = Clock::now();
        done = true;
        QMetaObject::invokeMethod(qApp, [] {}); // wakes the event loop
    };
    const std::shared_ptr<RequestControl> control = request.control;
    Clock::time_point from = Clock::now();
    session.serveRequest(std::move(request));
    if (cancelAfter) {
        const Clock::time_point at = from + std::chrono::milliseconds(*cancelAfter);
        while (!done && Clock::now() < at)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (done)
            return {-1, heard};
        from = Clock::now();
        control->cancel();
    }
    while (!done)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    return {std::chrono::duration<double, std::milli>(end - from).count(), heard};
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
    long messages = 60000, ctx = 4096, cancelAfter = 200;
    for (int i = 1; i < argc; i += 2) {
        const QByteArray arg = argv[i];
        if (arg != "--model" && arg != "--messages" && arg != "--ctx" && arg != "--cancel-after")
            return fail(QStringLiteral("unknown option %1 (see --help)").arg(QString::fromLocal8Bit(arg)));
        if (i + 1 >= argc)
            return fail(QStringLiteral("%1 needs a value").arg(QString::fromLocal8Bit(arg)));
        if (arg == "--model") {
            path = QString::fromLocal8Bit(argv[i + 1]);
            continue;
        }
        const long least = arg == "--ctx" ? 512 : arg == "--cancel-after" ? 0 : 1;
        const std::optional<long> n = cvn::bench::parseCount(argv[i + 1], least);
        if (!n)
            return fail(QStringLiteral("%1 takes a whole number >= %2, not %3")
                            .arg(QString::fromLocal8Bit(arg))
                            .arg(least)
                            .arg(QString::fromLocal8Bit(argv[i + 1])));
        (arg == "--messages" ? messages : arg == "--ctx" ? ctx : cancelAfter) = *n;
    }
    if (path.isEmpty())
        return fail(QStringLiteral("--model FILE is required (see --help)"));
    const QFileInfo file(path);
    if (!file.isFile() || !file.isReadable())
        return fail(QStringLiteral("cannot read the model file %1").arg(path));
    ModelStore store(file.absolutePath());
    const std::optional<ModelInfo> info = cvn::bench::modelWithContext(store, file, ctx);
    if (!info)
        return fail(QStringLiteral("%1 is not a model file").arg(path));

    LlamaSession session(&store);
    if (!cvn::bench::loadAndWait(session, *info, "cvn-bench-many-messages"))
        return 1;
    std::printf("model: %s\ncontext %lld, %ld messages\n", qPrintable(path),
                (long long)session.loadedContextSize(), messages);
    std::fflush(stdout);

    const auto [ms, outcome] = serve(session, manyMessages(messages), std::nullopt);
    if (outcome.failure == ServedRequest::Outcome::Failure::none)
        std::printf("answered in %.0f ms: prompt %lld tokens\n", ms, (long long)outcome.promptTokens);
    else
        std::printf("refused in %.0f ms: %s\n", ms, qPrintable(outcome.message));
    std::fflush(stdout);

    const auto [freed, cancelled] = serve(session, manyMessages(messages), cancelAfter);
    if (freed < 0)
        std::printf("the second request ended before its cancel\n");
    else
        std::printf("freed %.0f ms after the cancel (%s)\n", freed,
                    cancelled.cancelled ? "cancelled" : "not cancelled");
    return 0;
}

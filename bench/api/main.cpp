// cvn-bench-api: what the local server adds to a reply. The same request (a
// fixed prompt, seed and reply length) is streamed through the server by one
// client over loopback and handed straight to LlamaSession, in turn, on the
// same loaded model.
//
//   cvn-bench-api --model FILE [--threads N] [--runs N]
//
// Speeds count the completion tokens after the first, from the first piece to
// the end; the first token's time runs from the request's start. Then come
// "api/session tokens per second: R" (medians) and "api first token
// overhead: X ms" (median through the server less median straight). Last,
// the same request through the server, greedy, with and without a
// response_format JSON Schema of an object with five fields: "api with a
// JSON schema/api tokens per second: R" (medians), what following the
// schema's grammar costs the reply.
#include "BenchOptions.h"
#include "LoopbackPort.h"
#include "BenchTiming.h"
#include "SessionBenchSupport.h"
#include "apiserver/ApiServer.h"
#include "engine/LlamaSession.h"
#include "models/ModelStore.h"
#include "platform/AppSettings.h"
#include "platform/Sockets.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace cvn;
using Clock = std::chrono::steady_clock;
using cvn::bench::median;

namespace {

constexpr int64_t kReplyTokens = 256;
constexpr uint32_t kSeed = 7;
const char* const kPrompt = "Tell me a long story about the sea.";

const char* const kUsage = "usage: cvn-bench-api --model FILE [--threads N] [--runs N]\n";

int fail(const QString& message)
{
    std::fprintf(stderr, "cvn-bench-api: %s\n", qPrintable(message));
    return 2;
}

struct RunFigures {
    double firstTokenMs = 0;
    double tokensPerSecond = 0;
    int64_t tokens = 0;
};

RunFigures figures(Clock::time_point start, Clock::time_point first, Clock::time_point end, int64_t tokens)
{
    RunFigures f;
    f.tokens = tokens;
    f.firstTokenMs = std::chrono::duration<double, std::milli>(first - start).count();
    if (tokens > 1 && end > first)
        f.tokensPerSecond = double(tokens - 1) / std::chrono::duration<double>(end - first).count();
    return f;
}

// Sleeps in the event loop, as the app's main thread does, until `done`.
void pumpUntil(const std::function<bool()>& done)
{
    while (!done())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

RunFigures straightRun(LlamaSession& session)
{
    struct Shared {
        std::mutex mutex;
        std::optional<Clock::time_point> first;
        Clock::time_point end;
        int64_t tokens = -1;
    };
    auto shared = std::make_shared<Shared>();
    ServedRequest request;
    request.messages = {{ChatMessage::Role::user, QString::fromLatin1(kPrompt)}};
    request.overrides.maxTokens = kReplyTokens;
    request.overrides.seed = kSeed;
    request.onPiece = [shared](const QString&) {
        std::lock_guard lock(shared->mutex);
        if (!shared->first)
            shared->first = Clock::now();
        return true;
    };
    request.onFinished = [shared](const ServedRequest::Outcome& outcome) {
        const Clock::time_point end = Clock::now();
        // Wakes the event loop below from the model's queue.
        QMetaObject::invokeMethod(qApp, [shared, end, tokens = outcome.completionTokens] {
            std::lock_guard lock(shared->mutex);
            shared->end = end;
            shared->tokens = tokens;
        });
    };
    const Clock::time_point start = Clock::now();
    session.serveRequest(std::move(request));
    pumpUntil([&] {
        std::lock_guard lock(shared->mutex);
        return shared->tokens >= 0;
    });
    return shared->first ? figures(start, *shared->first, shared->end, shared->tokens) : RunFigures{};
}

// True once a chunk with some reply text has come (the first chunk has only
// the role, with empty content).
bool hasText(const QByteArray& heard)
{
    const QByteArray key = "\"content\":\"";
    for (qsizetype at = heard.indexOf(key); at >= 0; at = heard.indexOf(key, at + 1))
        if (at + key.size() < heard.size() && heard[at + key.size()] != '"')
            return true;
    return false;
}

// A story as an object of five fields; its strings leave the reply room to
// run to its full length.
QJsonObject storySchema()
{
    const QJsonObject text{{QStringLiteral("type"), QStringLiteral("string")}};
    return QJsonObject{
        {QStringLiteral("type"), QStringLiteral("object")},
        {QStringLiteral("properties"),
         QJsonObject{{QStringLiteral("title"), text},
                     {QStringLiteral("place"), text},
                     {QStringLiteral("year"), QJsonObject{{QStringLiteral("type"), QStringLiteral("integer")}}},
                     {QStringLiteral("mood"), QJsonObject{{QStringLiteral("enum"), QJsonArray{QStringLiteral("calm"),
                                                                                              QStringLiteral("wild")}}}},
                     {QStringLiteral("story"), text}}},
        {QStringLiteral("required"), QJsonArray{QStringLiteral("title"), QStringLiteral("place"), QStringLiteral("year"),
                                                QStringLiteral("mood"), QStringLiteral("story")}}};
}

// One streamed request over loopback, read on its own thread while the main
// thread runs the session; empty figures when it fails. `extra` fields are
// added to the request's body.
RunFigures serverRun(uint16_t port, const QJsonObject& extra = {})
{
    QJsonObject fields{
        {QStringLiteral("messages"),
         QJsonArray{QJsonObject{{QStringLiteral("role"), QStringLiteral("user")},
                                {QStringLiteral("content"), QString::fromLatin1(kPrompt)}}}},
        {QStringLiteral("stream"), true},
        {QStringLiteral("stream_options"), QJsonObject{{QStringLiteral("include_usage"), true}}},
        {QStringLiteral("max_tokens"), qint64(kReplyTokens)},
        {QStringLiteral("seed"), qint64(kSeed)},
    };
    for (auto it = extra.begin(); it != extra.end(); ++it)
        fields.insert(it.key(), it.value());
    const QByteArray body = QJsonDocument(fields).toJson(QJsonDocument::Compact);
    const QByteArray request = "POST /v1/chat/completions HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port)
                               + "\r\nConnection: close\r\nContent-Type: application/json\r\nContent-Length: "
                               + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    std::atomic<bool> finished{false};
    RunFigures result;
    std::thread client([&] {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const Clock::time_point start = Clock::now();
        std::optional<Clock::time_point> first;
        Clock::time_point end;
        int64_t tokens = 0;
        bool sent = fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        for (qsizetype at = 0; sent && at < request.size();) {
            const ssize_t n = ::send(fd, request.constData() + at, size_t(request.size() - at), MSG_NOSIGNAL);
            sent = n > 0;
            at += sent ? n : 0;
        }
        QByteArray heard;
        char buffer[16384];
        for (int reads = 0; sent && reads < 1000000 && !heard.contains("data: [DONE]"); ++reads) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            heard.append(buffer, int(n));
            if (!first && hasText(heard))
                first = Clock::now();
        }
        end = Clock::now();
        if (fd >= 0)
            ::close(fd);
        for (const QByteArray& line : heard.split('\n')) {
            const QJsonObject usage = QJsonDocument::fromJson(line.mid(6)).object().value(QLatin1String("usage")).toObject();
            if (line.startsWith("data: {") && !usage.isEmpty())
                tokens = usage.value(QLatin1String("completion_tokens")).toInteger();
        }
        if (first)
            result = figures(start, *first, end, tokens);
        finished = true;
        QMetaObject::invokeMethod(qApp, [] {}); // wakes the event loop
    });
    pumpUntil([&] { return finished.load(); });
    client.join();
    return result;
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
    long threads = cvn::bench::defaultThreadCounts().back();
    long runs = 5;
    for (int i = 1; i < argc; i += 2) {
        const QByteArray arg = argv[i];
        if (arg != "--model" && arg != "--threads" && arg != "--runs")
            return fail(QStringLiteral("unknown option %1 (see --help)").arg(QString::fromLocal8Bit(arg)));
        if (i + 1 >= argc)
            return fail(QStringLiteral("%1 needs a value").arg(QString::fromLocal8Bit(arg)));
        const std::string value = argv[i + 1];
        if (arg == "--model") {
            path = QString::fromLocal8Bit(argv[i + 1]);
            continue;
        }
        const std::optional<long> n = cvn::bench::parseCount(value);
        if (!n)
            return fail(QStringLiteral("%1 takes a whole number >= 1, not %2")
                            .arg(QString::fromLocal8Bit(arg), QString::fromStdString(value)));
        (arg == "--threads" ? threads : runs) = *n;
    }
    if (path.isEmpty())
        return fail(QStringLiteral("--model FILE is required (see --help)"));
    const QFileInfo file(path);
    if (!file.isFile() || !file.isReadable())
        return fail(QStringLiteral("cannot read the model file %1").arg(path));
    ModelStore store(file.absolutePath());
    const std::optional<ModelInfo> info = cvn::bench::modelWithContext(store, file, 2048);
    if (!info)
        return fail(QStringLiteral("%1 is not a model file").arg(path));

    LlamaSession session(&store);
    AppSettings::setValue(QString::fromLatin1(AppSettings::threadCountKey), int(threads));
    if (!cvn::bench::loadAndWait(session, *info, "cvn-bench-api"))
        return 1;
    ApiServer server(session, store);
    const uint16_t port = cvn::bench::freeLoopbackPort();
    if (port == 0 || !server.start(port, {}))
        return fail(QStringLiteral("the server cannot listen: %1").arg(server.stateText()));
    std::printf("model: %s\nthreads %ld, reply up to %lld tokens\n", qPrintable(path), threads,
                (long long)kReplyTokens);

    straightRun(session); // warm-up
    std::vector<double> apiSpeed, straightSpeed, apiFirst, straightFirst;
    for (long r = 0; r < runs; ++r) {
        // Which goes first alternates, so neither always runs on a warmer cache.
        RunFigures a, s;
        if (r % 2 == 0) {
            a = serverRun(port);
            s = straightRun(session);
        } else {
            s = straightRun(session);
            a = serverRun(port);
        }
        std::printf("run %ld: server %.2f tok/s, first token %.2f ms (%lld tokens); session %.2f tok/s, first token "
                    "%.2f ms (%lld tokens)\n",
                    r + 1, a.tokensPerSecond, a.firstTokenMs, (long long)a.tokens, s.tokensPerSecond, s.firstTokenMs,
                    (long long)s.tokens);
        std::fflush(stdout);
        if (a.tokens < 2 || s.tokens < 2) {
            std::fprintf(stderr, "cvn-bench-api: a reply ended after fewer than 2 tokens; nothing to time\n");
            return 1;
        }
        apiSpeed.push_back(a.tokensPerSecond);
        straightSpeed.push_back(s.tokensPerSecond);
        apiFirst.push_back(a.firstTokenMs);
        straightFirst.push_back(s.firstTokenMs);
    }

    const QJsonObject greedy{{QStringLiteral("temperature"), 0}};
    QJsonObject schema = greedy;
    schema.insert(QStringLiteral("response_format"),
                  QJsonObject{{QStringLiteral("type"), QStringLiteral("json_schema")},
                              {QStringLiteral("json_schema"), QJsonObject{{QStringLiteral("name"), QStringLiteral("story")},
                                                                          {QStringLiteral("schema"), storySchema()}}}});
    std::vector<double> plainSpeed, schemaSpeed;
    for (long r = 0; r < runs; ++r) {
        RunFigures p, j;
        if (r % 2 == 0) {
            p = serverRun(port, greedy);
            j = serverRun(port, schema);
        } else {
            j = serverRun(port, schema);
            p = serverRun(port, greedy);
        }
        std::printf("run %ld, greedy: server %.2f tok/s (%lld tokens); with a JSON schema %.2f tok/s (%lld tokens)\n",
                    r + 1, p.tokensPerSecond, (long long)p.tokens, j.tokensPerSecond, (long long)j.tokens);
        std::fflush(stdout);
        if (p.tokens < 2 || j.tokens < 2) {
            std::fprintf(stderr, "cvn-bench-api: a reply ended after fewer than 2 tokens; nothing to time\n");
            return 1;
        }
        plainSpeed.push_back(p.tokensPerSecond);
        schemaSpeed.push_back(j.tokensPerSecond);
    }
    server.stop();
    std::printf("api/session tokens per second: %.3f\n", median(apiSpeed) / median(straightSpeed));
    std::printf("api first token overhead: %.2f ms\n", median(apiFirst) - median(straightFirst));
    std::printf("api with a JSON schema/api tokens per second: %.3f\n", median(schemaSpeed) / median(plainSpeed));
    return 0;
}

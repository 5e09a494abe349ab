// cvn-bench-schemas: what hostile JSON Schemas cost the local server, and
// what a grammar's alternatives cost each token.
//
//   cvn-bench-schemas --model FILE [--threads N] [--tokens N]
//
// First, each hostile request (contradictory bounds in a string, an array, a
// pattern and a tool's parameters; an integer no value satisfies; bounds past
// what grammars count; a pattern of 30,000 alternatives) is sent once over
// loopback; its line gives the answer's status, how long it took and how far
// the process's peak memory (VmHWM) rose meanwhile. Then greedy replies of
// --tokens tokens are streamed under a pattern of K alternatives repeated
// ("^(?:w0|w1|…){12}$"), for K up to the most a request may have, and without any
// grammar: "K alternatives: X ms a token, R times a free one".
#include "BenchOptions.h"
#include "LoopbackPort.h"
#include "SessionBenchSupport.h"
#include "apiserver/ApiServer.h"
#include "apiserver/SchemaCheck.h"
#include "engine/LlamaSession.h"
#include "models/ModelStore.h"
#include "platform/AppSettings.h"
#include "platform/Sockets.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <optional>
#include <thread>

using namespace cvn;
using Clock = std::chrono::steady_clock;

namespace {

const char* const kUsage = "usage: cvn-bench-schemas --model FILE [--threads N] [--tokens N]\n";

int fail(const QString& message)
{
    std::fprintf(stderr, "cvn-bench-schemas: %s\n", qPrintable(message));
    return 2;
}

// The process's peak resident memory so far, in MB.
double peakMb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    return 0;
}

struct Heard {
    int status = 0;
    double ms = 0;
    std::optional<Clock::time_point> firstPiece;
    Clock::time_point end;
    int64_t pieces = 0;
};

// One request over loopback from another thread while the main thread runs
// the session's event loop.
Heard send(uint16_t port, const QByteArray& body)
{
    const QByteArray request = "POST /v1/chat/completions HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port)
                               + "\r\nConnection: close\r\nContent-Type: application/json\r\nContent-Length: "
                               + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    std::atomic<bool> finished{false};
    Heard heard;
    std::thread client([&] {
        const Clock::time_point start = Clock::now();
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool sent = fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        for (qsizetype at = 0; sent && at < request.size();) {
            const ssize_t n = ::send(fd, request.constData() + at, size_t(request.size() - at), MSG_NOSIGNAL);
            sent = n > 0;
            at += sent ? n : 0;
        }
        QByteArray all;
        char buffer[16384];
        while (sent) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            const QByteArray chunk(buffer, int(n));
            const qsizetype pieces = chunk.count("\"content\":\"") - chunk.count("\"content\":\"\"");
            if (pieces > 0 && !heard.firstPiece)
                heard.firstPiece = Clock::now();
            heard.pieces += pieces;
            all += chunk;
        }
        heard.end = Clock::now();
        heard.ms = std::chrono::duration<double, std::milli>(heard.end - start).count();
        if (fd >= 0)
            ::close(fd);
        heard.status = all.startsWith("HTTP/1.1 ") ? all.mid(9, 3).toInt() : 0;
        finished = true;
        QMetaObject::invokeMethod(qApp, [] {});
    });
    while (!finished)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    client.join();
    return heard;
}

QByteArray formatBody(const QByteArray& schema)
{
    return R"({"messages":[{"role":"user","content":"Hi"}],"max_tokens":8,"response_format":{"type":"json_schema",)"
           R"("json_schema":{"name":"x","schema":)" + schema + "}}}";
}

QByteArray alternatives(int count)
{
    QByteArray words;
    for (int i = 0; i < count; ++i)
        words += (i ? "|w" : "w") + QByteArray::number(i);
    return words;
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
    long tokens = 24;
    for (int i = 1; i < argc; i += 2) {
        const QByteArray arg = argv[i];
        if (arg != "--model" && arg != "--threads" && arg != "--tokens")
            return fail(QStringLiteral("unknown option %1 (see --help)").arg(QString::fromLocal8Bit(arg)));
        if (i + 1 >= argc)
            return fail(QStringLiteral("%1 needs a value").arg(QString::fromLocal8Bit(arg)));
        if (arg == "--model") {
            path = QString::fromLocal8Bit(argv[i + 1]);
            continue;
        }
        const std::optional<long> n = cvn::bench::parseCount(argv[i + 1], arg == "--tokens" ? 2 : 1);
        if (!n)
            return fail(QStringLiteral("%1 takes a whole number (at least %2), not %3")
                            .arg(QString::fromLocal8Bit(arg), arg == "--tokens" ? "2" : "1", QString::fromLocal8Bit(argv[i + 1])));
        (arg == "--threads" ? threads : tokens) = *n;
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
    if (!cvn::bench::loadAndWait(session, *info, "cvn-bench-schemas"))
        return 1;
    ApiServer server(session, store);
    const uint16_t port = cvn::bench::freeLoopbackPort();
    if (port == 0 || !server.start(port, {}))
        return fail(QStringLiteral("the server cannot listen: %1").arg(server.stateText()));
    std::printf("model: %s, threads %ld\n", qPrintable(path), threads);

    const QByteArray tool = R"({"messages":[{"role":"user","content":"Hi"}],"tools":[{"type":"function","function":)"
                            R"({"name":"f","parameters":{"type":"object","properties":{"a":{"type":"string",)"
                            R"("minLength":5,"maxLength":2}}}}}]})";
    const std::pair<const char*, QByteArray> hostile[] = {
        {"string minLength 5 maxLength 2", formatBody(R"({"type":"string","minLength":5,"maxLength":2})")},
        {"array minItems 5 maxItems 2", formatBody(R"({"type":"array","minItems":5,"maxItems":2})")},
        {"pattern {5,2}", formatBody(R"({"type":"string","pattern":"^a{5,2}$"})")},
        {"tool parameters minLength 5 maxLength 2", tool},
        {"integer minimum 5 maximum 2", formatBody(R"({"type":"integer","minimum":5,"maximum":2})")},
        {"string maxLength 5000", formatBody(R"({"type":"string","maxLength":5000})")},
        {"pattern of 30000 alternatives", formatBody(R"({"type":"string","pattern":"^()" + alternatives(30000) + ")$\"}")},
    };
    QByteArray strings;
    for (int i = 0; i < 48; ++i)
        strings += (i ? ",\"s" : "\"s") + QByteArray::number(i) + R"(":{"type":"string","maxLength":2000})";
    const QByteArray longest = formatBody(R"({"type":"object","properties":{)" + strings + "}}");
    bool allRefused = true;
    for (const auto& [name, body] : hostile) {
        const double before = peakMb();
        const Heard heard = send(port, body);
        std::printf("%s: status %d in %.1f ms, peak memory +%.1f MB\n", name, heard.status, heard.ms, peakMb() - before);
        std::fflush(stdout);
        allRefused = allRefused && heard.status == 400;
    }

    const auto perToken = [&](const QByteArray& format) {
        const QByteArray body = R"({"messages":[{"role":"user","content":"Say words."}],"stream":true,"temperature":0,)"
                                R"("max_tokens":)" + QByteArray::number(qlonglong(tokens)) + format + "}";
        const Heard heard = send(port, body);
        if (heard.status != 200 || !heard.firstPiece || heard.pieces < 2)
            return -1.0;
        return std::chrono::duration<double, std::milli>(heard.end - *heard.firstPiece).count() / double(heard.pieces - 1);
    };
    const double beforeLongest = peakMb();
    const Heard held = send(port, longest);
    std::printf("object of 48 strings of maxLength 2000 (held): status %d in %.1f ms, peak memory +%.1f MB\n",
                held.status, held.ms, peakMb() - beforeLongest);
    perToken({}); // warm-up
    const double free = perToken({});
    std::printf("no grammar: %.2f ms a token\n", free);
    for (const int count : {1, 64, int(api::maxGrammarAlternatives) - 8}) {
        const double ms = perToken(R"(,"response_format":{"type":"json_schema","json_schema":{"name":"w","schema":)"
                                   R"({"type":"string","pattern":"^(?:)" + alternatives(count) + "){12}$\"}}}");
        if (ms < 0)
            return fail(QStringLiteral("the reply under %1 alternatives did not stream").arg(count));
        std::printf("%d alternatives: %.2f ms a token, %.1f times a free one\n", count, ms, ms / free);
        std::fflush(stdout);
    }
    server.stop();
    return allRefused ? 0 : 1;
}

// cvn-bench-file-lease: how long another program that writes over a loaded
// model's file in place waits for the model to let go of it.
//
//   cvn-bench-file-lease --model FILE [--rounds N] [--ctx N>=512]
//
// The model is copied into a temporary models folder and loaded through a
// chat session. Each round a child process does what `cp new.gguf
// model.gguf` does: it opens the loaded file for writing, timing that open,
// cuts it short and writes the model back. The open returns once the session has stopped
// what runs, freed the model and released the file's lease. Rounds are
// timed with the model idle, with a reply streaming from it, and with a
// reply streaming while the main thread is busy (it waits for the writer
// without running its event loop); each case ends with "<case>: writer held
// median X ms, max Y ms".
#include "BenchOptions.h"
#include "BenchTiming.h"
#include "SessionBenchSupport.h"
#include "engine/LlamaSession.h"
#include "models/ModelStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace cvn;

namespace {

const char* const kUsage = "usage: cvn-bench-file-lease --model FILE [--rounds N] [--ctx N>=512]\n";

int fail(const QString& message)
{
    std::fprintf(stderr, "cvn-bench-file-lease: %s\n", qPrintable(message));
    return 2;
}

void pumpUntil(const std::function<bool()>& done)
{
    while (!done())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

int64_t nowNs()
{
    timespec t {};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// Forks the writer; the nanoseconds its open of `target` took, or -1. The
// main thread keeps its event loop running meanwhile, as the app's does,
// unless `busy`: then it runs nothing until the writer is done (at most a
// minute).
int64_t writeOver(const QByteArray& target, const QByteArray& source, bool busy)
{
    int report[2];
    if (::pipe(report) != 0)
        return -1;
    const pid_t child = ::fork();
    if (child == 0) {
        // Only async-signal-safe calls in the child of a threaded process.
        // Opened for writing first and cut short after, so that the time
        // is the lease's alone: cutting a large file short takes time of
        // its own inside an open with O_TRUNC.
        const int64_t start = nowNs();
        const int out = ::open(target.constData(), O_WRONLY);
        const int64_t opened = nowNs();
        const int64_t held = out >= 0 && ::ftruncate(out, 0) == 0 ? opened - start : -1;
        const int in = ::open(source.constData(), O_RDONLY);
        char buffer[1 << 16];
        for (ssize_t n; in >= 0 && out >= 0 && (n = ::read(in, buffer, sizeof buffer)) > 0;) {
            if (::write(out, buffer, size_t(n)) != n)
                break;
        }
        [[maybe_unused]] const ssize_t sent = ::write(report[1], &held, sizeof held);
        ::_exit(0);
    }
    ::close(report[1]);
    int64_t held = -1;
    if (child > 0) {
        pollfd done{report[0], POLLIN, 0};
        if (busy)
            ::poll(&done, 1, 60000);
        pumpUntil([&] { return ::poll(&done, 1, 0) > 0; });
        if (::read(report[0], &held, sizeof held) != sizeof held)
            held = -1;
        ::waitpid(child, nullptr, 0);
    }
    ::close(report[0]);
    return held;
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
    long rounds = 5, ctx = 2048;
    for (int i = 1; i < argc; i += 2) {
        const QByteArray arg = argv[i];
        if (arg != "--model" && arg != "--rounds" && arg != "--ctx")
            return fail(QStringLiteral("unknown option %1 (see --help)").arg(QString::fromLocal8Bit(arg)));
        if (i + 1 >= argc)
            return fail(QStringLiteral("%1 needs a value").arg(QString::fromLocal8Bit(arg)));
        if (arg == "--model") {
            path = QString::fromLocal8Bit(argv[i + 1]);
            continue;
        }
        const long least = arg == "--ctx" ? 512 : 1;
        const std::optional<long> n = cvn::bench::parseCount(argv[i + 1], least);
        if (!n)
            return fail(QStringLiteral("%1 takes a whole number >= %2, not %3")
                            .arg(QString::fromLocal8Bit(arg))
                            .arg(least)
                            .arg(QString::fromLocal8Bit(argv[i + 1])));
        (arg == "--ctx" ? ctx : rounds) = *n;
    }
    if (path.isEmpty())
        return fail(QStringLiteral("--model FILE is required (see --help)"));
    const QFileInfo file(path);
    if (!file.isFile() || !file.isReadable())
        return fail(QStringLiteral("cannot read the model file %1").arg(path));

    const QString models = scratch.folder.path() + QStringLiteral("/models");
    const QString loaded = models + QStringLiteral("/bench.gguf");
    const QString pristine = scratch.folder.path() + QStringLiteral("/pristine.gguf");
    if (!QDir().mkpath(models) || !QFile::copy(path, loaded) || !QFile::copy(path, pristine))
        return fail(QStringLiteral("cannot copy %1 into a temporary folder").arg(path));
    ModelStore store(models);
    if (store.models().size() != 1 || !store.models()[0].discoveredMetadata)
        return fail(QStringLiteral("%1 is not a model file").arg(path));
    ModelInfo info = store.models()[0];
    info.contextMode = QStringLiteral("manual");
    info.contextSizeManual = ctx;
    LlamaSession session(&store);
    const QByteArray target = QFile::encodeName(loaded), source = QFile::encodeName(pristine);

    std::printf("model: %s, context %ld, %ld rounds per case\n", qPrintable(path), ctx, rounds);
    enum class Case { idle, streaming, busy };
    for (const Case kind : {Case::idle, Case::streaming, Case::busy}) {
        const bool streaming = kind != Case::idle;
        std::vector<double> held;
        for (long r = 0; r < rounds; ++r) {
            if (!cvn::bench::loadAndWait(session, info, "cvn-bench-file-lease"))
                return 1;
            SessionTask reply;
            if (streaming) {
                reply = session.send(QStringLiteral("Write a long story about the sea."));
                pumpUntil([&] { return reply.isFinished() || !session.turns().last().content.isEmpty(); });
                if (reply.isFinished()) {
                    std::fprintf(stderr, "cvn-bench-file-lease: the reply ended before the writer came\n");
                    return 1;
                }
            }
            const int64_t ns = writeOver(target, source, kind == Case::busy);
            if (ns < 0)
                return fail(QStringLiteral("the writer could not open %1").arg(loaded));
            pumpUntil([&] { return reply.isFinished(); });
            if (!session.model() || !session.model()->isFreed()) {
                std::fprintf(stderr, "cvn-bench-file-lease: the model did not let go of its file (no lease here?)\n");
                return 1;
            }
            held.push_back(double(ns) / 1e6);
            session.resetConversation();
        }
        const char* name = kind == Case::idle ? "idle" : kind == Case::streaming ? "reply streaming"
                                                                                 : "reply streaming, main thread busy";
        std::printf("%s: writer held median %.3f ms, max %.3f ms\n", name,
                    cvn::bench::median(held), *std::max_element(held.begin(), held.end()));
        std::fflush(stdout);
    }
    return 0;
}

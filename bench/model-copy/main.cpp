// cvn-bench-copy [--size-mib N] [--rounds R]
//
// Copies one N MiB file (2048 by default) with ModelCopier and with cp,
// alternating, into a scratch folder beside the models folder (so on the same
// file system), and prints both throughputs and "ratio <copier/cp>". Pending
// writes are flushed with sync between runs so that one run's write-back does
// not slow the next; the source stays in the page cache for both. The scratch
// folder is removed at the end.
//
// --help prints the usage; an unknown option or a value that is not a whole
// number of at least 1 is one line on stderr and exit status 2.

#include "BenchTiming.h"
#include "models/ModelCopier.h"
#include "platform/AppPaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace cvn;

using cvn::bench::median;

namespace {

constexpr int64_t MiB = 1048576;

bool writeSource(const QString& path, int64_t sizeMib)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(MiB, Qt::Uninitialized);
    QRandomGenerator generator(7);
    for (int64_t i = 0; i < sizeMib; ++i) {
        generator.fillRange(reinterpret_cast<quint32*>(block.data()), MiB / 4);
        if (file.write(block) != MiB)
            return false;
    }
    return true;
}

const char* const kUsage = "usage: cvn-bench-copy [--size-mib N] [--rounds R]\n";

int usageError(const QString& why)
{
    std::fprintf(stderr, "cvn-bench-copy: %s (see --help)\n", qPrintable(why));
    return 2;
}

void settle()
{
    QProcess::execute(QStringLiteral("sync"), {});
}

// Seconds for one ModelCopier import, or a negative value on failure.
double timeCopier(ModelCopier& copier, const QString& source)
{
    QEventLoop loop;
    std::optional<QString> result;
    QElapsedTimer clock;
    clock.start();
    copier.importModel(source, [&](std::optional<QString> destination) {
        result = destination;
        loop.quit();
    });
    loop.exec();
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    if (!result)
        return -1;
    QFile::remove(*result);
    return seconds;
}

double timeCp(const QString& source, const QString& destination)
{
    QElapsedTimer clock;
    clock.start();
    const int code = QProcess::execute(QStringLiteral("cp"), {source, destination});
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    QFile::remove(destination);
    return code == 0 ? seconds : -1;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int64_t sizeMib = 2048;
    int rounds = 3;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg != QLatin1String("--size-mib") && arg != QLatin1String("--rounds"))
            return usageError(QStringLiteral("unknown option ") + arg);
        if (i + 1 >= args.size())
            return usageError(QStringLiteral("missing value for ") + arg);
        bool ok = false;
        const qlonglong value = args[++i].toLongLong(&ok);
        if (!ok || value < 1 || value > 1'000'000)
            return usageError(arg + QStringLiteral(" takes a whole number from 1 to 1000000, not ") + args[i]);
        if (arg == QLatin1String("--size-mib"))
            sizeMib = value;
        else
            rounds = int(value);
    }

    QTemporaryDir scratch(appDataFolder() + QStringLiteral("/bench-copy-XXXXXX"));
    if (!scratch.isValid()) {
        std::fprintf(stderr, "cannot make a scratch folder in %s\n", qPrintable(appDataFolder()));
        return 1;
    }
    const QString source = scratch.filePath(QStringLiteral("source.gguf"));
    const QString models = scratch.filePath(QStringLiteral("models"));
    QDir().mkpath(models);
    if (!writeSource(source, sizeMib)) {
        std::fprintf(stderr, "cannot write the %lld MiB source\n", static_cast<long long>(sizeMib));
        return 1;
    }
    std::printf("copying %lld MiB in %s, %d rounds\n", static_cast<long long>(sizeMib), qPrintable(models), rounds);

    ModelCopier copier(models);
    std::vector<double> copierRates, cpRates;
    for (int round = 0; round < rounds; ++round) {
        settle();
        const double a = timeCopier(copier, source);
        settle();
        const double b = timeCp(source, models + QStringLiteral("/cp.gguf"));
        if (a <= 0 || b <= 0) {
            std::fprintf(stderr, "a copy failed\n");
            return 1;
        }
        copierRates.push_back(double(sizeMib) / a);
        cpRates.push_back(double(sizeMib) / b);
        std::printf("round %d: copier %.0f MiB/s, cp %.0f MiB/s\n", round + 1, copierRates.back(), cpRates.back());
    }
    const double copierRate = median(copierRates);
    const double cpRate = median(cpRates);
    std::printf("copier %.0f MiB/s (median)\n", copierRate);
    std::printf("cp %.0f MiB/s (median)\n", cpRate);
    std::printf("ratio %.2f\n", copierRate / cpRate);
    return 0;
}

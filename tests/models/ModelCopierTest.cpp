#include "models/ModelCopier.h"
#include "models/ModelStore.h"
#include "platform/Logging.h"
#include "support/TempEnv.h"
#include "support/Wait.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QThread>

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>

#include <atomic>
#include <functional>
#include <vector>

using namespace cvn;

namespace {

constexpr int64_t MiB = 1048576;

QByteArray randomBytes(int64_t size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(42);
    generator.fillRange(reinterpret_cast<quint32*>(bytes.data()), size / 4);
    return bytes;
}

QString writeSource(const QString& name, const QByteArray& bytes)
{
    const QString path = cvn::test::makeTempFolder("source") + u'/' + name;
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    return path;
}

QByteArray contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList entries(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
}

// A copy on this thread whose `atBlock` runs after every block.
ModelCopier::CopyResult copyWith(const QString& source, const QString& folder,
                                 const std::function<void(int64_t copied)>& atBlock, bool cancel = false)
{
    ModelCopier::BlockHooks hooks;
    hooks.blockWritten = [&](int64_t copied, double) { atBlock(copied); };
    hooks.isCancelled = [&] { return cancel; };
    return ModelCopier::copyFile(source, folder, hooks);
}

// Warnings of the runtime log, which the copier's thread writes to.
std::atomic<int> loggedWarnings{0};

void countWarnings(QtMsgType type, const QMessageLogContext& context, const QString&)
{
    if (type == QtWarningMsg && qstrcmp(context.category, lcRuntime().categoryName()) == 0)
        ++loggedWarnings;
}

// Everything the copier publishes, in arrival order, and its completions.
struct Observer {
    explicit Observer(ModelCopier& copier)
    {
        QObject::connect(&copier, &ModelCopier::progressChanged, &context, [this, &copier] {
            EXPECT_EQ(QThread::currentThread(), QCoreApplication::instance()->thread());
            seen.push_back(copier.progress());
        });
    }

    ModelCopier::Completion completion(ModelCopier& copier)
    {
        return [this, &copier](std::optional<QString> destination) {
            EXPECT_EQ(QThread::currentThread(), QCoreApplication::instance()->thread());
            EXPECT_FALSE(copier.progress()) << "the completion runs after progress is cleared";
            results.push_back(destination);
        };
    }

    bool finished(size_t count = 1) const { return cvn::test::waitUntil([&] { return results.size() >= count; }); }

    std::vector<int64_t> copiedSequence() const
    {
        std::vector<int64_t> copied;
        for (const auto& p : seen)
            copied.push_back(p ? p->copied : -1);
        return copied;
    }

    QObject context;
    std::vector<std::optional<CopyProgress>> seen;
    std::vector<std::optional<QString>> results;
};

// Polls `done` without running the event loop, so that nothing the worker
// posts is delivered meanwhile.
bool untilNoEvents(const std::function<bool()>& done)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < 10000)
        QThread::yieldCurrentThread();
    return done();
}

} // namespace

TEST(ModelCopier, UniqueDestinationsAndByteCounts)
{
    const QString folder = cvn::test::makeTempFolder("unique");
    EXPECT_EQ(ModelCopier::uniqueDestination("/src/x.gguf", folder), folder + "/x.gguf");
    QFile(folder + "/x.gguf").open(QIODevice::WriteOnly);
    QFile(folder + "/x (2).gguf").open(QIODevice::WriteOnly);
    EXPECT_EQ(ModelCopier::uniqueDestination("/src/x.gguf", folder), folder + "/x (3).gguf");

    QFile(folder + "/model").open(QIODevice::WriteOnly);
    EXPECT_EQ(ModelCopier::uniqueDestination("/src/model", folder), folder + "/model (2)");
    QDir().mkpath(folder + "/y.gguf");
    EXPECT_EQ(ModelCopier::uniqueDestination("/src/y.gguf", folder), folder + "/y (2).gguf");
    QFile(folder + "/a.b.gguf").open(QIODevice::WriteOnly);
    EXPECT_EQ(ModelCopier::uniqueDestination("/src/a.b.gguf", folder), folder + "/a.b (2).gguf");
    // A dangling symlink takes its name too (an exclusive create there fails).
    ASSERT_TRUE(QFile::link(folder + "/nowhere", folder + "/z.gguf"));
    EXPECT_EQ(ModelCopier::uniqueDestination("/src/z.gguf", folder), folder + "/z (2).gguf");

    EXPECT_EQ(ModelCopier::formatByteCount(0), "0 B");
    EXPECT_EQ(ModelCopier::formatByteCount(1023), "1023 B");
    EXPECT_EQ(ModelCopier::formatByteCount(1024), "1 KB");
    EXPECT_EQ(ModelCopier::formatByteCount(1536), "1.5 KB");
    EXPECT_EQ(ModelCopier::formatByteCount(1048576), "1 MB");
    EXPECT_EQ(ModelCopier::formatByteCount(1610612736), "1.5 GB");
    EXPECT_EQ(ModelCopier::formatByteCount(5000000000), "4.7 GB");
    EXPECT_EQ(ModelCopier::formatByteCount(int64_t(1) << 50), "1024 TB");
}

TEST(ModelCopier, CopiesBlockByBlockWithOrderedProgress)
{
    const QByteArray bytes = randomBytes(3 * MiB);
    const QString source = writeSource("model.gguf", bytes);
    const QString folder = cvn::test::makeTempFolder("copy") + "/models";
    ModelCopier copier(folder);
    Observer observer(copier);

    copier.importModel(source, observer.completion(copier));
    ASSERT_TRUE(copier.progress());
    EXPECT_EQ(*copier.progress(), (CopyProgress{0, 3 * MiB, 0.0}));
    ASSERT_TRUE(observer.finished());

    EXPECT_EQ(observer.copiedSequence(), (std::vector<int64_t>{0, MiB, 2 * MiB, 3 * MiB, -1}));
    for (size_t i = 1; i + 1 < observer.seen.size(); ++i) {
        EXPECT_EQ(observer.seen[i]->total, 3 * MiB);
        EXPECT_GT(observer.seen[i]->mbPerSec, 0.0);
    }
    ASSERT_EQ(observer.results.size(), 1u);
    EXPECT_EQ(observer.results[0], folder + "/model.gguf");
    EXPECT_TRUE(contents(folder + "/model.gguf") == bytes);

    // The same source again, and an empty one: new names, both complete.
    const QString empty = writeSource("empty.gguf", {});
    copier.importModel(source, observer.completion(copier));
    copier.importModel(empty, observer.completion(copier));
    ASSERT_TRUE(observer.finished(3));
    EXPECT_EQ(observer.results[1], folder + "/model (2).gguf");
    EXPECT_EQ(observer.results[2], folder + "/empty.gguf");
    EXPECT_TRUE(contents(folder + "/model (2).gguf") == bytes);
    EXPECT_TRUE(QFileInfo(folder + "/empty.gguf").isFile());
    EXPECT_EQ(QFileInfo(folder + "/empty.gguf").size(), 0);
    EXPECT_FALSE(copier.progress());
}

TEST(ModelCopier, NamedOnlyWhenWholeAndNeverOverAFileThatAppeared)
{
    const QByteArray bytes = randomBytes(3 * MiB);
    const QString source = writeSource("model.gguf", bytes);
    const QString folder = cvn::test::makeTempFolder("whole") + "/models";
    ModelStore store(folder);

    // Midway, as a kill would leave it: one hidden file, nothing the scan lists.
    QStringList midway;
    qsizetype listed = -1;
    const ModelCopier::CopyResult result = copyWith(source, folder, [&](int64_t copied) {
        if (copied != MiB)
            return;
        midway = entries(folder);
        listed = store.scanModelsFolder().size();
        QFile theirs(folder + "/model.gguf");
        ASSERT_TRUE(theirs.open(QIODevice::WriteOnly | QIODevice::NewOnly));
        theirs.write("theirs");
    });
    ASSERT_EQ(midway.size(), 1);
    EXPECT_TRUE(ModelCopier::isPartialCopy(midway[0])) << midway[0].toStdString();
    EXPECT_TRUE(midway[0].startsWith(u'.'));
    EXPECT_EQ(listed, 0);

    EXPECT_EQ(result.destination, folder + "/model (2).gguf");
    EXPECT_EQ(result.failure, "");
    EXPECT_TRUE(contents(folder + "/model (2).gguf") == bytes);
    EXPECT_EQ(contents(folder + "/model.gguf"), "theirs");
    EXPECT_EQ(entries(folder), (QStringList{"model (2).gguf", "model.gguf"}));
}

TEST(ModelCopier, SourceThatChangesSizeMidCopyFailsAndACancelIsNoFailure)
{
    const QString folder = cvn::test::makeTempFolder("resized") + "/models";
    for (const int64_t newSize : {MiB + MiB / 2, MiB, int64_t(0), 3 * MiB + 100}) {
        const QString source = writeSource("model.gguf", randomBytes(3 * MiB));
        const ModelCopier::CopyResult result = copyWith(source, folder, [&](int64_t copied) {
            if (copied == MiB) {
                ASSERT_TRUE(QFile::resize(source, newSize));
            }
        });
        EXPECT_EQ(result.destination, std::nullopt) << newSize;
        EXPECT_TRUE(result.failure.contains("changed size")) << result.failure.toStdString();
        EXPECT_EQ(entries(folder), QStringList()) << newSize;
    }

    const QString source = writeSource("model.gguf", randomBytes(2 * MiB));
    const ModelCopier::CopyResult cancelled = copyWith(source, folder, [](int64_t) {}, true);
    EXPECT_EQ(cancelled.destination, std::nullopt);
    EXPECT_EQ(cancelled.failure, "");
    EXPECT_EQ(entries(folder), QStringList());
}

TEST(ModelCopier, StoreStartRemovesWhatKilledCopiesLeft)
{
    const QString folder = cvn::test::makeTempFolder("stale");
    for (const char* name : {".partial-copy-1f2e", ".partial-copy-", ".hidden.gguf", "a.gguf", "partial-copy-2"})
        QFile(folder + u'/' + QLatin1String(name)).open(QIODevice::WriteOnly);
    QDir().mkpath(folder + "/sub");
    QFile(folder + "/sub/.partial-copy-77").open(QIODevice::WriteOnly);

    ModelStore store(folder);
    EXPECT_EQ(entries(folder), (QStringList{".hidden.gguf", "a.gguf", "partial-copy-2", "sub"}));
    EXPECT_EQ(entries(folder + "/sub"), QStringList{".partial-copy-77"}) << "only the folder copies go into";
}

TEST(ModelCopier, FailuresAndCancelsLeaveNoFile)
{
    const QString folder = cvn::test::makeTempFolder("fail") + "/models";
    ModelCopier copier(folder);
    Observer observer(copier);
    loggedWarnings = 0;
    const QtMessageHandler previous = qInstallMessageHandler(countWarnings);

    // A cancel pressed after the worker named the copy, while the main thread
    // still shows it running, wins: the file goes.
    const QString source = writeSource("big.gguf", randomBytes(8 * MiB));
    copier.importModel(source, observer.completion(copier));
    ASSERT_TRUE(untilNoEvents([&] { return entries(folder) == QStringList{"big.gguf"}; }));
    copier.cancel();
    ASSERT_TRUE(observer.finished(1));
    EXPECT_EQ(observer.results[0], std::nullopt);
    EXPECT_FALSE(observer.seen.back());
    EXPECT_EQ(loggedWarnings, 0) << "a cancel is not a failure";

    copier.importModel(folder + "/../missing.gguf", observer.completion(copier));
    EXPECT_EQ(*copier.progress(), (CopyProgress{0, 0, 0.0}));
    EXPECT_FALSE(copier.isCancelled()) << "a new copy clears the cancel";
    ASSERT_TRUE(observer.finished(2));
    EXPECT_EQ(observer.results[1], std::nullopt);
    EXPECT_EQ(loggedWarnings, 1);
    qInstallMessageHandler(previous);

    // Neither a FIFO (which would block a plain open) nor a folder is copied.
    const QString fifo = cvn::test::makeTempFolder("fifo") + "/pipe.gguf";
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    copier.importModel(fifo, observer.completion(copier));
    copier.importModel(QFileInfo(source).path(), observer.completion(copier));
    ASSERT_TRUE(observer.finished(4));
    EXPECT_EQ(observer.results[2], std::nullopt);
    EXPECT_EQ(observer.results[3], std::nullopt);

    EXPECT_EQ(entries(folder), QStringList());
    EXPECT_FALSE(copier.progress());
}

TEST(ModelCopier, DestroyedMidCopyStopsCleanly)
{
    const QString source = writeSource("large.gguf", randomBytes(50 * MiB));
    const QString folder = cvn::test::makeTempFolder("destroy") + "/models";
    int completions = 0;
    {
        auto copier = std::make_unique<ModelCopier>(folder);
        copier->importModel(source, [&](std::optional<QString>) { ++completions; });
        ASSERT_TRUE(untilNoEvents([&] { return !entries(folder).isEmpty(); }));
        copier.reset();
    }
    // The worker has stopped; whatever it posted before must not run. Where
    // it stood is up to the disk: no partial file is left, and a copy that
    // got its name first is whole.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(completions, 0);
    const QStringList left = entries(folder);
    EXPECT_TRUE(left.isEmpty() || (left == QStringList{"large.gguf"} && QFileInfo(folder + "/large.gguf").size() == 50 * MiB))
        << left.join(", ").toStdString();
}

TEST(ModelCopier, AWriteThatFailsOnAFullDiskLeavesNothing)
{
    const QString source = writeSource("model.gguf", randomBytes(3 * MiB));
    const QString folder = cvn::test::makeTempFolder("full") + "/models";
    // A file-size limit fails writes past 2 MiB with EFBIG, as a full disk
    // fails them with ENOSPC.
    const auto previousHandler = ::signal(SIGXFSZ, SIG_IGN);
    rlimit previous{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previous), 0);
    rlimit limited = previous;
    limited.rlim_cur = 2 * MiB;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    std::vector<int64_t> blocks;
    const ModelCopier::CopyResult result = copyWith(source, folder, [&](int64_t copied) { blocks.push_back(copied); });
    ::setrlimit(RLIMIT_FSIZE, &previous);
    ::signal(SIGXFSZ, previousHandler);

    EXPECT_EQ(blocks, (std::vector<int64_t>{MiB, 2 * MiB}));
    EXPECT_EQ(result.destination, std::nullopt);
    EXPECT_EQ(result.failure, "a read or write failed");
    EXPECT_EQ(entries(folder), QStringList());
}

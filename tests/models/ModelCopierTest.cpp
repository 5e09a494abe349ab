#include "models/ModelCopier.h"
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

#include <sys/stat.h>

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

TEST(ModelCopier, FailuresAndCancelsLeaveNoFile)
{
    const QString folder = cvn::test::makeTempFolder("fail") + "/models";
    ModelCopier copier(folder);
    Observer observer(copier);

    const QString source = writeSource("big.gguf", randomBytes(8 * MiB));
    copier.importModel(source, observer.completion(copier));
    copier.cancel();
    ASSERT_TRUE(observer.finished(1));
    EXPECT_EQ(observer.results[0], std::nullopt);
    EXPECT_FALSE(observer.seen.back());

    copier.importModel(folder + "/../missing.gguf", observer.completion(copier));
    EXPECT_EQ(*copier.progress(), (CopyProgress{0, 0, 0.0}));
    EXPECT_FALSE(copier.isCancelled()) << "a new copy clears the cancel";
    ASSERT_TRUE(observer.finished(2));
    EXPECT_EQ(observer.results[1], std::nullopt);

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
        // Wait, without running the event loop, until the worker is writing.
        QElapsedTimer clock;
        clock.start();
        const QString destination = folder + "/large.gguf";
        while (QFileInfo(destination).size() == 0 && clock.elapsed() < 5000) {
        }
        EXPECT_LT(QFileInfo(destination).size(), 50 * MiB);
        copier.reset();
    }
    // Whatever the worker posted before it stopped must not run.
    cvn::test::waitUntil([] { return false; }, 100);
    EXPECT_EQ(completions, 0);
    EXPECT_EQ(entries(folder), QStringList());
}

#include "Fakes.h"
#include "models/GgufWriter.h"
#include "models/ModelStore.h"
#include "models/SystemFacts.h"
#include "support/TempEnv.h"
#include "support/Wait.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

namespace cvn {
namespace {

using test::memory;

QList<QUrl> urls(const QStringList& paths)
{
    QList<QUrl> out;
    for (const QString& p : paths)
        out.append(QUrl::fromLocalFile(p));
    return out;
}

struct Road {
    explicit Road(SystemFacts facts = memory(60000, 65536)) : override(facts) {}
    SystemFacts::Override override;
    QString source = test::makeTempFolder("source");
    ModelStore store{test::makeTempFolder("models")};
    test::FakeCopier copier;
    ModelImport import{store, copier};

    // The copy lands in the models folder, as the real copier would put it.
    void land()
    {
        const QString destination = QDir(store.folder()).filePath(QFileInfo(copier.sources.last()).fileName());
        QFile::copy(copier.sources.last(), destination);
        copier.finish({destination, {}});
    }
    QString message() const { return import.message() ? import.message()->title : QString(); }
};

TEST(ModelImport, DropTakesTheFirstGgufInAnyCase)
{
    Road road;
    test::writeModel(road.store.folder(), "zeta.gguf");
    road.store.reload();
    const QString b = test::writeModel(road.source, "b.gguf");
    QFile(road.source + "/a.txt").open(QIODevice::WriteOnly);
    ASSERT_TRUE(road.import.drop(urls({road.source + "/a.txt", b, test::writeModel(road.source, "d.gguf")})));
    EXPECT_EQ(road.copier.sources, QStringList{b});
    EXPECT_TRUE(road.import.isBusy());
    road.land();
    EXPECT_EQ(road.message(), QString());
    EXPECT_FALSE(road.import.isBusy());
    ASSERT_EQ(road.store.models().size(), 2);
    EXPECT_EQ(road.store.models().last().displayName, QStringLiteral("b")) << "appended, not sorted";

    const QString upper = test::writeModel(road.source, "B2.GGUF");
    ASSERT_TRUE(road.import.drop(urls({upper})));
    EXPECT_EQ(road.copier.sources.last(), upper);
}

TEST(ModelImport, FilesThatAreNotModelsGetTheirMessage)
{
    Road road;
    EXPECT_FALSE(road.import.drop({QUrl(QStringLiteral("https://example.com/x.gguf"))})) << "no local file";
    EXPECT_EQ(road.message(), QString());

    ASSERT_TRUE(road.import.drop(urls({road.source + "/notes.txt"})));
    EXPECT_EQ(road.import.message(),
              (ModelImport::Message{"Not a model file", "Drop a .gguf file to add it. Nothing else can be loaded here."}));
    road.import.dismissMessage();
    EXPECT_EQ(road.message(), QString());

    // By name or by header.
    road.import.drop(urls({test::writeModel(road.source, "eyes.gguf", "clip")}));
    EXPECT_EQ(road.message(), QStringLiteral("Vision adapter, not a model"));
    road.import.dismissMessage();
    road.import.drop(urls({test::writeModel(road.source, "mmproj-x.gguf")}));
    EXPECT_EQ(road.import.message()->body,
              QStringLiteral("mmproj-x.gguf is a vision adapter, not a model. Load the paired main GGUF instead "
                             "(e.g. Qwen3-2B-Uncensored-Q4_K_M.gguf). Corvanthelis does not use vision adapters "
                             "yet, so this file can stay in the folder or be removed."));
    EXPECT_TRUE(road.copier.sources.isEmpty());
}

TEST(ModelImport, RamWarningAsksOnceAndRefusesAnotherFileMeanwhile)
{
    Road road(memory(4000, 16384));
    // A sparse 3 GiB file without a GGUF header.
    const QString big = test::GgufWriter().raw("not a header").hole(3LL << 30).writeTo(road.source, "big.gguf");
    const QString small = test::writeModel(road.source, "small.gguf");
    ASSERT_TRUE(road.import.drop(urls({big})));
    ASSERT_TRUE(road.import.pendingAdd());
    EXPECT_EQ(road.import.pendingAdd()->warning.title,
              QStringLiteral("This model fits your Mac, but you need to free up RAM"));
    road.import.cancelPending();
    EXPECT_FALSE(road.import.pendingAdd());

    road.import.addFile(big);
    // Neither a drop nor the dialog's file may start a copy while the warning waits.
    EXPECT_FALSE(road.import.drop(urls({small})));
    road.import.addFile(small);
    road.import.confirmPending();
    road.import.confirmPending();
    EXPECT_EQ(road.copier.sources, QStringList{big});
    EXPECT_FALSE(road.import.pendingAdd());
    // Nor while the copy runs.
    EXPECT_FALSE(road.import.drop(urls({small})));
    road.import.addFile(small);
    EXPECT_EQ(road.copier.sources.size(), 1);
}

TEST(ModelImport, CancelIsSilentAndFailureIsReported)
{
    Road road;
    const QString b = test::writeModel(road.source, "b.gguf");
    road.import.drop(urls({b}));
    road.import.cancelCopy();
    EXPECT_EQ(road.copier.cancels, 1);
    road.copier.finish({std::nullopt, {}});
    EXPECT_EQ(road.message(), QString());
    EXPECT_FALSE(road.import.isBusy());

    road.import.drop(urls({b}));
    road.copier.finish({std::nullopt, QStringLiteral("No space left on device")});
    EXPECT_EQ(road.import.message(), (ModelImport::Message{"Could not add that file", "No space left on device"}));
    EXPECT_TRUE(road.store.models().isEmpty());
}

QStringList* capturedLines = nullptr;
void capture(QtMsgType, const QMessageLogContext& context, const QString& message)
{
    if (capturedLines && QLatin1String(context.category) == QLatin1String("org.corvanthelis.models.runtime"))
        capturedLines->append(message);
}

TEST(ModelImport, AnAddedModelIsLogged)
{
    Road road;
    QStringList lines;
    capturedLines = &lines;
    const QtMessageHandler previous = qInstallMessageHandler(capture);
    road.import.drop(urls({test::writeModel(road.source, "b.gguf")}));
    road.land();
    qInstallMessageHandler(previous);
    capturedLines = nullptr;
    EXPECT_EQ(lines, QStringList{"Model added: arch=llama trained_ctx=4096 planned_ctx=4096 file=b.gguf"});
}

TEST(ModelImport, TheApplicationCopierTellsFailureFromSuccess)
{
    SystemFacts::Override facts(memory(60000, 65536));
    const QString source = test::makeTempFolder("source");
    ModelStore store(test::makeTempFolder("models"));
    ModelCopier copier(store.folder());
    ModelCopierImport adapter(copier);
    ModelImport import(store, adapter);

    import.addFile(test::writeModel(source, "real.gguf"));
    ASSERT_TRUE(test::waitUntil([&] { return !import.isCopying(); }));
    ASSERT_EQ(store.models().size(), 1);
    EXPECT_TRUE(QFileInfo::exists(QDir(store.folder()).filePath("real.gguf")));

    // A source that vanished before its copy: a failure, reported.
    import.addFile(source + "/gone.gguf");
    ASSERT_TRUE(test::waitUntil([&] { return !import.isCopying(); }));
    EXPECT_EQ(import.message(),
              (ModelImport::Message{"Could not add that file", "Cannot open the source as a regular file."}));
    EXPECT_EQ(store.models().size(), 1);
}

} // namespace
} // namespace cvn

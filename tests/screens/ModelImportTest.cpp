#include "Fakes.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

namespace cvn {
namespace {

using test::memory;
using test::Road;

QList<QUrl> urls(const QStringList& paths)
{
    QList<QUrl> out;
    for (const QString& p : paths)
        out.append(QUrl::fromLocalFile(p));
    return out;
}

TEST(ModelImport, DropTakesTheFirstGgufInAnyCaseAndAppendsIt)
{
    Road road(0, false);
    test::writeModel(road.folder, "zeta.gguf");
    road.store->reload();
    const QString b = test::writeModel(road.source, "b.gguf");
    QFile(road.source + "/a.txt").open(QIODevice::WriteOnly);
    ASSERT_TRUE(road.import->drop(urls({road.source + "/a.txt", b, test::writeModel(road.source, "d.gguf")})));
    EXPECT_EQ(road.copier.sources, QStringList{b});
    EXPECT_TRUE(road.import->isBusy());
    road.land();
    EXPECT_EQ(road.message(), QString());
    EXPECT_FALSE(road.import->isBusy());
    ASSERT_EQ(road.store->models().size(), 2);
    EXPECT_EQ(road.store->models().last().displayName, QStringLiteral("b")) << "appended, not sorted";

    const QString upper = test::writeModel(road.source, "B2.GGUF");
    ASSERT_TRUE(road.import->drop(urls({upper})));
    EXPECT_EQ(road.copier.sources.last(), upper);
}

TEST(ModelImport, FilesThatAreNotModelsGetTheirMessage)
{
    Road road(0, false);
    EXPECT_FALSE(road.import->drop({QUrl(QStringLiteral("https://example.com/x.gguf"))})) << "no local file";
    EXPECT_EQ(road.message(), QString());
    ASSERT_TRUE(road.import->drop(urls({road.source + "/notes.txt"})));
    EXPECT_EQ(road.import->message(),
              (ModelImport::Message{"Not a model file", "Drop a .gguf file to add it. Nothing else can be loaded here."}));

    // By header or by name.
    road.import->dismissMessage();
    road.import->drop(urls({test::writeModel(road.source, "eyes.gguf", "clip")}));
    EXPECT_EQ(road.message(), QStringLiteral("Vision adapter, not a model"));
    road.import->dismissMessage();
    road.import->drop(urls({test::writeModel(road.source, "mmproj-x.gguf")}));
    EXPECT_EQ(road.import->message()->body,
              QStringLiteral("mmproj-x.gguf is a vision adapter, not a model. Load the paired main GGUF instead "
                             "(e.g. Qwen3-2B-Uncensored-Q4_K_M.gguf). Corvanthelis does not use vision adapters "
                             "yet, so this file can stay in the folder or be removed."));
    EXPECT_TRUE(road.copier.sources.isEmpty());
}

TEST(ModelImport, RamWarningAsksOnceAndRefusesAnotherFileMeanwhile)
{
    Road road(0, false);
    SystemFacts::Override tight(memory(4000, 16384));
    // A sparse 3 GiB file without a GGUF header.
    const QString big = test::GgufWriter().raw("not a header").hole(3LL << 30).writeTo(road.source, "big.gguf");
    const QString small = test::writeModel(road.source, "small.gguf");
    ASSERT_TRUE(road.import->drop(urls({big})));
    ASSERT_TRUE(road.import->pendingAdd());
    EXPECT_EQ(road.import->pendingAdd()->warning.title,
              QStringLiteral("This model fits your Mac, but you need to free up RAM"));
    road.import->cancelPending();
    EXPECT_FALSE(road.import->pendingAdd());

    road.import->addFile(big);
    // Neither a drop nor the dialog's file may start a copy while the warning waits.
    EXPECT_FALSE(road.import->drop(urls({small})));
    road.import->addFile(small);
    road.import->confirmPending();
    road.import->confirmPending();
    EXPECT_EQ(road.copier.sources, QStringList{big});
    EXPECT_FALSE(road.import->pendingAdd());
    // Nor while the copy runs.
    EXPECT_FALSE(road.import->drop(urls({small})));
    road.import->addFile(small);
    EXPECT_EQ(road.copier.sources.size(), 1);
}

QStringList* capturedLines = nullptr;

TEST(ModelImport, AnAddedModelIsLogged)
{
    Road road(0, false);
    QStringList lines;
    capturedLines = &lines;
    const QtMessageHandler previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext& context,
                                                                const QString& message) {
        if (QLatin1String(context.category) == QLatin1String("org.corvanthelis.models.runtime"))
            capturedLines->append(message);
    });
    road.import->drop(urls({test::writeModel(road.source, "b.gguf")}));
    road.land();
    qInstallMessageHandler(previous);
    EXPECT_EQ(lines, QStringList{"Model added: arch=llama trained_ctx=4096 planned_ctx=4096 file=b.gguf"});
}

TEST(ModelImport, TheApplicationCopierTellsFailureFromSuccess)
{
    Road road(0, false);
    ModelCopier copier(road.folder);
    ModelCopierImport adapter(copier);
    ModelImport import(*road.store, adapter);
    import.addFile(test::writeModel(road.source, "real.gguf"));
    ASSERT_TRUE(test::waitUntil([&] { return !import.isCopying(); }));
    ASSERT_EQ(road.store->models().size(), 1);
    EXPECT_TRUE(QFileInfo::exists(QDir(road.folder).filePath("real.gguf")));

    // A source that vanished before its copy: a failure, reported.
    import.addFile(road.source + "/gone.gguf");
    ASSERT_TRUE(test::waitUntil([&] { return !import.isCopying(); }));
    EXPECT_EQ(import.message(),
              (ModelImport::Message{"Could not add that file", "Cannot open the source as a regular file."}));
    EXPECT_EQ(road.store->models().size(), 1);
}

} // namespace
} // namespace cvn

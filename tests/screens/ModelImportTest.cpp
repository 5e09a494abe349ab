#include "ImportFakes.h"
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

using test::FakeCopier;

SystemFacts memory(int64_t freeMb, int64_t totalMb)
{
    SystemFacts facts;
    facts.rig.ramFreeMb = freeMb;
    facts.rig.ramTotalMb = totalMb;
    return facts;
}

QString writeGguf(const QString& folder, const QString& name, const QByteArray& arch = "llama",
                  uint32_t context = 4096)
{
    test::GgufWriter w;
    w.string("general.architecture", arch).u32(arch + ".context_length", context);
    w.u32(arch + ".block_count", 32).u32(arch + ".embedding_length", 4096);
    w.u32(arch + ".attention.head_count", 32).u32(arch + ".attention.head_count_kv", 8);
    return w.writeTo(folder, name);
}

QString touch(const QString& folder, const QString& name)
{
    QFile file(QDir(folder).filePath(name));
    file.open(QIODevice::WriteOnly);
    file.write("x");
    return file.fileName();
}

struct Road {
    QString source = test::makeTempFolder("source");
    ModelStore store{test::makeTempFolder("models")};
    FakeCopier copier;
    ModelImport import{store, copier};

    // The copy lands in the models folder, as the real copier would put it.
    void land()
    {
        const QString source = copier.sources.last();
        const QString destination = QDir(store.folder()).filePath(QFileInfo(source).fileName());
        QFile::copy(source, destination);
        copier.finish({destination, {}});
    }
    QStringList names() const
    {
        QStringList out;
        for (const ModelInfo& m : store.models())
            out.append(m.displayName);
        return out;
    }
};

QList<QUrl> urls(const QStringList& paths)
{
    QList<QUrl> out;
    for (const QString& p : paths)
        out.append(QUrl::fromLocalFile(p));
    return out;
}

TEST(ModelImport, DropTakesTheFirstGgufInAnyCase)
{
    SystemFacts::Override facts(memory(60000, 65536));
    Road road;
    writeGguf(road.store.folder(), "zeta.gguf");
    road.store.reload();
    const QString b = writeGguf(road.source, "b.gguf");
    ASSERT_TRUE(road.import.drop(urls({touch(road.source, "a.txt"), b, touch(road.source, "c.pdf"),
                                       writeGguf(road.source, "d.gguf")})));
    EXPECT_EQ(road.copier.sources, QStringList{b});
    EXPECT_TRUE(road.import.isBusy());
    road.land();
    EXPECT_FALSE(road.import.message());
    EXPECT_FALSE(road.import.isBusy());
    EXPECT_EQ(road.names(), (QStringList{"zeta", "b"})) << "appended, not sorted";

    const QString upper = writeGguf(road.source, "B2.GGUF");
    ASSERT_TRUE(road.import.drop(urls({upper})));
    EXPECT_EQ(road.copier.sources.last(), upper);
}

TEST(ModelImport, FilesThatAreNotModelsGetTheirMessage)
{
    SystemFacts::Override facts(memory(60000, 65536));
    Road road;
    EXPECT_FALSE(road.import.drop({QUrl(QStringLiteral("https://example.com/x.gguf"))})) << "no local file";
    EXPECT_FALSE(road.import.message());

    ASSERT_TRUE(road.import.drop(urls({touch(road.source, "notes.txt")})));
    EXPECT_EQ(road.import.message(),
              (ModelImport::Message{"Not a model file", "Drop a .gguf file to add it. Nothing else can be loaded here."}));
    road.import.dismissMessage();
    EXPECT_FALSE(road.import.message());

    for (const QString& path : {writeGguf(road.source, "mmproj-x.gguf"), writeGguf(road.source, "eyes.gguf", "clip")}) {
        ASSERT_TRUE(road.import.drop(urls({path})));
        ASSERT_TRUE(road.import.message());
        EXPECT_EQ(road.import.message()->title, QStringLiteral("Vision adapter, not a model"));
        road.import.dismissMessage();
    }
    road.import.drop(urls({writeGguf(road.source, "mmproj-x.gguf")}));
    EXPECT_EQ(road.import.message()->body,
              QStringLiteral("mmproj-x.gguf is a vision adapter, not a model. Load the paired main GGUF instead "
                             "(e.g. Qwen3-2B-Uncensored-Q4_K_M.gguf). Corvanthelis does not use vision adapters "
                             "yet, so this file can stay in the folder or be removed."));
    EXPECT_TRUE(road.copier.sources.isEmpty());
}

TEST(ModelImport, RamWarningAsksOnceAndRefusesAnotherFileMeanwhile)
{
    SystemFacts::Override facts(memory(4000, 16384));
    Road road;
    // A sparse 3 GiB file without a GGUF header.
    const QString big = test::GgufWriter().raw("not a header").hole(3LL << 30).writeTo(road.source, "big.gguf");
    ASSERT_TRUE(road.import.drop(urls({big})));
    ASSERT_TRUE(road.import.pendingAdd());
    EXPECT_EQ(road.import.pendingAdd()->warning.title,
              QStringLiteral("This model fits your Mac, but you need to free up RAM"));
    EXPECT_EQ(road.import.pendingAdd()->warning.confirmText, QStringLiteral("ADD ANYWAY"));
    road.import.cancelPending();
    EXPECT_FALSE(road.import.pendingAdd());
    EXPECT_TRUE(road.copier.sources.isEmpty());

    road.import.addFile(big);
    ASSERT_TRUE(road.import.pendingAdd());
    // Neither a drop nor the dialog's file may start a copy while the warning waits.
    EXPECT_FALSE(road.import.drop(urls({writeGguf(road.source, "small.gguf")})));
    road.import.addFile(writeGguf(road.source, "small.gguf"));
    road.import.confirmPending();
    road.import.confirmPending();
    EXPECT_EQ(road.copier.sources, QStringList{big});
    EXPECT_FALSE(road.import.pendingAdd());

    // Nor while the copy runs.
    EXPECT_FALSE(road.import.drop(urls({writeGguf(road.source, "small.gguf")})));
    road.import.addFile(writeGguf(road.source, "small.gguf"));
    EXPECT_EQ(road.copier.sources.size(), 1);
}

TEST(ModelImport, CancelIsSilentAndFailureIsReported)
{
    SystemFacts::Override facts(memory(60000, 65536));
    Road road;
    road.import.drop(urls({writeGguf(road.source, "b.gguf")}));
    road.import.cancelCopy();
    EXPECT_EQ(road.copier.cancels, 1);
    road.copier.finish({std::nullopt, {}});
    EXPECT_FALSE(road.import.message());
    EXPECT_FALSE(road.import.isBusy());
    EXPECT_TRUE(road.store.models().isEmpty());

    road.import.drop(urls({writeGguf(road.source, "b.gguf")}));
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
    SystemFacts::Override facts(memory(60000, 65536));
    Road road;
    QStringList lines;
    capturedLines = &lines;
    const QtMessageHandler previous = qInstallMessageHandler(capture);
    road.import.drop(urls({writeGguf(road.source, "b.gguf", "llama", 4096)}));
    road.land();
    qInstallMessageHandler(previous);
    capturedLines = nullptr;
    EXPECT_TRUE(lines.contains(QStringLiteral("Model added: arch=llama trained_ctx=4096 planned_ctx=4096 file=b.gguf")))
        << lines.join('\n').toStdString();
}

TEST(ModelImport, TheApplicationCopierTellsFailureFromSuccess)
{
    SystemFacts::Override facts(memory(60000, 65536));
    const QString source = test::makeTempFolder("source");
    ModelStore store(test::makeTempFolder("models"));
    ModelCopier copier(store.folder());
    ModelCopierImport adapter(copier);
    ModelImport import(store, adapter);

    import.addFile(writeGguf(source, "real.gguf"));
    ASSERT_TRUE(test::waitUntil([&] { return !import.isCopying(); }));
    ASSERT_EQ(store.models().size(), 1);
    EXPECT_TRUE(QFileInfo::exists(QDir(store.folder()).filePath("real.gguf")));

    // A source that vanished before its copy: a failure, reported.
    const QString gone = writeGguf(source, "gone.gguf");
    QFile::remove(gone);
    import.addFile(gone);
    ASSERT_TRUE(test::waitUntil([&] { return !import.isCopying(); }));
    EXPECT_EQ(import.message(), (ModelImport::Message{"Could not add that file", ModelCopierImport::copyFailedReason}));
    EXPECT_EQ(store.models().size(), 1);
}

} // namespace
} // namespace cvn

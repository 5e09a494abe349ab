#include "GgufWriter.h"

#include "models/ModelStore.h"
#include "models/ProjectorPairing.h"
#include "support/TempEnv.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

using namespace cvn;
using cvn::test::GgufWriter;

namespace {

// A models folder of text models and projectors written as headers alone,
// scanned the way the app scans it.
class ProjectorPairingTest : public ::testing::Test {
protected:
    void model(const QString& name, uint32_t embd)
    {
        GgufWriter w;
        w.string("general.architecture", "llama").u32("llama.context_length", 4096).u32("llama.embedding_length", embd);
        w.writeTo(folder, name);
    }
    void projector(const QString& name, uint32_t width)
    {
        GgufWriter w;
        w.string("general.architecture", "clip").string("general.type", "mmproj");
        w.u32("clip.vision.projection_dim", width);
        w.writeTo(folder, name);
    }
    const ModelInfo& byFile(const ModelStore& store, const QString& name)
    {
        for (const ModelInfo& m : store.models()) {
            if (m.fileName == name)
                return m;
        }
        ADD_FAILURE() << "no record for " << name.toStdString();
        static const ModelInfo none;
        return none;
    }
    QString pairedWith(const ModelStore& store, const QString& name)
    {
        const std::optional<ModelInfo> p = ProjectorPairing::projectorFor(byFile(store, name), store.models());
        return p ? p->fileName : QStringLiteral("-");
    }

    QString folder = cvn::test::makeTempFolder(QStringLiteral("pairing"));
};

TEST_F(ProjectorPairingTest, AProjectorFitsByWidthAndThenByTheWordsItsNameShares)
{
    model("gemma-3-4b-it-Q4_K_M.gguf", 2560);
    model("Qwen2.5-3B-Instruct-Q8_0.gguf", 2048);
    model("llava-v1.5-7b-Q4_K.gguf", 4096);
    model("tinyllama-1.1b.gguf", 2048);
    projector("mmproj-gemma-3-4b-it-f16.gguf", 2560);
    projector("mmproj-gemma-3-12b-it-f16.gguf", 2560);
    projector("mmproj-model-f16.gguf", 4096);
    projector("mmproj-orphan.gguf", 1234);
    ModelStore store(folder);

    // The projector's width is read from its header; it is never a model's.
    EXPECT_EQ(byFile(store, "mmproj-gemma-3-4b-it-f16.gguf").projectionWidth, 2560);
    EXPECT_EQ(ProjectorPairing::fitting(byFile(store, "mmproj-model-f16.gguf"), store.models()).size(), 0);

    EXPECT_EQ(pairedWith(store, "gemma-3-4b-it-Q4_K_M.gguf"), "mmproj-gemma-3-4b-it-f16.gguf");
    // The only one of its width, though its name shares nothing.
    EXPECT_EQ(pairedWith(store, "llava-v1.5-7b-Q4_K.gguf"), "mmproj-model-f16.gguf");
    // Nothing of their width: no projector, whatever the names.
    EXPECT_EQ(pairedWith(store, "Qwen2.5-3B-Instruct-Q8_0.gguf"), "-");
    EXPECT_EQ(pairedWith(store, "tinyllama-1.1b.gguf"), "-");
    // A projector that fits no model pairs with none.
    for (const ModelInfo& m : store.models())
        EXPECT_NE(pairedWith(store, m.fileName), "mmproj-orphan.gguf");
}

TEST_F(ProjectorPairingTest, TheUsersChoiceHoldsWhileItFitsAndOutlivesARelaunch)
{
    model("gemma-3-4b-it-Q4_K_M.gguf", 2560);
    projector("mmproj-gemma-3-4b-it-f16.gguf", 2560);
    projector("mmproj-gemma-3-12b-it-f16.gguf", 2560);
    projector("mmproj-model-f16.gguf", 4096);
    {
        ModelStore store(folder);
        QList<ModelInfo> models = store.models();
        for (ModelInfo& m : models) {
            if (m.fileName == "gemma-3-4b-it-Q4_K_M.gguf")
                m.projectorChoice = "mmproj-gemma-3-12b-it-f16.gguf";
        }
        store.setModels(models);
        EXPECT_EQ(pairedWith(store, "gemma-3-4b-it-Q4_K_M.gguf"), "mmproj-gemma-3-12b-it-f16.gguf");
    }
    ModelStore again(folder);
    EXPECT_EQ(pairedWith(again, "gemma-3-4b-it-Q4_K_M.gguf"), "mmproj-gemma-3-12b-it-f16.gguf");

    ModelInfo gemma = byFile(again, "gemma-3-4b-it-Q4_K_M.gguf");
    gemma.projectorChoice = ModelInfo::noProjector;
    EXPECT_FALSE(ProjectorPairing::projectorFor(gemma, again.models()));
    // A choice that does not fit, or whose file is gone, falls back to the best fitting one.
    gemma.projectorChoice = "mmproj-model-f16.gguf";
    EXPECT_EQ(ProjectorPairing::projectorFor(gemma, again.models())->fileName, "mmproj-gemma-3-4b-it-f16.gguf");
    gemma.projectorChoice = "mmproj-gone.gguf";
    EXPECT_EQ(ProjectorPairing::projectorFor(gemma, again.models())->fileName, "mmproj-gemma-3-4b-it-f16.gguf");
}

} // namespace

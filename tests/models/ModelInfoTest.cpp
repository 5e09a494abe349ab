#include "models/ModelInfo.h"

#include <QSet>

#include <gtest/gtest.h>

using namespace cvn;

namespace {

ModelInfo named(const QString& displayName, const QString& fileName = {})
{
    ModelInfo m;
    m.displayName = displayName;
    m.fileName = fileName;
    return m;
}

ModelInfo withArchitecture(const QString& architecture)
{
    ModelInfo m = named("clip-model", "clip-model.gguf");
    GgufInfo meta;
    meta.architecture = architecture;
    meta.nCtxTrain = 4096;
    m.discoveredMetadata = meta;
    return m;
}

struct Shape {
    int64_t layers, embd, heads, kvHeads, dim;
    bool operator==(const Shape&) const = default;
};

Shape shapeOf(const GgufInfo& m)
{
    return {m.nLayers, m.nEmbd, m.nHead.value_or(-1), m.nHeadKv.value_or(-1), m.ropeDim.value_or(-1)};
}

// The records of the capacity-text cases; a trained context of 4096 or less
// always plans 4096, so nothing here depends on this machine's memory.
ModelInfo smallRecord(int64_t bytes)
{
    ModelInfo m;
    m.trainedContext = 2048;
    m.fileSizeBytes = bytes;
    return m;
}

ModelInfo mixtureOfExperts(int64_t fileSizeMb)
{
    GgufInfo meta;
    meta.nLayers = 32;
    meta.nHeadKv = 8;
    meta.ropeDim = 128;
    meta.nCtxTrain = 4096;
    meta.fileSizeMb = fileSizeMb;
    meta.expertCount = 8;
    meta.expertUsedCount = 2;
    meta.fileName = "mixtral-8x7b-Q4_K_M.gguf";
    ModelInfo m;
    m.discoveredMetadata = meta;
    return m;
}

} // namespace

TEST(ModelInfo, VisionProjectors)
{
    EXPECT_TRUE(named("x", "MMPROJ-F16.gguf").isVisionProjector());
    EXPECT_TRUE(named("x", "vision/mmproj-f16.gguf").isVisionProjector());
    EXPECT_TRUE(named("mmproj-clip").isVisionProjector());
    EXPECT_FALSE(named("clip-model").isVisionProjector());
    ModelInfo flagged = named("llama");
    flagged.visionAdapterFile = true;
    EXPECT_TRUE(flagged.isVisionProjector());
    EXPECT_TRUE(withArchitecture("SigLIP").isVisionProjector());
    EXPECT_TRUE(withArchitecture("CLIP").isVisionProjector());
    EXPECT_FALSE(withArchitecture("llama").isVisionProjector());
}

TEST(ModelInfo, EffectiveMetadataGuessesFromTheName)
{
    ModelInfo m = named("Llama 3.2 3B Instruct");
    m.fileSizeBytes = 1'048'575;
    const GgufInfo guess = m.effectiveMetadata();
    EXPECT_EQ(guess.version, 3u);
    EXPECT_EQ(guess.architecture, "llama");
    EXPECT_EQ(guess.nCtxTrain, 0);
    EXPECT_EQ(shapeOf(guess), (Shape{28, 3072, 24, 8, 128}));
    EXPECT_FALSE(guess.expertCount);
    EXPECT_FALSE(guess.expertUsedCount);
    EXPECT_FALSE(guess.embeddedChatTemplate);
    EXPECT_FALSE(guess.fileType);
    EXPECT_EQ(guess.fileSizeMb, 0);
    EXPECT_EQ(guess.fileName, "Llama 3.2 3B Instruct.gguf");

    const Shape defaultShape{32, 4096, 32, 8, 128};
    EXPECT_EQ(named("Llama-3.2-3B").effectiveMetadata().architecture, "llama");
    EXPECT_EQ(shapeOf(named("Llama-3.2-3B").effectiveMetadata()), defaultShape);
    EXPECT_EQ(named("DeepSeek-R1-Distill").effectiveMetadata().architecture, "qwen2");
    EXPECT_EQ(shapeOf(named("DeepSeek-R1-Distill").effectiveMetadata()), defaultShape);
    EXPECT_EQ(shapeOf(named("deepseek r1 7b").effectiveMetadata()), (Shape{28, 3584, 28, 4, 128}));
    EXPECT_EQ(named("Phi-3.5 mini").effectiveMetadata().architecture, "phi3");
    EXPECT_EQ(shapeOf(named("Phi-3.5 mini").effectiveMetadata()), (Shape{32, 3072, 32, 32, 96}));
    EXPECT_EQ(named("qwen llama").effectiveMetadata().architecture, "llama");
    EXPECT_EQ(named("Gemma 2 9B").effectiveMetadata().architecture, "gemma2");
    EXPECT_EQ(named("Gemma 2 9B", "g.gguf").effectiveMetadata().fileName, "g.gguf");

    ModelInfo read = withArchitecture("llama");
    EXPECT_EQ(read.effectiveMetadata(), *read.discoveredMetadata);
}

TEST(ModelInfo, SummaryLine)
{
    const ModelInfo m = smallRecord(4'500'000'000);
    const QString expected = QStringLiteral("4.2 GB  \u00B7  GGUF  \u00B7  Context: 4K (of 2K max)");
    EXPECT_EQ(m.summaryLine(1000), expected);
    EXPECT_EQ(m.summaryLine(64000), expected);
    EXPECT_EQ(m.summaryLine(), expected);
    // 1.25 GB exactly: "%.1f" as C's printf writes it, ties to even.
    EXPECT_TRUE(smallRecord(1'342'177'280).summaryLine(64000).startsWith("1.2 GB  "));

    ModelInfo untrained = m;
    untrained.trainedContext.reset();
    EXPECT_FALSE(untrained.summaryLine(64000).contains(" (of"));
}

TEST(ModelInfo, CapacityTooltip)
{
    const QString base = QStringLiteral(
        "Working memory: 4,096 tokens\nModel's full capacity: 2,048 tokens\n\n"
        "\u2248 6 pages  \u00B7  \u2248 3,072 English words\n"
        "Fits 5-15 Q&A exchanges before older messages get forgotten\n\n"
        "Full model capacity: 2,048 tokens (~3 pages of text at once)");
    EXPECT_EQ(smallRecord(4'500'000'000).capacityTooltip(), base);
    EXPECT_EQ(smallRecord(1'048'576'000).capacityTooltip(8000),
              base + QStringLiteral("\n\n\u26A0 Small model (<3B) \u2014 may hallucinate on factual questions"));
    EXPECT_EQ(smallRecord(0).capacityTooltip(8000), base);

    const QString moe = mixtureOfExperts(26000).capacityTooltip(8000);
    EXPECT_TRUE(moe.endsWith(QStringLiteral(
        "\u26A0 MoE model: 40B total, only ~9B active per token \u2014 answers may be shallower than a dense "
        "40B model. Speed matches ~9B though.")))
        << moe.toStdString();
    const QString smallMoe = mixtureOfExperts(1000).capacityTooltip(8000);
    EXPECT_TRUE(smallMoe.contains("2B total, only ~0.4B active"));
    EXPECT_FALSE(smallMoe.contains("Small model"));
    EXPECT_FALSE(mixtureOfExperts(0).capacityTooltip(8000).contains("\u26A0"));
    // Experts without a used count: active equals total.
    ModelInfo noUsed = mixtureOfExperts(26000);
    noUsed.discoveredMetadata->expertUsedCount.reset();
    EXPECT_TRUE(noUsed.capacityTooltip(8000).contains("40B total, only ~40B active"));

    // Limited by memory: the RAM line, with the free figure passed in.
    GgufInfo big;
    big.nLayers = 32;
    big.nHeadKv = 8;
    big.ropeDim = 128;
    big.nCtxTrain = 32768;
    big.fileSizeMb = 4000;
    big.fileName = "big-Q4_K_M.gguf";
    ModelInfo limited;
    limited.discoveredMetadata = big;
    EXPECT_EQ(limited.capacityTooltip(7228),
              QStringLiteral("Working memory: 16,384 tokens\n"
                             "Model's full capacity: 32,768 tokens (needs more RAM to unlock)\n\n"
                             "\u2248 25 pages  \u00B7  \u2248 12,288 English words\n"
                             "Fits 5-15 Q&A exchanges before older messages get forgotten\n\n"
                             "Full model capacity: 32,768 tokens (~49 pages of text at once)\n"
                             "Currently limited by RAM: you have 7.1 GB free \u2014 close apps to reach higher"));
    EXPECT_TRUE(limited.capacityTooltip(7424).endsWith("you have 7.2 GB free \u2014 close apps to reach higher"));
}

#include "models/MemoryEstimates.h"
#include "models/NumberText.h"
#include "models/ProjectorMemory.h"
#include "support/TempEnv.h"
#include "TestModelWriter.h"

#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <gtest/gtest.h>

#include <ggml-backend.h>

#include <limits>

using namespace cvn;

namespace {

GgufInfo layered(int64_t layers, std::optional<int64_t> kvHeads, std::optional<int64_t> dim)
{
    GgufInfo m;
    m.nLayers = layers;
    m.nHeadKv = kvHeads;
    m.ropeDim = dim;
    return m;
}

} // namespace

TEST(Estimates, BitsPerWeightFromTheFileName)
{
    EXPECT_DOUBLE_EQ(bitsPerWeight("model-IQ4_XS.gguf"), 4.85);
    EXPECT_DOUBLE_EQ(bitsPerWeight("model-bf16.gguf"), 16.0);
    EXPECT_DOUBLE_EQ(bitsPerWeight("model.gguf"), 4.85);
    EXPECT_DOUBLE_EQ(bitsPerWeight("x-Q8_0.gguf"), 8.5);
    EXPECT_DOUBLE_EQ(bitsPerWeight("x-q6_k.gguf"), 6.6);
    EXPECT_DOUBLE_EQ(bitsPerWeight("x-FP32.gguf"), 32.0);
    EXPECT_DOUBLE_EQ(bitsPerWeight("x-Q2_K.gguf"), 3.0);
}

TEST(Estimates, KvCacheAndRequiredMemory)
{
    const GgufInfo m = layered(32, 8, 128);
    EXPECT_EQ(m.kvCacheMb(8192, KvCacheType::f16), 1024);
    EXPECT_EQ(m.kvCacheMb(8192, KvCacheType::q8_0), 544);
    EXPECT_EQ(m.kvCacheMb(8192, KvCacheType::q4_0), 256);
    EXPECT_EQ(m.kvCacheMb(8192, KvCacheType::f32), 2048);

    GgufInfo headsOnly = layered(32, std::nullopt, 128);
    headsOnly.nHead = 32;
    EXPECT_EQ(headsOnly.kvCacheMb(8192, KvCacheType::f16), 4096);
    // The head dimension from nEmbd / nHead, and no division by zero heads.
    GgufInfo fromEmbd = layered(32, 8, std::nullopt);
    fromEmbd.nEmbd = 4096;
    fromEmbd.nHead = 32;
    EXPECT_EQ(fromEmbd.kvCacheMb(8192, KvCacheType::f16), 1024);
    fromEmbd.nHead = 0;
    EXPECT_EQ(fromEmbd.kvCacheMb(8192, KvCacheType::f16), -1);
    EXPECT_EQ(layered(32, 8, std::nullopt).kvCacheMb(8192, KvCacheType::f16), -1);
    EXPECT_EQ(layered(0, 8, 128).kvCacheMb(8192, KvCacheType::f16), -1);

    GgufInfo file = layered(0, std::nullopt, std::nullopt);
    file.fileSizeMb = 4000;
    EXPECT_EQ(file.requiredMemoryMb(8192, KvCacheType::f16), 5980);
    GgufInfo full = layered(32, 8, 128);
    full.fileSizeMb = 4000;
    EXPECT_EQ(full.requiredMemoryMb(8192, KvCacheType::f16), 6204);

    // A crafted layer count: no wrapped or meaningless cache size, so the
    // requirement falls back to the file-size estimate.
    GgufInfo crafted = layered(int64_t(1) << 62, 8, 128);
    crafted.fileSizeMb = 4000;
    EXPECT_EQ(crafted.kvCacheMb(8192, KvCacheType::f16), -1);
    EXPECT_EQ(crafted.requiredMemoryMb(8192, KvCacheType::f16), 5980);
    crafted.fileSizeMb = std::numeric_limits<int64_t>::max();
    EXPECT_EQ(crafted.requiredMemoryMb(8192, KvCacheType::f16), std::numeric_limits<int64_t>::max());
}

TEST(Estimates, AutoContextWithoutLayerFacts)
{
    EXPECT_EQ(autoContextForRam(std::nullopt, 6144), (AutoContext{8192, 0, 6144, 0}));
    EXPECT_EQ(autoContextForRam(std::nullopt, 6143).contextSize, 4096);
    EXPECT_EQ(autoContextForRam(std::nullopt, 3072).contextSize, 4096);
    EXPECT_EQ(autoContextForRam(std::nullopt, 3071).contextSize, 2048);
    GgufInfo noLayers;
    noLayers.nCtxTrain = 32768;
    EXPECT_EQ(autoContextForRam(noLayers, 100), (AutoContext{2048, 32768, 100, 0}));
}

TEST(Estimates, AutoContextFromLayerFacts)
{
    GgufInfo m = layered(32, 8, 128);
    m.fileSizeMb = 4000;
    m.nCtxTrain = 131072;
    EXPECT_EQ(autoContextForRam(m, 16000), (AutoContext{65536, 131072, 16000, 131072}));
    // Less free memory than the model needs must not wrap into a huge budget.
    EXPECT_EQ(autoContextForRam(m, 5000), (AutoContext{4096, 131072, 5000, 131072}));
    EXPECT_EQ(autoContextForRam(m, 5180).contextSize, 4096);
    EXPECT_EQ(autoContextForRam(m, 0).contextSize, 4096);
    EXPECT_EQ(autoContextForRam(m, 40000).contextSize, 131072);
    EXPECT_EQ(autoContextForRam(m, std::numeric_limits<uint64_t>::max()).contextSize, 4096);

    GgufInfo embdOnly;
    embdOnly.nLayers = 32;
    embdOnly.nEmbd = 4096;
    embdOnly.fileSizeMb = 4000;
    EXPECT_EQ(autoContextForRam(embdOnly, 16000), (AutoContext{8192, 0, 16000, 1048576}));
    GgufInfo headed = embdOnly;
    headed.nHead = 32;
    EXPECT_EQ(autoContextForRam(headed, 16000).contextSize, 16384);
    headed.nHead = 0;
    EXPECT_EQ(autoContextForRam(headed, 16000).contextSize, 8192);
    GgufInfo bare;
    bare.nLayers = 32;
    EXPECT_EQ(autoContextForRam(bare, 16000), (AutoContext{4096, 0, 16000, 0}));

    m.nCtxTrain = 2048;
    EXPECT_EQ(autoContextForRam(m, 40000).contextSize, 4096);
    m.nCtxTrain = 40960;
    EXPECT_EQ(autoContextForRam(m, 40000).contextSize, 32768);

    // Products of crafted header values overflow: no usable layer facts.
    GgufInfo crafted = layered(int64_t(1) << 62, 8, 128);
    EXPECT_EQ(autoContextForRam(crafted, 16000), (AutoContext{4096, 0, 16000, 0}));
    crafted = layered(32, 8, 128);
    crafted.fileSizeMb = std::numeric_limits<int64_t>::max();
    EXPECT_EQ(autoContextForRam(crafted, 16000), (AutoContext{4096, 0, 16000, 0}));
    crafted.fileSizeMb = std::numeric_limits<int64_t>::min();
    EXPECT_EQ(autoContextForRam(crafted, 16000).bytesPerToken, 0);
}

TEST(Estimates, FreeMemoryNeverExceedsPhysicalMemory)
{
    const uint64_t total = physicalMemoryMb();
    EXPECT_GT(total, 0u);
    EXPECT_LE(freeRamMb(), total);
}

// Each row: the input and the exact text.
template <typename In, typename Fn>
void expectTexts(Fn fn, std::initializer_list<std::pair<In, const char*>> rows)
{
    for (const auto& [in, text] : rows)
        EXPECT_EQ(fn(in), QString::fromLatin1(text)) << in;
}

TEST(NumberText, TokenCounts)
{
    expectTexts<int64_t>(formatTokenCount, {{999, "999"}, {1000, "1K"}, {2560, "2K"}, {3584, "4K"}, {4096, "4K"},
                                            {131072, "128K"}, {-5, "-5"}});
}

TEST(NumberText, OneDecimalAndParameterLabels)
{
    expectTexts<double>(formatOneDecimal, {{0.04, "0"}, {-0.04, "0"}, {12.0, "12"}, {0.25, "0.2"}, {2.25, "2.2"},
                                           {2.96, "3"}, {7.35, "7.4"}, {1536.0 / 1024.0, "1.5"}});
    EXPECT_EQ(formatOneDecimal(1e20), "100000000000000000000");
    expectTexts<double>(parameterSizeLabel, {{1.5, "2B"}, {8.6, "9B"}, {150.5, "150B"}, {0.25, "0.2B"}, {0.5, "0.5B"},
                                             {0, ""}, {-3, ""}, {119.9, "100B"}, {120, "120B"}, {1.4, "1B"}});
}

TEST(NumberText, GroupedNumbers)
{
    expectTexts<int64_t>(formatGroupedNumber,
                         {{1234567, "1,234,567"}, {999, "999"}, {1000, "1,000"}, {0, "0"}, {-1234, "-1,234"},
                          {-999, "-999"},
                          {std::numeric_limits<int64_t>::min(), "-9,223,372,036,854,775,808"},
                          {std::numeric_limits<int64_t>::max(), "9,223,372,036,854,775,807"}});
}

namespace {

// The file's bytes with the first two sides of the tensor `name` swapped in
// its header: the byte count stays, so the file still reads, but the shape
// no longer fits the encoder's graph.
bool swapSides(const QString& path, const QByteArray& name)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        return false;
    QByteArray bytes = file.readAll();
    QByteArray key(8, '\0');
    qToLittleEndian<quint64>(quint64(name.size()), key.data());
    key += name;
    const qsizetype at = bytes.indexOf(key);
    if (at < 0)
        return false;
    char* dims = bytes.data() + at + key.size() + 4;
    const qint64 a = qFromLittleEndian<qint64>(dims);
    const qint64 b = qFromLittleEndian<qint64>(dims + 8);
    qToLittleEndian<qint64>(b, dims);
    qToLittleEndian<qint64>(a, dims + 8);
    file.seek(0);
    return file.write(bytes) == bytes.size();
}

} // namespace

TEST(Estimates, AFailedGgmlCheckThrowsInsideTheGuardAndTheCallbackBeforeComesBack)
{
    static int told = 0;
    const ggml_abort_callback_t tell = [](const char*) { ++told; };
    const ggml_abort_callback_t before = ggml_set_abort_callback(tell);
    QString caught;
    withGgmlChecksThrown([&] {
        // A guard inside another leaves the outer one throwing.
        withGgmlChecksThrown([] {});
        try {
            ggml_backend_buffer_set_usage(nullptr, GGML_BACKEND_BUFFER_USAGE_WEIGHTS);
        } catch (const GgmlCheckFailed& failed) {
            caught = QString::fromUtf8(failed.what());
        }
    });
    EXPECT_TRUE(caught.contains(QStringLiteral("GGML_ASSERT(buffer) failed"))) << qPrintable(caught);
    EXPECT_EQ(told, 0);
    EXPECT_EQ(ggml_set_abort_callback(before), tell);
}

TEST(Estimates, ProjectorMemoryIsMeasuredAndADamagedProjectorFallsBackToItsSize)
{
    const QString folder = cvn::test::makeTempFolder(QStringLiteral("projector"));
    const QString good = folder + QStringLiteral("/mmproj-good.gguf");
    ASSERT_EQ(testmodel::writeRandomProjector(good.toStdString(), testmodel::ProjectorSpec{}), "");
    const int64_t size = QFileInfo(good).size();
    const int64_t margin = projectorMarginMb * 1024 * 1024;

    // Weights and the encode's buffer: more than the file's tensors, far
    // less than the guess.
    const ProjectorMemory measured = projectorMemory(good);
    EXPECT_TRUE(measured.measured);
    EXPECT_GT(measured.bytes, 0);
    EXPECT_LT(measured.bytes, margin);
    EXPECT_EQ(projectorMemoryMb(good), (measured.bytes + 1024 * 1024 - 1) / (1024 * 1024));

    const QString damaged = folder + QStringLiteral("/mmproj-damaged.gguf");
    ASSERT_TRUE(QFile::copy(good, damaged));
    ASSERT_TRUE(swapSides(damaged, "mm.0.weight"));
    EXPECT_EQ(projectorMemory(damaged), (ProjectorMemory{size + margin, false}));
    // The process goes on measuring after a failed check.
    EXPECT_EQ(projectorMemory(good), measured);

    const QString text = folder + QStringLiteral("/notes.gguf");
    {
        QFile file(text);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("not a projector");
    }
    EXPECT_EQ(projectorMemory(text), (ProjectorMemory{15 + margin, false}));
    EXPECT_EQ(projectorMemory(folder + QStringLiteral("/gone.gguf")), ProjectorMemory{});
}

#include "GgufWriter.h"

#include "models/ModelFitCheck.h"
#include "support/TempEnv.h"

#include <QFile>

#include <gtest/gtest.h>

using namespace cvn;
using cvn::test::GgufWriter;

namespace {

GgufInfo sized(int64_t fileSizeMb, int64_t layers)
{
    GgufInfo m;
    m.fileSizeMb = fileSizeMb;
    m.nLayers = layers;
    if (layers > 0) {
        m.nHeadKv = 8;
        m.ropeDim = 128;
    }
    m.nCtxTrain = 8192;
    return m;
}

} // namespace

TEST(ModelFitCheck, RequiredMemory)
{
    const QString folder = cvn::test::makeTempFolder();
    const QString sparse = folder + "/big.bin";
    QFile file(sparse);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_TRUE(file.resize(10'485'760'000));
    file.close();
    EXPECT_EQ(ModelFitCheck::requiredMb(sparse, std::nullopt), 13180);
    EXPECT_EQ(ModelFitCheck::requiredMb(folder + "/missing.gguf", std::nullopt), 1180);
    // With metadata the figure is the record's own (EstimatesTest).
    EXPECT_EQ(ModelFitCheck::requiredMb(sparse, sized(4000, 32)), 6204);

    // Without metadata the check reads the header itself.
    const QString model = GgufWriter()
                              .u32("llama.context_length", 4096)
                              .u32("llama.block_count", 32)
                              .u32("llama.attention.head_count_kv", 8)
                              .u32("llama.rope.dimension_count", 128)
                              .writeTo(folder, "m.gguf", 3 * 1'048'576);
    // 3 MB of file + 1024 MB of cache + 1180.
    EXPECT_EQ(ModelFitCheck::warning(model, "M", 4207, 16384)->title, "Tight fit");
    EXPECT_FALSE(ModelFitCheck::warning(model, "M", 4207 + 2001, 16384));
    // An unreadable header falls back to the file size: 3 + 0 + 1180.
    EXPECT_FALSE(ModelFitCheck::warning(sparse.left(sparse.size() - 7) + "missing", "M", 3181, 16384));
}

TEST(ModelFitCheck, Warnings)
{
    const GgufInfo small = sized(4000, 0); // needs 5980
    EXPECT_FALSE(ModelFitCheck::warning("x", "Foo", 7981, 16384, small));
    const auto tight = ModelFitCheck::warning("x", "Foo", 7980, 16384, small);
    ASSERT_TRUE(tight);
    EXPECT_EQ(tight->title, "Tight fit");
    EXPECT_EQ(tight->body, "Foo needs about 5.8 GB. You have 7.8 GB free. Should work, but leaves little room for "
                           "other apps.");
    EXPECT_EQ(tight->confirmText, "ADD ANYWAY");
    EXPECT_EQ(ModelFitCheck::warning("x", "Foo", 5980, 16384, small)->title, "Tight fit");
    // 7.25 GB free is an exact binary tie: to even, as printf rounds.
    EXPECT_TRUE(ModelFitCheck::warning("x", "Foo", 7424, 16384, small)->body.contains("You have 7.2 GB free."));

    const GgufInfo large = sized(14796, 32); // needs 17000
    const auto freeUp = ModelFitCheck::warning("x", "X", 8000, 16384, large);
    ASSERT_TRUE(freeUp);
    EXPECT_EQ(freeUp->title, "This model fits your computer, but you need to free up RAM");
    EXPECT_EQ(freeUp->body,
              QStringLiteral("X needs about 16.6 GB. You have 7.8 GB free right now, but your computer has 16.0 GB "
                             "total. The system will swap other apps to disk to make room \u2014 first load will take "
                             "longer and other apps will slow down. Close some apps for best performance."));
    const auto bigger = ModelFitCheck::warning("x", "X", 8000, 15000, large);
    ASSERT_TRUE(bigger);
    EXPECT_EQ(bigger->title, "This model is bigger than your RAM");
    EXPECT_EQ(bigger->body, "X needs about 16.6 GB, but your computer only has 14.6 GB total. The system will "
                            "constantly swap the model between RAM and SSD, making it 10-100x slower than normal. "
                            "Each response may take minutes. Not recommended.");
    // Free memory far below the need must not wrap into "fits".
    EXPECT_EQ(ModelFitCheck::warning("x", "X", 0, 15000, large)->title, "This model is bigger than your RAM");
}

TEST(ModelFitCheck, AProjectorAddsItsMemoryWhereItOpens)
{
    const GgufInfo small = sized(4000, 0); // needs 5980
    EXPECT_FALSE(ModelFitCheck::warning("x", "Foo", 7981 + 300, 16384, small, std::nullopt, 300));
    const auto tight = ModelFitCheck::warning("x", "Foo", 7981, 16384, small, std::nullopt, 300);
    ASSERT_TRUE(tight);
    EXPECT_TRUE(tight->body.startsWith("Foo needs about 6.1 GB.")) << tight->body.toStdString();
    // A roomy GPU takes the model and the projector beside it.
    const ModelFitCheck::Gpu roomy{24576, false};
    EXPECT_FALSE(ModelFitCheck::warning("x", "Foo", 1180 + 2001, 16384, small, roomy, 300));
    EXPECT_TRUE(ModelFitCheck::warning("x", "Foo", 1180 + 2000, 16384, small, roomy, 300));
}

TEST(ModelFitCheck, ADiscreteGpuTakesWhatFitsItsMemoryAndRamTheRest)
{
    // 4000 MB of weights and 1024 of cache over 32 layers (157 MB a layer),
    // and 1180 that stays with the host: 6204 in all.
    const GgufInfo model = sized(4000, 32);
    const ModelFitCheck::Gpu roomy{8192, false};
    EXPECT_EQ(ModelFitCheck::ramShareMb(6204, model, roomy), 1180);
    EXPECT_FALSE(ModelFitCheck::warning("x", "X", 3181, 16384, model, roomy));
    const auto tight = ModelFitCheck::warning("x", "X", 3180, 16384, model, roomy);
    ASSERT_TRUE(tight);
    EXPECT_EQ(tight->body, "X needs about 1.2 GB of RAM beside the 4.9 GB its GPU takes. You have 3.1 GB free. "
                           "Should work, but leaves little room for other apps.");

    // 4096 MB less the load's 1024 of margin holds 19 whole layers.
    const ModelFitCheck::Gpu small{4096, false};
    EXPECT_EQ(ModelFitCheck::ramShareMb(6204, model, small), 6204 - 19 * 157);
    EXPECT_FALSE(ModelFitCheck::warning("x", "X", 3221 + 2001, 16384, model, small));
    const auto partly = ModelFitCheck::warning("x", "X", 3221 + 2000, 16384, model, small);
    ASSERT_TRUE(partly);
    EXPECT_EQ(partly->title, "Tight fit");
    // Without layer facts the weights split anywhere.
    EXPECT_EQ(ModelFitCheck::ramShareMb(6204, std::nullopt, small), 6204 - 3072);

    // Neither the GPU nor RAM holds it.
    const auto neither = ModelFitCheck::warning("x", "X", 1000, 2048, model, small);
    ASSERT_TRUE(neither);
    EXPECT_EQ(neither->title, "This model is bigger than your RAM");
    EXPECT_TRUE(neither->body.startsWith("X needs about 3.1 GB of RAM beside the 2.9 GB its GPU takes, but your "
                                         "computer only has 2.0 GB total."))
        << neither->body.toStdString();
    // A GPU smaller than the margin takes nothing.
    EXPECT_EQ(ModelFitCheck::ramShareMb(6204, model, ModelFitCheck::Gpu{512, false}), 6204);
}

TEST(ModelFitCheck, AnIntegratedGpuOrOffloadOffCountsEverythingAgainstRam)
{
    const GgufInfo model = sized(4000, 32);
    const ModelFitCheck::Gpu integrated{8192, true};
    EXPECT_EQ(ModelFitCheck::ramShareMb(6204, model, integrated), 6204);
    const auto short_ = ModelFitCheck::warning("x", "X", 3181, 16384, model, integrated);
    ASSERT_TRUE(short_);
    EXPECT_EQ(short_->title, "This model fits your computer, but you need to free up RAM");

    SystemFacts facts{{16384, 3181, "CPU", QStringLiteral("Radeon RX 7600"), 8192, true, false}, 8, true, 8192};
    EXPECT_EQ(ModelFitCheck::offloadGpu(facts)->freeMb, 8192);
    EXPECT_FALSE(ModelFitCheck::offloadGpu(facts)->sharesRam);
    facts.rig.gpuSharesRam = true;
    EXPECT_TRUE(ModelFitCheck::offloadGpu(facts)->sharesRam);
    facts.rig.isUsableForInference = false;
    facts.rig.accelerationSwitchedOff = true;
    EXPECT_FALSE(ModelFitCheck::offloadGpu(facts));
}

TEST(ModelFitCheck, TheGpusFreeMemoryDecidesAndASoftwareGpuIsRam)
{
    const GgufInfo model = sized(4000, 32);
    // 8 GB on the device, 1100 MB of it free: the load's fit finds no room
    // for a layer beside its margin, and everything stays in RAM.
    SystemFacts facts{{16384, 3181, "CPU", QStringLiteral("Radeon RX 7600"), 8192, true, false}, 8, true, 1100};
    EXPECT_EQ(ModelFitCheck::need(6204, 0, model, ModelFitCheck::offloadGpu(facts)), (ModelFitCheck::Need{6204, 0}));
    // Lavapipe computes on the CPU; its memory is the RAM however much it
    // reports free.
    facts.rig.gpuName = QStringLiteral("llvmpipe (LLVM 15.0.6, 256 bits)");
    facts.gpuFreeMb = 65536;
    ASSERT_TRUE(ModelFitCheck::offloadGpu(facts));
    EXPECT_TRUE(ModelFitCheck::offloadGpu(facts)->sharesRam);
    EXPECT_EQ(ModelFitCheck::need(6204, 300, model, ModelFitCheck::offloadGpu(facts)),
              (ModelFitCheck::Need{6504, 0}));
}

TEST(ModelFitCheck, TheProjectorTakesItsRoomOnTheDeviceBeforeTheLayers)
{
    const GgufInfo model = sized(4000, 32); // 157 MB a layer
    EXPECT_EQ(ModelFitCheck::need(6204, 300, model, ModelFitCheck::Gpu{8192, false}),
              (ModelFitCheck::Need{1180, 5024 + 300}));
    // 4096 less the margin and the projector's 300 holds 17 layers.
    EXPECT_EQ(ModelFitCheck::need(6204, 300, model, ModelFitCheck::Gpu{4096, false}),
              (ModelFitCheck::Need{6204 - 17 * 157, 17 * 157 + 300}));
}

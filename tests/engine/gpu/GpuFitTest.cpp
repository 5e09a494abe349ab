// What a load puts on the device, on lavapipe: the room it leaves for a
// projector, a device with no room for a layer, the one device the layers
// go to, and the compute buffer's logits. The device budget is narrowed
// through the fit's test seam, as a smaller GPU would narrow it.

#include "../TestModels.h"
#include "TestModelWriter.h"

#include "engine/LlamaModelGpu.h"
#include "models/ProjectorMemory.h"
#include "platform/SystemInfo.h"
#include "support/TempEnv.h"

#include <QFile>

#include <gtest/gtest.h>

#include <llama.h>

namespace cvn {
namespace {

class GpuFit : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        const QString folder = test::makeTempFolder(QStringLiteral("gpu-fit"));
        modelPath = folder + QStringLiteral("/model.gguf");
        projectorPath = folder + QStringLiteral("/mmproj.gguf");
        testmodel::RandomSpec model;
        model.shape = {256, 4, 512, 4, 4, 2048};
        ASSERT_EQ(testmodel::writeRandomModel(modelPath.toStdString(), testmodel::vocabPath(), model), "");
        // Weights of several of the model's layers, so that leaving room
        // for them moves layers off the device.
        testmodel::ProjectorSpec projector;
        projector.textEmbd = 256;
        projector.width = 256;
        projector.ff = 1024;
        projector.layers = 4;
        ASSERT_EQ(testmodel::writeRandomProjector(projectorPath.toStdString(), projector), "");
        // The device memory of every layer with its context, no projector.
        const auto all = LlamaModel::load(modelPath, 1024, 999, 2);
        allLayersBytes = all->deviceBufferBytes();
        layerCount = all->layerCount();
        ASSERT_EQ(all->gpuLayersOffloaded(), layerCount);
    }

    void TearDown() override { gpuload::setTestHooks({}); }

    static std::shared_ptr<LlamaModel> loadWithProjector(std::optional<uint64_t> budget)
    {
        gpuload::setTestHooks({budget, false});
        LlamaModel::LoadExtras extras;
        extras.projectorPath = projectorPath;
        auto model = LlamaModel::load(modelPath, 1024, 999, 2, std::nullopt, extras);
        EXPECT_TRUE(model->seesImages());
        return model;
    }

    static inline QString modelPath;
    static inline QString projectorPath;
    static inline uint64_t allLayersBytes = 0;
    static inline int64_t layerCount = 0;
};

TEST_F(GpuFit, TheFitLeavesRoomForTheProjector)
{
    const uint64_t projector = uint64_t(projectorMemory(projectorPath).bytes);
    ASSERT_GT(projector, uint64_t(4) << 20);
    // Room for the model alone: layers make way for the projector.
    const auto crowded = loadWithProjector(allLayersBytes);
    EXPECT_LT(crowded->gpuLayersOffloaded(), layerCount);
    EXPECT_GT(crowded->gpuLayersOffloaded(), 0);
    EXPECT_TRUE(crowded->projectorOnGpu());
    crowded->free();
    // Room for both: all of it on the device.
    const auto roomy = loadWithProjector(allLayersBytes + projector + (uint64_t(8) << 20));
    EXPECT_EQ(roomy->gpuLayersOffloaded(), layerCount);
    EXPECT_TRUE(roomy->projectorOnGpu());
}

TEST_F(GpuFit, NoRoomForALayerLoadsAsOffDoes)
{
    // Not even a layer fits: nothing is made on the device, not the
    // batches' compute buffer, not the projector.
    const auto model = loadWithProjector(uint64_t(1) << 20);
    EXPECT_EQ(model->gpuLayersOffloaded(), 0);
    EXPECT_EQ(model->deviceBufferBytes(), 0u);
    EXPECT_FALSE(model->projectorOnGpu());
    EXPECT_FALSE(model->fellBackToCpu());
    EXPECT_EQ(model->cpuReason(), CpuReason::noRoom);
    SamplingParams params = SamplingParams::defaults();
    params.maxTokens = 4;
    EXPECT_EQ(test::generateAll(*model, "Once upon a time", params).failure, std::nullopt);
}

TEST_F(GpuFit, LayersGoOnlyToTheDeviceThePageNames)
{
    const std::optional<GpuDevice> shown = machineGpuDevice();
    ASSERT_TRUE(shown);
    llama_model_params model = llama_model_default_params();
    llama_context_params context = llama_context_default_params();
    context.n_ctx = 1024;
    gpuload::OffloadPlan plan;
    ASSERT_EQ(gpuload::offload(QFile::encodeName(modelPath).constData(), 0, model, context, plan),
              gpuload::Placement::onGpu);
    ASSERT_NE(model.devices, nullptr);
    ASSERT_NE(model.devices[0], nullptr);
    EXPECT_EQ(QString::fromUtf8(ggml_backend_dev_description(model.devices[0])), shown->name);
    EXPECT_EQ(model.devices[1], nullptr);
}

TEST_F(GpuFit, TheComputeBufferHoldsTheLogitsOfOnePosition)
{
    // The same load with llama.cpp's default output reservation, which
    // keeps a row of logits for every position of a batch.
    uint64_t reservedForBatch = 0;
    uint32_t batch = 0;
    int32_t vocab = 0;
    {
        gpuload::LoadReport report;
        llama_model_params modelParams = llama_model_default_params();
        modelParams.n_gpu_layers = 999;
        llama_model* model = llama_model_load_from_file(QFile::encodeName(modelPath).constData(), modelParams);
        ASSERT_NE(model, nullptr);
        llama_context_params contextParams = llama_context_default_params();
        contextParams.n_ctx = 1024;
        llama_context* context = llama_init_from_model(model, contextParams);
        ASSERT_NE(context, nullptr);
        reservedForBatch = report.deviceBytes();
        batch = llama_n_ubatch(context); // the largest batch a graph computes at once
        vocab = llama_vocab_n_tokens(llama_model_get_vocab(model));
        llama_free(context);
        llama_model_free(model);
    }
    const uint64_t rowsLeftOut = uint64_t(batch - 1) * uint64_t(vocab) * sizeof(float);
    ASSERT_GT(reservedForBatch, allLayersBytes);
    EXPECT_GE(reservedForBatch - allLayersBytes, rowsLeftOut / 2)
        << reservedForBatch << " against " << allLayersBytes;
}

} // namespace
} // namespace cvn

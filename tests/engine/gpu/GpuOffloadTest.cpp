// Offload through llama.cpp's Vulkan backend, on lavapipe (a Vulkan device
// that computes on the CPU). ggml registers its devices once per process, so
// each environment is its own ctest entry (tests/engine/CMakeLists.txt):
// GpuOffload runs with lavapipe chosen, GpuFallback without a usable GPU.

#include "../TestModels.h"
#include "TestModelWriter.h"

#include "models/HardwareInfo.h"
#include "platform/AppSettings.h"
#include "platform/SystemInfo.h"
#include "support/TempEnv.h"

#include "engine/LlamaModelGpu.h"

#include <QFile>

#include <llama.h>

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

namespace cvn {
namespace {

using test::generateAll;
using test::randomModel;

// Random weights in a shape the K-quants take (rows of 256), 4 layers.
QString modelOfType(const std::string& type)
{
    static const QString folder = test::makeTempFolder(QStringLiteral("gpu-models"));
    const QString f32 = folder + QStringLiteral("/f32.gguf");
    const QString path = folder + QStringLiteral("/%1.gguf").arg(QString::fromStdString(type));
    if (QFile::exists(path))
        return path;
    if (!QFile::exists(f32)) {
        testmodel::RandomSpec spec;
        spec.shape = {256, 4, 512, 4, 4, 2048};
        EXPECT_EQ(testmodel::writeRandomModel(f32.toStdString(), testmodel::vocabPath(), spec), "");
    }
    if (type == "f16") {
        testmodel::RandomSpec spec;
        spec.shape = {256, 4, 512, 4, 4, 2048};
        spec.type = testmodel::WeightType::f16;
        EXPECT_EQ(testmodel::writeRandomModel(path.toStdString(), testmodel::vocabPath(), spec), "");
    } else if (type != "f32") {
        EXPECT_EQ(testmodel::quantizeModel(f32.toStdString(), path.toStdString(), type), "");
    }
    return path;
}

// The failure text of a reply, empty when there is none.
std::string failureOf(const test::Reply& reply)
{
    return reply.failure.value_or(QString()).toStdString();
}

// The logits that choose the first reply token, after one prompt decode.
std::vector<float> firstLogits(const QString& path, int64_t gpuLayers, int64_t* placed = nullptr)
{
    auto model = LlamaModel::load(path, 1024, gpuLayers, 2);
    if (placed)
        *placed = model->gpuLayersOffloaded();
    std::vector<float> logits;
    LlamaModel::TestHooks hooks;
    hooks.afterPrompt = [&](const float* l, int32_t n) { logits.assign(l, l + n); };
    model->setTestHooks(hooks);
    SamplingParams params = SamplingParams::defaults();
    params.maxTokens = 1;
    generateAll(*model, "Once upon a time", params);
    return logits;
}

double nmse(const std::vector<float>& got, const std::vector<float>& want)
{
    double error = 0, power = 0;
    for (size_t i = 0; i < want.size(); ++i) {
        error += (double(got[i]) - want[i]) * (double(got[i]) - want[i]);
        power += double(want[i]) * want[i];
    }
    return error / std::max(power, 1e-30);
}

// A few tokens of reply at most.
SamplingParams shortReply()
{
    SamplingParams params = SamplingParams::defaults();
    params.maxTokens = 4;
    return params;
}

struct HooksReset {
    ~HooksReset() { gpuload::setTestHooks({}); }
};

TEST(GpuOffload, TheDeviceReachesRigInfoAndItsTexts)
{
    ASSERT_TRUE(metalGpuUsable());
    EXPECT_FALSE(HardwareInfo::metalUnavailableText());
    const std::optional<GpuDevice> device = machineGpuDevice();
    ASSERT_TRUE(device);
    EXPECT_TRUE(device->name.contains(QStringLiteral("llvmpipe"))) << device->name.toStdString();

    AppSettings::setValue(QString::fromLatin1(AppSettings::metalOffload), true);
    const RigInfo on = RigInfo::current();
    EXPECT_EQ(on.gpuName, collapseWhitespace(device->name));
    EXPECT_EQ(on.gpuVramMb, int64_t(device->recommendedMaxWorkingSetBytes >> 20));
    EXPECT_GT(on.gpuVramMb, 0);
    EXPECT_TRUE(on.isUsableForInference);
    const QList<HardwareInfo::Line> lines = HardwareInfo::summaryRuns(on);
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines[0][2].text.endsWith(QStringLiteral(" GB GPU memory)")));

    AppSettings::setValue(QString::fromLatin1(AppSettings::metalOffload), false);
    const RigInfo off = RigInfo::current();
    EXPECT_TRUE(off.accelerationSwitchedOff);
    EXPECT_EQ(HardwareInfo::summaryRuns(off).last()[0].text,
              QStringLiteral("GPU acceleration is switched off. Corvanthelis runs on your CPU."));
}

TEST(GpuOffload, PlacementFollowsTheDeviceMemory)
{
    const HooksReset reset;
    const QString path = modelOfType("f32");
    auto all = LlamaModel::load(path, 1024, 999, 2);
    EXPECT_EQ(all->layerCount(), 5);
    EXPECT_EQ(all->gpuLayersOffloaded(), 5);
    EXPECT_GT(all->deviceBufferBytes(), 0u);
    const uint64_t allBytes = all->deviceBufferBytes();
    all->free();

    // Room on the device for all but a layer or two: the output layer goes
    // first and the repeating layers (2.6 MB each) after it.
    gpuload::setTestHooks({allBytes - (uint64_t(4) << 20), false});
    auto part = LlamaModel::load(path, 1024, 999, 2);
    EXPECT_GT(part->gpuLayersOffloaded(), 0);
    EXPECT_LT(part->gpuLayersOffloaded(), 5);
    EXPECT_LT(part->deviceBufferBytes(), allBytes);
    EXPECT_EQ(failureOf(generateAll(*part, "Once upon a time", shortReply())), "");
    part->free();
    gpuload::setTestHooks({});

    // Off: no layer, and nothing made on the device, not even for batches.
    auto none = LlamaModel::load(path, 1024, 0, 2);
    EXPECT_EQ(none->gpuLayersOffloaded(), 0);
    EXPECT_EQ(none->deviceBufferBytes(), 0u);
    // A decoded state of the one is never restored into the other.
    auto again = LlamaModel::load(path, 1024, 999, 2);
    ASSERT_TRUE(none->promptIdentity() && again->promptIdentity());
    EXPECT_NE(none->promptIdentity(), again->promptIdentity());
}

TEST(GpuOffload, LogitsMatchTheCpu)
{
    for (const std::string type : {"f32", "f16", "Q8_0", "Q4_K_M"}) {
        const QString path = modelOfType(type);
        int64_t placed = 0;
        const std::vector<float> gpu = firstLogits(path, 999, &placed);
        const std::vector<float> cpu = firstLogits(path, 0);
        EXPECT_EQ(placed, 5) << type;
        ASSERT_EQ(gpu.size(), cpu.size()) << type;
        ASSERT_FALSE(cpu.empty()) << type;
        EXPECT_LT(nmse(gpu, cpu), 1e-3) << type;
    }
}

// lavapipe ran ggml's fused kernels beside flash attention into its own
// heap: a few one-token decodes, as a reply makes, then a thousand tokens in
// batches of 32 and of 64 ended the program with a segmentation fault in the
// driver's worker thread.
TEST(GpuOffload, BatchesOfEverySizeDecodeOnASoftwareDevice)
{
    auto model = LlamaModel::load(modelOfType("f16"), 2048, 999, 2);
    ASSERT_GT(model->gpuLayersOffloaded(), 0);
    std::vector<int32_t> tokens(1024, 100);
    bool finite = true;
    model->queue().sync([&] {
        llama_context* context = model->contextHandle();
        for (const int32_t size : {1, 32, 64}) {
            llama_memory_clear(llama_get_memory(context), true);
            for (int32_t at = 0; at + size <= (size == 1 ? 8 : 1024); at += size)
                ASSERT_EQ(llama_decode(context, llama_batch_get_one(tokens.data() + at, size)), 0) << size;
            const float* logits = llama_get_logits_ith(context, -1);
            finite = finite && std::isfinite(logits[0]);
        }
    });
    EXPECT_TRUE(finite);
}

TEST(GpuOffload, ALoadThatFailsOnTheGpuLoadsOnTheCpu)
{
    const HooksReset reset;
    gpuload::setTestHooks({std::nullopt, true});
    auto model = LlamaModel::load(randomModel(), 1024, 999, 2);
    EXPECT_TRUE(model->fellBackToCpu());
    EXPECT_EQ(model->gpuLayersOffloaded(), 0);
    EXPECT_EQ(model->deviceBufferBytes(), 0u);
    EXPECT_TRUE(model->takeCpuFallbackNotice());
    EXPECT_FALSE(model->takeCpuFallbackNotice()); // told once
    EXPECT_EQ(failureOf(generateAll(*model, "Hi", shortReply())), "");
}

TEST(GpuOffload, AFaultInADecodeEndsTheReplyNotTheProgram)
{
    auto model = LlamaModel::load(randomModel(), 1024, 999, 2);
    ASSERT_GT(model->gpuLayersOffloaded(), 0);
    int decodes = 0;
    LlamaModel::TestHooks hooks;
    hooks.beforeDecode = [&] {
        if (++decodes == 3)
            throw std::runtime_error("vk::DeviceLostError: device lost");
    };
    model->setTestHooks(hooks);
    SamplingParams params = shortReply();
    const test::Reply reply = generateAll(*model, "Once upon a time", params);
    EXPECT_EQ(failureOf(reply), kGpuStoppedText.toStdString());
    EXPECT_TRUE(model->gpuFaulted());
    EXPECT_TRUE(LlamaModel::gpuStopped());
    // The model never decodes again; another one does.
    EXPECT_EQ(failureOf(generateAll(*model, "Hi", params)), kGpuStoppedText.toStdString());
    EXPECT_EQ(decodes, 3);
    model->free();
    auto next = LlamaModel::load(randomModel(), 1024, 0, 2);
    EXPECT_EQ(failureOf(generateAll(*next, "Hi", params)), "");
    LlamaModel::clearGpuStop();
}

// A GPU's decode hears no stop, so a long prompt goes in slices with the
// stop checked between them.
TEST(GpuOffload, AStopDuringALongPromptIsHeardAfterTheSliceInProgress)
{
    auto model = LlamaModel::load(modelOfType("f16"), 2048, 999, 2);
    ASSERT_GT(model->gpuLayersOffloaded(), 0);
    std::string prompt;
    while (model->tokenize(prompt).size() < 1200)
        prompt += " Once upon a time there was a fox.";
    const auto total = int64_t(model->tokenize(prompt).size());
    std::vector<int64_t> held;
    LlamaModel::TestHooks hooks;
    hooks.afterPromptSlice = [&held, stopped = model.get()](int64_t now) {
        held.push_back(now);
        stopped->requestStop();
    };
    model->setTestHooks(hooks);
    const test::Reply reply = generateAll(*model, prompt, shortReply());
    EXPECT_TRUE(reply.pieces.isEmpty());
    ASSERT_EQ(held.size(), 1u);
    EXPECT_LT(held.front(), total);
}

// Run with no driver, with lavapipe alone (which llama.cpp never picks by
// itself) and with a device index that does not exist; CVN_EXPECT_ABSENCE
// names the reason each gives.
TEST(GpuFallback, WithoutAUsableGpuEverythingRunsOnTheCpu)
{
    EXPECT_FALSE(metalGpuUsable());
    EXPECT_FALSE(machineGpuDevice());
    const QString reason = machineGpuAbsence();
    EXPECT_TRUE(reason.contains(qEnvironmentVariable("CVN_EXPECT_ABSENCE"))) << reason.toStdString();
    EXPECT_EQ(HardwareInfo::metalUnavailableText(), QStringLiteral("No GPU detected. ") + reason);

    auto model = LlamaModel::load(randomModel(), 1024, 999, 2);
    EXPECT_EQ(model->gpuLayersOffloaded(), 0);
    EXPECT_EQ(model->deviceBufferBytes(), 0u);
    EXPECT_FALSE(model->fellBackToCpu());
    EXPECT_EQ(failureOf(generateAll(*model, "Hi", shortReply())), "");
}

} // namespace
} // namespace cvn

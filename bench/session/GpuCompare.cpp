#include "GpuCompare.h"

#include "engine/LlamaModel.h"
#include "models/HardwareInfo.h"
#include "platform/SystemInfo.h"

#include <cstdio>
#include <future>

namespace cvn::bench {

namespace {

// The logits that choose the first reply token; empty when the run failed.
std::vector<float> firstLogits(LlamaModel& model)
{
    std::vector<float> logits;
    LlamaModel::TestHooks hooks;
    hooks.afterPrompt = [&](const float* l, int32_t n) { logits.assign(l, l + n); };
    model.setTestHooks(hooks);
    SamplingParams params = SamplingParams::defaults();
    params.maxTokens = 1;
    std::promise<void> finished;
    GenerationSink sink;
    sink.onFinished = [&] { finished.set_value(); };
    GenerationHandle run = model.generate("The quick brown fox jumps over the lazy dog. Once upon a time", params,
                                          std::move(sink));
    finished.get_future().wait();
    return logits;
}

} // namespace

int compareGpuLogits(const QString& path, long threads, long ctx)
{
    if (!metalGpuUsable()) {
        std::fprintf(stderr, "cvn-bench-session: no GPU to offload to: %s\n",
                     qPrintable(HardwareInfo::metalUnavailableText().value_or(QString())));
        return 1;
    }
    std::vector<float> gpu, cpu;
    int64_t layers = 0, of = 0;
    try {
        auto onGpu = LlamaModel::load(path, ctx, 999, threads);
        layers = onGpu->gpuLayersOffloaded();
        of = onGpu->layerCount();
        gpu = firstLogits(*onGpu);
        onGpu->free();
        auto onCpu = LlamaModel::load(path, ctx, 0, threads);
        cpu = firstLogits(*onCpu);
    } catch (const LoadError& error) {
        std::fprintf(stderr, "cvn-bench-session: %s\n", qPrintable(error.description()));
        return 1;
    }
    if (gpu.empty() || gpu.size() != cpu.size()) {
        std::fprintf(stderr, "cvn-bench-session: a decode gave no logits\n");
        return 1;
    }
    double error = 0, power = 0;
    for (size_t i = 0; i < cpu.size(); ++i) {
        error += (double(gpu[i]) - cpu[i]) * (double(gpu[i]) - cpu[i]);
        power += double(cpu[i]) * cpu[i];
    }
    std::printf("model: %s\ngpu: %s, %lld of %lld layers\n", qPrintable(path),
                qPrintable(machineGpuDevice() ? machineGpuDevice()->name : QString()), (long long)layers,
                (long long)of);
    std::printf("gpu/cpu logits nmse: %.3g\n", error / std::max(power, 1e-30));
    return 0;
}

} // namespace cvn::bench

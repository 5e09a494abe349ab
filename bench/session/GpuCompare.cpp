#include "GpuCompare.h"

#include "engine/LlamaModel.h"
#include "models/HardwareInfo.h"
#include "platform/SystemInfo.h"

#include <llama.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <utility>
#include <thread>

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

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A text of at least `count` tokens.
std::string longPrompt(const LlamaModel& model, size_t count)
{
    std::string text;
    while (model.tokenize(text).size() < count)
        text += " The quick brown fox jumps over the lazy dog, and the dog sleeps on.";
    return text;
}

// Empties the context, so that the next run decodes its whole prompt.
void forget(LlamaModel& model)
{
    model.queue().sync([&] { llama_memory_clear(llama_get_memory(model.contextHandle()), true); });
}

// One run of `prompt` to `tokens` reply tokens; `hooks` say what to watch.
// The seconds from the start to its end.
double runOnce(LlamaModel& model, const std::string& prompt, LlamaModel::TestHooks hooks,
               const std::function<void(GenerationHandle&)>& whileRunning = {}, int64_t tokens = 1)
{
    forget(model);
    model.setTestHooks(std::move(hooks));
    SamplingParams params = SamplingParams::defaults();
    params.maxTokens = tokens;
    std::promise<void> finished;
    GenerationSink sink;
    sink.onFinished = [&] { finished.set_value(); };
    const Clock::time_point start = Clock::now();
    GenerationHandle run = model.generate(prompt, params, std::move(sink));
    if (whileRunning)
        whileRunning(run);
    finished.get_future().wait();
    return secondsSince(start);
}

// The prompt's speed in tokens a second, as a run decodes it (on a GPU, in
// the slices that a stop is heard between) and as llama.cpp decodes it in
// slices of the context's batch size, in the order given.
void promptSpeeds(LlamaModel& model, const std::string& prompt)
{
    const std::vector<int32_t> tokens = model.tokenize(prompt);
    // The two ways take turns, so that a machine busy for a while slows
    // both, and each keeps its quickest round. The device builds its
    // kernels for a batch's shape at the shape's first use: the first round
    // is not counted, as a chat's prompts after its first meet the kernels
    // built.
    constexpr int kRounds = 4;
    double sliced = 1e30, whole = 1e30;
    int64_t slices = 0;
    for (int round = 0; round < kRounds; ++round) {
        // What the runs before left on the model's queue is not this prompt's.
        forget(model);
        // From the first slice on: what a run does before its prompt (the
        // last run's state saved for the reply cache, say) is not slicing.
        Clock::time_point started = Clock::now();
        double seconds = 0;
        slices = 0;
        LlamaModel::TestHooks hooks;
        hooks.beforePrompt = [&] { started = Clock::now(); };
        hooks.afterPrompt = [&](const float*, int32_t) { seconds = secondsSince(started); };
        hooks.afterPromptSlice = [&](int64_t) { ++slices; };
        runOnce(model, prompt, hooks);
        if (round > 0)
            sliced = std::min(sliced, seconds);
        forget(model);
        model.queue().sync([&] {
            llama_context* context = model.contextHandle();
            const auto batch = int64_t(llama_n_batch(context));
            std::vector<int32_t> ids = tokens;
            const Clock::time_point start = Clock::now();
            for (int64_t at = 0; at < int64_t(ids.size()); at += batch) {
                const auto n = int32_t(std::min<int64_t>(batch, int64_t(ids.size()) - at));
                llama_decode(context, llama_batch_get_one(ids.data() + at, n));
                llama_synchronize(context);
            }
            if (round > 0)
                whole = std::min(whole, secondsSince(start));
        });
    }
    std::printf("prompt speed on the GPU, %zu tokens: %.0f tokens/s in %lld slices a stop is heard between, %.0f "
                "tokens/s in slices of the batch size\n",
                tokens.size(), double(tokens.size()) / sliced, (long long)slices,
                double(tokens.size()) / whole);
    std::fflush(stdout);
}

// The seconds from a stop to the run's end while a long prompt decodes, the
// stop coming `into` (a share) of the way through a slice as long as the
// first one.
double stopDuringPrompt(LlamaModel& model, const std::string& prompt, double into)
{
    std::promise<double> decoding;
    const Clock::time_point started = Clock::now();
    LlamaModel::TestHooks hooks;
    hooks.afterPromptSlice = [&, told = false](int64_t) mutable {
        if (!std::exchange(told, true))
            decoding.set_value(secondsSince(started));
    };
    std::future<double> begun = decoding.get_future();
    double stopped = 0;
    runOnce(model, prompt, hooks, [&](GenerationHandle& run) {
        std::this_thread::sleep_for(std::chrono::duration<double>(begun.get() * into));
        const Clock::time_point stop = Clock::now();
        run.cancel();
        model.queue().sync([] {});
        stopped = secondsSince(stop);
    });
    return stopped;
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
    std::fflush(stdout);
    return stopOnGpu(path, threads, ctx);
}

int stopOnGpu(const QString& path, long threads, long ctx)
{
    constexpr size_t kPromptTokens = 1200;
    try {
        auto model = LlamaModel::load(path, std::max<long>(ctx, 2048), 999, threads);
        const std::string prompt = longPrompt(*model, kPromptTokens);
        // The device's kernels are built at their first use; a few reply
        // tokens tell the run the cost of a decode of its own, as a chat's
        // replies do.
        runOnce(*model, prompt, {}, {}, 8);
        promptSpeeds(*model, prompt);
        // A stop comes at any moment of a slice: the wait it meets on
        // average, from stops early, halfway and late into one, and the
        // longest of them.
        double sum = 0, longest = 0;
        for (const double into : {0.25, 0.5, 0.75}) {
            const double seconds = stopDuringPrompt(*model, prompt, into);
            sum += seconds;
            longest = std::max(longest, seconds);
        }
        std::printf("stop during a GPU prompt: %.2f s\n", sum / 3);
        std::printf("longest stop during a GPU prompt: %.2f s\n", longest);
    } catch (const LoadError& error) {
        std::fprintf(stderr, "cvn-bench-session: %s\n", qPrintable(error.description()));
        return 1;
    }
    return 0;
}

} // namespace cvn::bench

// cvn-bench-generation: how much the engine's generation stream costs over a
// bare llama.h loop on the same model, context, prompt and sampler chain.
//
//   cvn-bench-generation --model FILE [--threads N] [--tokens N]
//                        [--prompt-tokens N] [--ctx N] [--runs N]
//
// Runs alternate between the bare loop and the stream. Generation speed is
// counted after the first token (the first token's time is the prompt's).
// The last line is "ratio <stream/bare tokens per second>".
#include "BenchTiming.h"
#include "engine/LlamaModel.h"

#include <llama.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

using namespace cvn;
using Clock = std::chrono::steady_clock;

using cvn::bench::median;

namespace {

double msSince(Clock::time_point t)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

struct RunFigures {
    double ttftMs = 0; // start to first token
    double tokensPerSecond = 0; // after the first token
    int64_t tokens = 0;
};

// The same steps as the engine's run, written straight against llama.h.
RunFigures bareRun(LlamaModel& model, const std::vector<llama_token>& promptTokens, const SamplingParams& p)
{
    RunFigures f;
    model.queue().sync([&] {
        llama_context* ctx = model.contextHandle();
        const llama_vocab* vocab = llama_model_get_vocab(model.modelHandle());
        const auto start = Clock::now();
        llama_memory_clear(llama_get_memory(ctx), true);
        std::vector<llama_token> tokens = promptTokens;
        llama_sampler_chain_params cp = llama_sampler_chain_default_params();
        cp.no_perf = true;
        llama_sampler* chain = llama_sampler_chain_init(cp);
        llama_sampler_chain_add(chain, llama_sampler_init_penalties(llama_vocab_n_tokens(vocab),
                                                                    int32_t(p.repeatLastN), p.repeatPenalty, 0, 0));
        llama_sampler_chain_add(chain, llama_sampler_init_top_k(int32_t(p.topK)));
        llama_sampler_chain_add(chain, llama_sampler_init_top_p(p.topP, 1));
        llama_sampler_chain_add(chain, llama_sampler_init_temp(p.temperature));
        llama_sampler_chain_add(chain, llama_sampler_init_dist(p.seed));
        const int64_t batch = std::max<uint32_t>(1, llama_n_batch(ctx));
        for (int64_t i = 0; i < int64_t(tokens.size()); i += batch) {
            const int32_t n = int32_t(std::min<int64_t>(batch, int64_t(tokens.size()) - i));
            if (llama_decode(ctx, llama_batch_get_one(tokens.data() + i, n)) != 0)
                break;
        }
        Clock::time_point first;
        char piece[256];
        for (int64_t generated = 0; generated < p.maxTokens; ++generated) {
            llama_token token = llama_sampler_sample(chain, ctx, -1);
            if (llama_vocab_is_eog(vocab, token))
                break;
            llama_token_to_piece(vocab, token, piece, sizeof piece, 0, false);
            if (generated == 0) {
                first = Clock::now();
                f.ttftMs = std::chrono::duration<double, std::milli>(first - start).count();
            }
            ++f.tokens;
            if (llama_decode(ctx, llama_batch_get_one(&token, 1)) != 0)
                break;
        }
        const double after = std::chrono::duration<double>(Clock::now() - first).count();
        f.tokensPerSecond = f.tokens > 1 ? double(f.tokens - 1) / after : 0;
        llama_sampler_free(chain);
    });
    return f;
}

RunFigures streamRun(LlamaModel& model, const std::string& prompt, const SamplingParams& p)
{
    RunFigures f;
    std::promise<void> done;
    Clock::time_point first;
    const auto start = Clock::now();
    GenerationSink sink;
    sink.onPiece = [&](const QString&) {
        if (f.tokens++ == 0) {
            first = Clock::now();
            f.ttftMs = std::chrono::duration<double, std::milli>(first - start).count();
        }
        return true;
    };
    sink.onFinished = [&] { done.set_value(); };
    GenerationHandle handle = model.generate(prompt, p, std::move(sink));
    done.get_future().wait();
    const double after = std::chrono::duration<double>(Clock::now() - first).count();
    // A random model runs to the token limit: every run generates maxTokens
    // tokens, whatever number of pieces they made.
    const int64_t tokens = p.maxTokens;
    f.tokensPerSecond = tokens > 1 ? double(tokens - 1) / after : 0;
    return f;
}

// Time from cancel to the stream's end, once `afterPieces` pieces arrived
// (0: cancel `delayMs` after the start, during the prompt).
double stopLatency(LlamaModel& model, const std::string& prompt, int afterPieces, int delayMs)
{
    SamplingParams p = SamplingParams::defaults();
    p.maxTokens = 100000;
    std::promise<void> done;
    std::promise<void> ready;
    std::atomic<int> pieces{0};
    GenerationSink sink;
    sink.onPiece = [&](const QString&) {
        if (++pieces == afterPieces)
            ready.set_value();
        return true;
    };
    sink.onFinished = [&] { done.set_value(); };
    GenerationHandle handle = model.generate(prompt, p, std::move(sink));
    if (afterPieces > 0)
        ready.get_future().wait();
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    const auto cancelAt = Clock::now();
    handle.cancel();
    done.get_future().wait();
    return msSince(cancelAt);
}

int usage()
{
    std::fprintf(stderr, "usage: cvn-bench-generation --model FILE [--threads N] [--tokens N] [--prompt-tokens N] "
                         "[--ctx N] [--runs N]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    std::string path;
    long threads = 2, tokens = 128, promptTokens = 512, ctx = 4096, runs = 3;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc)
            return usage();
        const char* v = argv[++i];
        if (arg == "--model")
            path = v;
        else if (arg == "--threads")
            threads = std::atol(v);
        else if (arg == "--tokens")
            tokens = std::atol(v);
        else if (arg == "--prompt-tokens")
            promptTokens = std::atol(v);
        else if (arg == "--ctx")
            ctx = std::atol(v);
        else if (arg == "--runs")
            runs = std::atol(v);
        else
            return usage();
    }
    if (path.empty() || threads < 1 || tokens < 2 || promptTokens < 1 || runs < 1)
        return usage();

    std::shared_ptr<LlamaModel> model;
    const auto loadStart = Clock::now();
    try {
        model = LlamaModel::load(QString::fromStdString(path), ctx, 0, threads);
    } catch (const LoadError& e) {
        std::fprintf(stderr, "cvn-bench-generation: %s\n", e.what());
        return 1;
    }
    const double loadMs = msSince(loadStart);

    // A prompt of about the requested length.
    std::string prompt;
    std::vector<int32_t> promptIds;
    while (int64_t(promptIds.size()) < promptTokens) {
        prompt += " the";
        if (prompt.size() % 64 == 0 || int64_t(promptIds.size()) + 16 >= promptTokens)
            promptIds = model->tokenize(prompt);
    }
    promptIds = model->tokenize(prompt);

    SamplingParams params = SamplingParams::defaults();
    params.seed = 1234;
    params.maxTokens = tokens;

    std::printf("model: %s\n", path.c_str());
    std::printf("threads %ld, context %lld, prompt %zu tokens, generate %ld tokens, load %.0f ms\n", threads,
                (long long)model->contextSize(), promptIds.size(), tokens, loadMs);
    // One warm-up of each, not counted.
    bareRun(*model, promptIds, params);
    streamRun(*model, prompt, params);

    std::vector<double> bareTps, streamTps, bareTtft, streamTtft;
    for (long r = 0; r < runs; ++r) {
        // Which goes first alternates, so neither always runs on a warmer cache.
        RunFigures b, s;
        if (r % 2 == 0) {
            b = bareRun(*model, promptIds, params);
            s = streamRun(*model, prompt, params);
        } else {
            s = streamRun(*model, prompt, params);
            b = bareRun(*model, promptIds, params);
        }
        std::printf("run %ld: bare %.2f tok/s (first token %.1f ms), stream %.2f tok/s (first token %.1f ms)\n", r + 1,
                    b.tokensPerSecond, b.ttftMs, s.tokensPerSecond, s.ttftMs);
        std::fflush(stdout);
        bareTps.push_back(b.tokensPerSecond);
        streamTps.push_back(s.tokensPerSecond);
        bareTtft.push_back(b.ttftMs);
        streamTtft.push_back(s.ttftMs);
    }

    const double stopGenerating = stopLatency(*model, prompt, 8, 0);
    std::string longPrompt;
    for (int i = 0; i < 2000 && int64_t(longPrompt.size()) / 4 < model->contextSize() - 300; ++i)
        longPrompt += " the";
    const double stopPrompt = stopLatency(*model, longPrompt, 0, 50);
    const auto unloadStart = Clock::now();
    model->free();
    const double unloadMs = msSince(unloadStart);

    const double bare = median(bareTps), stream = median(streamTps);
    std::printf("bare tokens/s: %.2f\n", bare);
    std::printf("stream tokens/s: %.2f\n", stream);
    std::printf("bare time to first token: %.1f ms\n", median(bareTtft));
    std::printf("stream time to first token: %.1f ms\n", median(streamTtft));
    std::printf("stop latency while generating: %.1f ms\n", stopGenerating);
    std::printf("stop latency during the prompt: %.1f ms\n", stopPrompt);
    std::printf("unload: %.1f ms\n", unloadMs);
    std::printf("ratio %.3f\n", bare > 0 ? stream / bare : 0.0);
    return 0;
}

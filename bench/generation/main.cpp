// cvn-bench-generation: how much the engine's generation stream costs over a
// bare llama.h loop on the same model, context, prompt and sampler chain, and
// how it compares with llama.cpp's own llama-bench at the same depth.
//
//   cvn-bench-generation --model FILE [--threads N[,N...]] [--tokens N]
//                        [--prompt-tokens N] [--ctx N] [--runs N]
//                        [--llama-bench PATH]
//
// Each thread count (default: 2 and the core count) gets its own block.
// Runs alternate which side goes first. Generation speed is counted after
// the first token (the first token's time is the prompt's), over the tokens
// each run really generated. A block ends with "vs-llama-bench <stream /
// llama-bench tokens per second>" when a llama-bench binary is given (see
// bench/llama-bench.sh --build-only) and "ratio <stream/bare tokens per
// second>".
#include "BenchOptions.h"
#include "BenchTiming.h"
#include "engine/LlamaModel.h"

#include <llama.h>

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

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
using cvn::bench::parseCount;

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

// The same steps as the engine's run, written straight against llama.h (with
// the engine's repeat penalty, so that both sides sample alike).
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
        if (llama_sampler* penalty = newRepeatPenaltySampler(int32_t(p.repeatLastN), p.repeatPenalty))
            llama_sampler_chain_add(chain, penalty);
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
            if (f.tokens >= p.maxTokens)
                break;
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
    bool any = false;
    sink.onPiece = [&](const QString&) {
        if (!any) {
            any = true;
            first = Clock::now();
            f.ttftMs = std::chrono::duration<double, std::milli>(first - start).count();
        }
        return true;
    };
    Clock::time_point end;
    sink.onFinished = [&] {
        end = Clock::now();
        done.set_value();
    };
    GenerationHandle handle = model.generate(prompt, p, std::move(sink));
    done.get_future().wait();
    // Tokens, not pieces: a character of several bytes takes several tokens
    // and makes one piece.
    f.tokens = model.lastRunTokenCount();
    const double after = std::chrono::duration<double>(end - first).count();
    f.tokensPerSecond = any && f.tokens > 1 ? double(f.tokens - 1) / after : 0;
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

// One llama-bench run of the generation test at the stream's depth: its
// tokens per second, or none (with the reason on stderr) when it failed.
std::optional<double> llamaBenchRun(const QString& binary, const std::string& model, long depth, long tokens,
                                    long threads)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(binary, {QStringLiteral("-m"), QString::fromStdString(model), QStringLiteral("-p"),
                           QStringLiteral("0"), QStringLiteral("-n"), QString::number(tokens), QStringLiteral("-d"),
                           QString::number(depth), QStringLiteral("-t"), QString::number(threads),
                           QStringLiteral("-r"), QStringLiteral("1"), QStringLiteral("-ngl"), QStringLiteral("0"),
                           QStringLiteral("-o"), QStringLiteral("json")});
    if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        // Its last line of chatter says why.
        const QString why = process.error() == QProcess::FailedToStart
            ? process.errorString()
            : QString::fromLocal8Bit(process.readAllStandardError()).trimmed().section(QLatin1Char('\n'), -1);
        std::fprintf(stderr, "cvn-bench-generation: llama-bench failed: %s\n", qPrintable(why));
        return std::nullopt;
    }
    const QJsonArray results = QJsonDocument::fromJson(process.readAllStandardOutput()).array();
    for (const QJsonValue& row : results) {
        const QJsonObject test = row.toObject();
        if (test.value(QStringLiteral("n_gen")).toInt() == tokens
            && test.value(QStringLiteral("n_depth")).toInt() == depth)
            return test.value(QStringLiteral("avg_ts")).toDouble();
    }
    std::fprintf(stderr, "cvn-bench-generation: llama-bench printed no generation result\n");
    return std::nullopt;
}

const char* const kUsage = "usage: cvn-bench-generation --model FILE [--threads N[,N...]] [--tokens N] "
                           "[--prompt-tokens N] [--ctx N] [--runs N] [--llama-bench PATH]\n";

int fail(const std::string& message)
{
    std::fprintf(stderr, "cvn-bench-generation: %s\n", message.c_str());
    return 2;
}

// One block of figures at one thread count; false when a run failed.
bool measure(const std::string& path, long threads, long tokens, long promptTokens, long ctx, long runs,
             const QString& llamaBench)
{
    std::shared_ptr<LlamaModel> model;
    const auto loadStart = Clock::now();
    try {
        model = LlamaModel::load(QString::fromStdString(path), ctx, 0, threads);
    } catch (const LoadError& e) {
        std::fprintf(stderr, "cvn-bench-generation: %s\n", e.what());
        return false;
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

    std::vector<double> bareTps, streamTps, bareTtft, streamTtft, referenceTps;
    for (long r = 0; r < runs; ++r) {
        // Which goes first alternates, so neither always runs on a warmer
        // cache: bare, stream, llama-bench, then the other way round.
        RunFigures b, s;
        std::optional<double> reference;
        const auto runReference = [&] {
            if (llamaBench.isEmpty())
                return true;
            reference = llamaBenchRun(llamaBench, path, long(promptIds.size()), tokens, threads);
            return reference.has_value();
        };
        if (r % 2 == 0) {
            b = bareRun(*model, promptIds, params);
            s = streamRun(*model, prompt, params);
            if (!runReference())
                return false;
        } else {
            if (!runReference())
                return false;
            s = streamRun(*model, prompt, params);
            b = bareRun(*model, promptIds, params);
        }
        std::printf("run %ld: bare %.2f tok/s (%lld tokens, first token %.1f ms), stream %.2f tok/s (%lld tokens, "
                    "first token %.1f ms)",
                    r + 1, b.tokensPerSecond, (long long)b.tokens, b.ttftMs, s.tokensPerSecond, (long long)s.tokens,
                    s.ttftMs);
        if (reference)
            std::printf(", llama-bench %.2f tok/s", *reference);
        std::printf("\n");
        std::fflush(stdout);
        if (b.tokens < 2 || s.tokens < 2) {
            std::fprintf(stderr, "cvn-bench-generation: a run ended after fewer than 2 tokens; nothing to time\n");
            return false;
        }
        bareTps.push_back(b.tokensPerSecond);
        streamTps.push_back(s.tokensPerSecond);
        bareTtft.push_back(b.ttftMs);
        streamTtft.push_back(s.ttftMs);
        if (reference)
            referenceTps.push_back(*reference);
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
    std::printf("bare tokens/s: %.2f (min %.2f)\n", bare, *std::min_element(bareTps.begin(), bareTps.end()));
    std::printf("stream tokens/s: %.2f (min %.2f)\n", stream, *std::min_element(streamTps.begin(), streamTps.end()));
    std::printf("bare time to first token: %.1f ms\n", median(bareTtft));
    std::printf("stream time to first token: %.1f ms\n", median(streamTtft));
    std::printf("stop latency while generating: %.1f ms\n", stopGenerating);
    std::printf("stop latency during the prompt: %.1f ms\n", stopPrompt);
    std::printf("unload: %.1f ms\n", unloadMs);
    if (!referenceTps.empty()) {
        const double reference = median(referenceTps);
        std::printf("llama-bench tokens/s: %.2f (min %.2f)\n", reference,
                    *std::min_element(referenceTps.begin(), referenceTps.end()));
        std::printf("vs-llama-bench %.3f\n", reference > 0 ? stream / reference : 0.0);
    }
    std::printf("ratio %.3f\n", bare > 0 ? stream / bare : 0.0);
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    std::string path;
    QString llamaBench;
    std::vector<long> threadCounts = cvn::bench::defaultThreadCounts();
    long tokens = 128, promptTokens = 512, ctx = 4096, runs = 3;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::printf("%s", kUsage);
            return 0;
        }
        if (arg != "--model" && arg != "--threads" && arg != "--tokens" && arg != "--prompt-tokens" && arg != "--ctx"
            && arg != "--runs" && arg != "--llama-bench")
            return fail("unknown option " + arg + " (see --help)");
        if (i + 1 >= argc)
            return fail(arg + " needs a value");
        const std::string v = argv[++i];
        if (arg == "--model") {
            path = v;
        } else if (arg == "--llama-bench") {
            llamaBench = QString::fromStdString(v);
        } else if (arg == "--threads") {
            const auto list = cvn::bench::parseCountList(v);
            if (!list)
                return fail("--threads takes counts >= 1 separated by commas, not " + v);
            threadCounts = *list;
        } else {
            const std::optional<long> n = parseCount(v, arg == "--tokens" ? 2 : 1);
            if (!n)
                return fail(arg + " takes a whole number >= " + (arg == "--tokens" ? "2" : "1") + ", not " + v);
            (arg == "--tokens" ? tokens : arg == "--prompt-tokens" ? promptTokens : arg == "--ctx" ? ctx : runs) = *n;
        }
    }
    if (path.empty())
        return fail("--model FILE is required (see --help)");
    if (!QFileInfo(QString::fromStdString(path)).isFile() || !QFileInfo(QString::fromStdString(path)).isReadable())
        return fail("cannot read the model file " + path);
    if (!llamaBench.isEmpty() && !QFileInfo(llamaBench).isExecutable())
        return fail("--llama-bench " + llamaBench.toStdString() + " is not an executable file");
    if (llamaBench.isEmpty())
        std::fprintf(stderr, "cvn-bench-generation: no --llama-bench binary given, so no vs-llama-bench line "
                             "(bench/llama-bench.sh --build-only builds one)\n");

    for (const long threads : threadCounts) {
        if (!measure(path, threads, tokens, promptTokens, ctx, runs, llamaBench))
            return 1;
    }
    return 0;
}

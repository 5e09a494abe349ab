#pragma once

#include "engine/SamplingParams.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

struct llama_sampler;

namespace cvn {

class LlamaModel;

// llama.cpp's repeat penalty (llama_sampler_init_penalties without frequency
// or presence penalties): the same logits, bit for bit, for the same accepted
// tokens. llama.cpp's own looks every candidate of the vocabulary up in a hash
// map, which cost more per token than all the rest of sampling; this one
// touches only the tokens in its window when the candidates are laid out by
// token id, as llama_sampler_sample lays them out, and scans otherwise.
// Null when the penalty would change nothing (lastN < 1 or repeat 1). The
// caller frees it with llama_sampler_free, or a chain that holds it does.
llama_sampler* newRepeatPenaltySampler(int32_t lastN, float repeat);

// The sampler chain of one run: the repeat penalty, then at temperature 0
// the most likely token alone; otherwise top-k (unless 0), top-p, min-p
// (unless 0), the temperature and a draw with the seed. Null when llama.cpp
// cannot make a chain; the caller frees it with llama_sampler_free.
llama_sampler* newSamplerChain(const SamplingParams& params);

// The runtime log's line for a reply sampled with `params`.
QString samplingLogLine(const SamplingParams& params);

// How far a run's work before its first token has come.
struct RunProgress {
    enum class Stage { prompt, image };
    Stage stage = Stage::prompt;
    double fraction = 0; // prompt: the share of the prompt decoded, 0 to 1
    int64_t elapsedMs = 0; // image: since its encode began
};

// Where one generation run delivers its text. Both callbacks run on the
// model's queue, never on the caller's thread; a consumer on the main thread
// re-posts them (see runOnMain).
struct GenerationSink {
    // One piece of reply text, never empty. Returning false says the consumer
    // is gone and ends the run at once.
    std::function<bool(const QString& piece)> onPiece;
    // Called exactly once when the run is over, however it ended (including
    // a run that never started because the model was freed first).
    std::function<void()> onFinished;
    // Optional: where reading the prompt is slow, its progress, at most a few
    // times a second.
    std::function<void(const RunProgress&)> onProgress;
};

// The shared state of one run: its own cancel flag, so that a stop that lands
// before the run has reached the queue is not lost, and whether the run is in
// progress, so that a late cancel of a finished run never stops the next one.
struct GenerationRun {
    std::atomic<bool> cancelled{false};
    std::mutex mutex; // guards `running` together with the stop request
    bool running = false;
    std::weak_ptr<LlamaModel> model;
};

// The caller's end of one run. Cancelling or destroying it ends the run at its
// next check (and, while it runs, sets the model's stop flag too). Move-only;
// a default-constructed handle refers to no run.
class GenerationHandle {
public:
    GenerationHandle() = default;
    explicit GenerationHandle(std::shared_ptr<GenerationRun> run) : m_run(std::move(run)) {}
    ~GenerationHandle() { cancel(); }

    GenerationHandle(GenerationHandle&&) noexcept = default;
    GenerationHandle& operator=(GenerationHandle&& other) noexcept
    {
        if (this != &other) {
            cancel();
            m_run = std::move(other.m_run);
        }
        return *this;
    }
    GenerationHandle(const GenerationHandle&) = delete;
    GenerationHandle& operator=(const GenerationHandle&) = delete;

    // Safe from any thread, any number of times.
    void cancel();
    bool isCancelled() const { return m_run && m_run->cancelled.load(); }
    bool isValid() const { return bool(m_run); }

private:
    std::shared_ptr<GenerationRun> m_run;
};

} // namespace cvn

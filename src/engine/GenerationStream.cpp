// One generation run: from a rendered prompt to a stream of reply pieces, on
// the model's queue.
#include "engine/LlamaModel.h"

#include "platform/Logging.h"
#include "platform/Utf8Decoder.h"

#include <llama.h>

#include <algorithm>

namespace cvn {

namespace {

// Tokens kept free for the reply when a long prompt is cut to fit.
constexpr int64_t kReplyReserve = 256;

struct SamplerChain {
    llama_sampler* chain = nullptr;
    ~SamplerChain()
    {
        if (chain)
            llama_sampler_free(chain);
    }
};

} // namespace

void GenerationHandle::cancel()
{
    if (!m_run)
        return;
    m_run->cancelled = true;
    // Only a run in progress may touch the model's flag: a late cancel of a
    // finished run must not stop the run that follows it on the queue.
    std::shared_ptr<LlamaModel> model = m_run->model.lock();
    if (!model)
        return;
    std::lock_guard lock(m_run->mutex);
    if (m_run->running)
        model->requestStop();
}

GenerationHandle LlamaModel::generate(const std::string& prompt, const SamplingParams& params, GenerationSink sink)
{
    auto run = std::make_shared<GenerationRun>();
    run->model = weak_from_this();
    m_queue.async([weak = weak_from_this(), run, prompt, params, sink = std::move(sink)] {
        if (std::shared_ptr<LlamaModel> self = weak.lock()) {
            // A run that reaches the queue after free() finishes empty.
            if (!self->m_freeRequested.load())
                self->runGeneration(prompt, params, *run, sink.onPiece);
        }
        if (sink.onFinished)
            sink.onFinished();
    });
    return GenerationHandle(run);
}

std::vector<int32_t> LlamaModel::tokenize(const std::string& text) const
{
    if (!m_model)
        return {};
    const llama_vocab* vocab = llama_model_get_vocab(m_model);
    if (!vocab)
        return {};
    std::vector<llama_token> tokens(text.size() + 8, 0);
    int32_t count = llama_tokenize(vocab, text.data(), int32_t(text.size()), tokens.data(), int32_t(tokens.size()),
                                   /*add_special=*/true, /*parse_special=*/true);
    if (count < 0) {
        tokens.assign(size_t(-count), 0);
        count = llama_tokenize(vocab, text.data(), int32_t(text.size()), tokens.data(), int32_t(tokens.size()),
                               true, true);
    }
    if (count < 1)
        return {};
    tokens.resize(size_t(count));
    // A template that writes the begin-of-sequence marker itself would get a
    // second one from the tokenizer; the model was never trained on two.
    const llama_token bos = llama_vocab_bos(vocab);
    if (llama_vocab_get_add_bos(vocab) && tokens.size() >= 2 && tokens[0] == bos && tokens[1] == bos)
        tokens.erase(tokens.begin());
    return tokens;
}

std::string LlamaModel::tokenPiece(int32_t token) const
{
    const llama_vocab* vocab = llama_model_get_vocab(m_model);
    std::string piece(64, '\0');
    int32_t n = llama_token_to_piece(vocab, token, piece.data(), int32_t(piece.size()), 0, false);
    if (n < 0) {
        piece.assign(size_t(-n), '\0');
        n = llama_token_to_piece(vocab, token, piece.data(), int32_t(piece.size()), 0, false);
    }
    if (n < 1)
        return {};
    piece.resize(size_t(n));
    return piece;
}

void LlamaModel::runGeneration(const std::string& prompt, const SamplingParams& params, GenerationRun& run,
                               const std::function<bool(const QString&)>& onPiece)
{
    {
        std::lock_guard lock(m_stopLock);
        m_stopRequested = false;
    }
    setLastStreamFailure(std::nullopt);

    // From here on a cancel of this run also raises the model's stop flag.
    {
        std::lock_guard lock(run.mutex);
        if (run.cancelled)
            return;
        run.running = true;
    }
    m_activeRun = &run;
    struct RunningGuard {
        GenerationRun& run;
        std::atomic<GenerationRun*>& active;
        ~RunningGuard()
        {
            active = nullptr;
            std::lock_guard lock(run.mutex);
            run.running = false;
        }
    } runningGuard{run, m_activeRun};

    const llama_vocab* vocab = llama_model_get_vocab(m_model);
    if (!vocab)
        return;

    // Every reply decodes its whole prompt from an empty context.
    llama_memory_clear(llama_get_memory(m_context), true);

    std::vector<llama_token> tokens = tokenize(prompt);
    if (tokens.empty())
        return;

    const int64_t nCtx = int64_t(llama_n_ctx(m_context));
    if (nCtx <= kReplyReserve) {
        setLastStreamFailure(QStringLiteral("The model's context (%1 tokens) has no room left for a reply. "
                                            "Load it with a larger context.")
                                 .arg(nCtx));
        return;
    }

    const int64_t budget = nCtx - kReplyReserve;
    if (int64_t(tokens.size()) > budget) {
        const int64_t before = int64_t(tokens.size());
        const bool keepBos = llama_vocab_get_add_bos(vocab) && tokens.front() == llama_vocab_bos(vocab);
        std::vector<llama_token> fitted;
        fitted.reserve(size_t(budget));
        if (keepBos)
            fitted.push_back(tokens.front());
        const int64_t tail = budget - int64_t(fitted.size());
        fitted.insert(fitted.end(), tokens.end() - tail, tokens.end());
        tokens = std::move(fitted);
        qCInfo(lcRuntime, "Prompt truncated to fit the context: dropped %d of %d tokens", int(before - budget),
               int(before));
    }

    llama_sampler_chain_params chainParams = llama_sampler_chain_default_params();
    chainParams.no_perf = true;
    SamplerChain sampler{llama_sampler_chain_init(chainParams)};
    if (!sampler.chain)
        return;
    llama_sampler_chain_add(sampler.chain,
                            llama_sampler_init_penalties(llama_vocab_n_tokens(vocab), int32_t(params.repeatLastN),
                                                         params.repeatPenalty, 0.0f, 0.0f));
    llama_sampler_chain_add(sampler.chain, llama_sampler_init_top_k(int32_t(params.topK)));
    llama_sampler_chain_add(sampler.chain, llama_sampler_init_top_p(params.topP, 1));
    llama_sampler_chain_add(sampler.chain, llama_sampler_init_temp(params.temperature));
    llama_sampler_chain_add(sampler.chain, llama_sampler_init_dist(params.seed));

    // Prompt, in slices of the context's batch size.
    const int64_t batchSize = std::max<int64_t>(1, int64_t(llama_n_batch(m_context)));
    for (int64_t start = 0; start < int64_t(tokens.size()); start += batchSize) {
        if (shouldStop(&run))
            return;
        const int32_t count = int32_t(std::min<int64_t>(batchSize, int64_t(tokens.size()) - start));
        if (llama_decode(m_context, llama_batch_get_one(tokens.data() + start, count)) != 0) {
            // An abort from a stop request is not a failure.
            if (!shouldStop(&run)) {
                setLastStreamFailure(
                    QStringLiteral("The model could not process the message. Try again or restart the app."));
                qCCritical(lcRuntime, "llama_decode failed on the prompt");
            }
            return;
        }
    }

    const int64_t limit = std::min(nCtx - int64_t(tokens.size()), params.maxTokens);
    if (limit < 1)
        return;

    QString textSoFar;
    Utf8Decoder pending;
    int64_t generated = 0;
    for (;;) {
        if (shouldStop(&run))
            return;
        // This call samples and also accepts the token into the chain (the
        // penalty window), so it is not accepted a second time.
        llama_token token = llama_sampler_sample(sampler.chain, m_context, -1);
        if (llama_vocab_is_eog(vocab, token))
            return;

        const QString text = pending.push(tokenPiece(token));
        if (!text.isEmpty()) {
            textSoFar += text;
            if (onPiece && !onPiece(text))
                return; // nobody is listening any more
        }
        for (const QString& stop : params.stopSequences) {
            if (!stop.isEmpty() && textSoFar.endsWith(stop))
                return;
        }

        ++generated;
        if (llama_decode(m_context, llama_batch_get_one(&token, 1)) != 0) {
            if (!shouldStop(&run))
                qCCritical(lcRuntime, "llama_decode failed mid-generation at token %d", int(generated));
            return;
        }
        if (generated >= limit)
            return;
    }
}

} // namespace cvn

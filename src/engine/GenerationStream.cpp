// One generation run: from a rendered prompt to a stream of reply pieces, on
// the model's queue.
#include "engine/LlamaModel.h"

#include "engine/ImageStandIns.h"
#include "engine/ReplyPrompt.h"
#include "engine/ReplySampling.h"
#include "platform/Logging.h"
#include "platform/Utf8Decoder.h"

#include <llama.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <unordered_set>
#include <utility>

namespace cvn {

namespace {

// How long the end of a run waits for the next one before it saves its
// state: the next turn of a client that asks at once is here within a few
// milliseconds of the reply's end.
constexpr std::chrono::milliseconds kSaveGrace{200};

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
    return generate([prompt](const LlamaModel& model, SamplingParams&) { return model.tokenize(prompt); }, params,
                    std::move(sink));
}

GenerationHandle LlamaModel::generate(PromptMaker makePrompt, const SamplingParams& params, GenerationSink sink)
{
    auto run = std::make_shared<GenerationRun>();
    run->model = weak_from_this();
    ++m_runsQueued;
    m_queue.async([weak = weak_from_this(), run, makePrompt = std::move(makePrompt), params, sink = std::move(sink)]() mutable {
        if (std::shared_ptr<LlamaModel> self = weak.lock()) {
            --self->m_runsQueued;
            // A run that reaches the queue after free() finishes empty.
            if (!self->m_freeRequested.load()) {
                self->runGeneration(makePrompt, params, *run, sink);
                // The copy of the state waits for no one: it is made once
                // the run was told to have ended, still on this queue, so
                // that whoever runs next (another chat, a request, another
                // model) finds it kept. Not when a free stopped the run:
                // its caller waits on the main thread for this queue. A
                // free that the end brings waits for the copy, as the next
                // model's load does not. Nor after a GPU fault: the
                // context's state is not to be trusted.
                const bool keep = !self->m_freeRequested.load() && !self->m_gpuFaulted.load();
                if (sink.onFinished)
                    std::exchange(sink.onFinished, {})();
                // Nor while a run waits: an agent sends its next turn the
                // moment a reply ends, and that run goes first, saving this
                // state only when its prompt does not take this one's further
                // (restoreBest). Other work, or none for a moment, finds it
                // saved as before.
                self->m_saveOwed = keep;
                if (!keep || !self->m_queue.waitForMore(kSaveGrace) || self->m_runsQueued.load() == 0)
                    self->saveOwed();
            }
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

std::string LlamaModel::tokenPiece(int32_t token, bool special) const
{
    const llama_vocab* vocab = llama_model_get_vocab(m_model);
    std::string piece(64, '\0');
    int32_t n = llama_token_to_piece(vocab, token, piece.data(), int32_t(piece.size()), 0, special);
    if (n < 0) {
        piece.assign(size_t(-n), '\0');
        n = llama_token_to_piece(vocab, token, piece.data(), int32_t(piece.size()), 0, special);
    }
    if (n < 1)
        return {};
    piece.resize(size_t(n));
    return piece;
}

void LlamaModel::runGeneration(const PromptMaker& makePrompt, const SamplingParams& asked, GenerationRun& run,
                               const GenerationSink& sink)
{
    const std::function<bool(const QString&)>& onPiece = sink.onPiece;
    {
        std::lock_guard lock(m_stopLock);
        m_stopRequested = false;
    }
    setLastStreamFailure(std::nullopt);
    m_lastRunTokens = 0;
    m_lastRunFilledContext = false;
    m_lastRunHitLimit = false;
    m_lastRunGrammarStuck = false;
    m_runOutOfMemory = false;
    if (m_gpuFaulted.load()) {
        setLastStreamFailure(kGpuStoppedText);
        return;
    }

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

    // The prompt maker may settle the rest of the sampling with the prompt.
    SamplingParams params = asked;
    std::vector<llama_token> tokens = makePrompt(*this, params);
    if (tokens.empty())
        return;
    GrammarSampling grammar;
    if (params.grammar.isSet()) {
        if (const std::optional<QString> refused = grammar.build(vocab, params.grammar)) {
            qCWarning(lcRuntime, "%s", qUtf8Printable(*refused));
            setLastStreamFailure(*refused);
            return;
        }
    }
    // Special tokens the reply shows as text; a text that is not one token
    // of this vocabulary is never written as one.
    std::unordered_set<llama_token> shown;
    for (const std::string& text : params.grammar.preservedTokens)
        if (const std::vector<llama_token> ids = GrammarSampling::tokens(vocab, text); ids.size() == 1)
            shown.insert(ids.front());

    const int64_t nCtx = int64_t(llama_n_ctx(m_context));
    if (nCtx <= ReplyPrompt::replyReserve) {
        setLastStreamFailure(QStringLiteral("The model's context (%1 tokens) has no room left for a reply. "
                                            "Load it with a larger context.")
                                 .arg(nCtx));
        return;
    }

    // A chat's prompt comes cut at whole messages (ReplyPrompt); what is
    // still too long keeps its first token and its last ones.
    const bool keepBos = llama_vocab_get_add_bos(vocab) && tokens.front() == llama_vocab_bos(vocab);
    tokens = ReplyPrompt::keepEnds(std::move(tokens), nCtx - ReplyPrompt::replyReserve, keepBos ? 1 : 0);

    // The context keeps what earlier runs decoded, so a reply in a long chat
    // decodes only what changed since the last one: the new message, or
    // everything after an edit. The reply is the one a full decode of the
    // same prompt gives, the same up to floating-point rounding: llama.cpp's
    // kernels round differently by batch shape, so logits computed in other
    // slices differ in their last digits. Only the wait before it changes.
    // A state kept from an earlier conversation or an earlier start of the
    // app may share more of the prompt than the context does.
    KeptFrom from = restoreBest(tokens); // may save the last run's state first
    m_runPromptLength = tokens.size();
    const int64_t kept = keepDecodedPrefix(tokens);
    if (kept == 0)
        from = KeptFrom::lastRun; // a memory that cannot drop a tail lost it again
    const char* how = from == KeptFrom::memory ? "restored from memory"
                      : from == KeptFrom::disk ? "restored from disk"
                                               : "kept from the last run";
    qCInfo(lcRuntime, "Prompt: %d tokens, %d %s", int(tokens.size()), int(kept), how);

    // The reply ends at its own limit or where the context ends, whichever
    // comes first; the log says which number applied.
    const int64_t room = nCtx - int64_t(tokens.size());
    const int64_t limit = std::min(room, params.maxTokens);
    SamplingParams applied = params;
    applied.maxTokens = limit;
    qCInfo(lcRuntime, "%s%s", qUtf8Printable(samplingLogLine(applied)),
           !grammar.isSet() ? "" : params.grammar.lazy ? ", a grammar from its trigger on" : ", a grammar");
    SamplerChain sampler{newSamplerChain(params)};
    if (!sampler.chain)
        return;

    // Prompt, in slices of the context's batch size (on a GPU, of the
    // slices PromptPace sizes), each text slice ending where an image
    // begins; an image is encoded and its embeddings decoded at its
    // positions. Where the work takes more than a second, the caller hears
    // how far it has come.
    const int64_t batchSize = std::max<int64_t>(1, int64_t(llama_n_batch(m_context)));
    const bool paced = m_gpuLayersOffloaded > 0;
    const auto started = std::chrono::steady_clock::now();
    const auto tellProgress = [&](int64_t done) {
        if (!sink.onProgress || int64_t(tokens.size()) <= kept
            || std::chrono::steady_clock::now() - started < std::chrono::seconds(1))
            return;
        RunProgress progress;
        progress.fraction = double(done - kept) / double(int64_t(tokens.size()) - kept);
        sink.onProgress(progress);
    };
    const std::function<void(const RunProgress&)> imageProgress = [&](const RunProgress& progress) {
        if (sink.onProgress)
            sink.onProgress(progress);
    };
    if (m_testHooks.beforePrompt)
        m_testHooks.beforePrompt();
    for (int64_t start = kept; start < int64_t(tokens.size());) {
        if (shouldStop(&run))
            return;
        if (standins::isImage(tokens[size_t(start)])) {
            const int64_t before = int64_t(m_keptTokens.size());
            const ImageStep step = decodeImage(tokens, start, run, imageProgress);
            if (step == ImageStep::stopped && !m_freeRequested.load())
                qCInfo(lcRuntime, "Stopped by the user during the prompt: %d of %d tokens decoded",
                       int(m_keptTokens.size()), int(tokens.size()));
            if (step != ImageStep::done)
                return;
            start += int64_t(m_keptTokens.size()) - before;
            if (m_testHooks.afterPromptSlice)
                m_testHooks.afterPromptSlice(int64_t(m_keptTokens.size()));
            tellProgress(start);
            continue;
        }
        int64_t slice = paced ? m_promptPace.next(batchSize, int64_t(llama_n_ubatch(m_context))) : batchSize;
        // A tail shorter than a step goes with the slice before it: its own
        // shape would build kernels of its own on the device.
        if (const int64_t rest = int64_t(tokens.size()) - start; rest - slice < PromptPace::kStep && rest <= batchSize)
            slice = rest;
        int64_t end = std::min<int64_t>(start + slice, int64_t(tokens.size()));
        end = std::find_if(tokens.begin() + start, tokens.begin() + end, standins::isImage) - tokens.begin();
        const auto count = int32_t(end - start);
        const auto sliceStarted = std::chrono::steady_clock::now();
        if (decode(tokens.data() + start, count) != 0) {
            // An abort from a stop request is not a failure: the memory then
            // holds what was kept plus at most part of this slice, which the
            // next run drops.
            if (deviceFailed()) {
                // The fault told the reply's end itself.
            } else if (!shouldStop(&run)) {
                forgetDecoded();
                setLastStreamFailure(
                    QStringLiteral("The model could not process the message. Try again or restart the app."));
                qCCritical(lcRuntime, "llama_decode failed on the prompt");
            } else if (!m_freeRequested.load()) {
                qCInfo(lcRuntime, "Stopped by the user during the prompt: %d of %d tokens decoded",
                       int(m_keptTokens.size()), int(tokens.size()));
            }
            return;
        }
        if (paced)
            m_promptPace.record(count, std::chrono::duration<double>(std::chrono::steady_clock::now() - sliceStarted)
                                           .count());
        m_keptTokens.insert(m_keptTokens.end(), tokens.begin() + start, tokens.begin() + end);
        start = end;
        if (m_testHooks.afterPromptSlice)
            m_testHooks.afterPromptSlice(int64_t(m_keptTokens.size()));
        tellProgress(start);
    }
    if (m_testHooks.afterPrompt)
        m_testHooks.afterPrompt(llama_get_logits_ith(m_context, -1), llama_vocab_n_tokens(vocab));

    if (limit < 1)
        return;

    StopStrings stops(params.stopSequences);
    // A reply that ends without a stop string (at its end token, its limit,
    // the user's stop) still shows the tail held back from it.
    const auto showRest = [&] {
        if (const QString rest = stops.rest(); !rest.isEmpty() && onPiece)
            onPiece(rest);
    };
    Utf8Decoder pending;
    int64_t generated = 0;
    for (;;) {
        if (shouldStop(&run))
            return showRest();
        // This call samples and also accepts the token into the chain (the
        // penalty window), so it is not accepted a second time.
        llama_token token = LLAMA_TOKEN_NULL;
        // Reading the logits waits for the device: a fault there is the
        // device's, never the grammar's.
        const float* logits = nullptr;
        if (!onDevice([&] { logits = llama_get_logits_ith(m_context, -1); }))
            return showRest();
        if (!grammar.isSet()) {
            if (!onDevice([&] { token = llama_sampler_sample(sampler.chain, m_context, -1); }))
                return showRest();
        } else {
            try {
                token = grammar.sample(sampler.chain, logits, llama_vocab_n_tokens(vocab), vocab);
            } catch (const std::exception& error) {
                qCWarning(lcRuntime, "The grammar refused the reply: %s", error.what());
            }
            if (token == LLAMA_TOKEN_NULL) {
                m_lastRunGrammarStuck = true;
                setLastStreamFailure(
                    QStringLiteral("The reply's grammar allows no next token after %1 tokens.").arg(generated));
                return showRest();
            }
        }
        if (llama_vocab_is_eog(vocab, token))
            return showRest();
        ++generated;
        m_lastRunTokens.store(generated, std::memory_order_relaxed);

        if (const QString text = pending.push(tokenPiece(token, shown.count(token) > 0)); !text.isEmpty()) {
            const StopStrings::Step step = stops.push(text);
            if (!step.ready.isEmpty() && onPiece && !onPiece(step.ready))
                return; // nobody is listening any more
            if (step.stopped)
                return;
        }

        // The last token's logits would never be read: no decode for it.
        if (generated >= limit) {
            m_lastRunFilledContext = generated >= room;
            m_lastRunHitLimit = true;
            return showRest();
        }
        // A one-token decode is the device's cost of a decode of its own,
        // which the fit of the prompt slices then knows well.
        const auto tokenStarted = std::chrono::steady_clock::now();
        if (decode(&token, 1) != 0) {
            if (!deviceFailed() && !shouldStop(&run)) {
                forgetDecoded();
                qCCritical(lcRuntime, "llama_decode failed mid-generation at token %d", int(generated));
            }
            return showRest();
        }
        if (paced)
            m_promptPace.record(1, std::chrono::duration<double>(std::chrono::steady_clock::now() - tokenStarted)
                                       .count());
        m_keptTokens.push_back(token);
    }
}

int64_t LlamaModel::keepDecodedPrefix(const std::vector<llama_token>& prompt)
{
    llama_memory_t memory = llama_get_memory(m_context);
    // The last prompt token is always decoded: its logits give the reply's
    // first token.
    const size_t most = std::min(m_keptTokens.size(), prompt.size() - 1);
    const auto differ = std::mismatch(prompt.begin(), prompt.begin() + std::ptrdiff_t(most), m_keptTokens.begin());
    // A kept prefix never ends inside an image: its positions were read
    // together, and the rest of them would have to be encoded again anyway.
    const auto same = llama_pos(standins::backOff(prompt, differ.first - prompt.begin()));
    // Recurrent and hybrid memories refuse to drop a tail; a sliding window
    // holds only its last positions; a memory emptied behind our back holds
    // nothing. Any of these, or nothing in common: decode from the start.
    if (same > 0 && memory && !m_testHooks.refuseMemoryTrim && llama_memory_seq_rm(memory, 0, same, -1)
        && llama_memory_seq_pos_min(memory, 0) == 0 && llama_memory_seq_pos_max(memory, 0) == same - 1) {
        m_keptTokens.resize(size_t(same));
        return same;
    }
    forgetDecoded();
    return 0;
}

void LlamaModel::forgetDecoded()
{
    m_keptTokens.clear();
    // Clearing the memory writes to the device; a lost one is left alone.
    if (llama_memory_t memory = llama_get_memory(m_context); memory && !m_gpuFaulted.load())
        onDevice([&] { llama_memory_clear(memory, true); });
}

} // namespace cvn

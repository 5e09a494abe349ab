// One generation run: from a rendered prompt to a stream of reply pieces, on
// the model's queue.
#include "engine/LlamaModel.h"

#include "engine/ImageStandIns.h"
#include "engine/ReplyPrompt.h"
#include "platform/Logging.h"
#include "platform/Utf8Decoder.h"

#include <llama.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <chrono>
#include <deque>
#include <unordered_map>
#include <optional>
#include <unordered_set>
#include <utility>

namespace cvn {

namespace {

struct SamplerChain {
    llama_sampler* chain = nullptr;
    ~SamplerChain()
    {
        if (chain)
            llama_sampler_free(chain);
    }
};

// The state of newRepeatPenaltySampler: the window of accepted tokens and how
// often each occurs in it.
struct RepeatPenalty {
    int32_t lastN = 0;
    float repeat = 1.0f;
    std::deque<llama_token> window;
    std::unordered_map<llama_token, int> counts;

    static RepeatPenalty& of(llama_sampler* sampler) { return *static_cast<RepeatPenalty*>(sampler->ctx); }

    // The arithmetic of llama.cpp's penalties sampler, its frequency and
    // presence terms (zero here) included, so that rounding matches too.
    void penalize(llama_token_data& candidate, int count) const
    {
        constexpr float frequency = 0.0f, presence = 0.0f;
        if (candidate.logit <= 0)
            candidate.logit *= repeat;
        else
            candidate.logit /= repeat;
        candidate.logit -= float(count) * frequency + float(count > 0) * presence;
    }

    static void apply(llama_sampler* sampler, llama_token_data_array* candidates)
    {
        const RepeatPenalty& self = of(sampler);
        llama_token_data* data = candidates->data;
        const auto size = int64_t(candidates->size);
        bool byId = true;
        for (const auto& [token, count] : self.counts) {
            if (token >= size || data[token].id != token) {
                byId = false;
                break;
            }
        }
        if (byId) {
            for (const auto& [token, count] : self.counts)
                self.penalize(data[token], count);
        } else {
            for (int64_t i = 0; i < size; ++i) {
                const auto found = self.counts.find(data[i].id);
                if (found != self.counts.end())
                    self.penalize(data[i], found->second);
            }
        }
        candidates->sorted = false;
    }

    static void accept(llama_sampler* sampler, llama_token token)
    {
        RepeatPenalty& self = of(sampler);
        ++self.counts[token];
        if (self.window.size() >= size_t(self.lastN)) {
            const llama_token old = self.window.front();
            self.window.pop_front();
            if (--self.counts[old] == 0)
                self.counts.erase(old);
        }
        self.window.push_back(token);
    }

    static void reset(llama_sampler* sampler)
    {
        of(sampler).window.clear();
        of(sampler).counts.clear();
    }

    static void free(llama_sampler* sampler) { delete &of(sampler); }

    static llama_sampler_i& interface()
    {
        static llama_sampler_i iface = [] {
            llama_sampler_i i{};
            i.name = [](const llama_sampler*) { return "cvn-repeat-penalty"; };
            i.accept = &RepeatPenalty::accept;
            i.apply = &RepeatPenalty::apply;
            i.reset = &RepeatPenalty::reset;
            i.free = &RepeatPenalty::free;
            return i;
        }();
        return iface;
    }
};

// A reply's stop strings, found in its text wherever the tokens split it:
// the reply ends before the first one, and a tail that may begin one is held
// back until the next text shows whether it does, so no part of a stop
// string is ever shown.
class StopStrings {
public:
    explicit StopStrings(const QStringList& stops)
    {
        for (const QString& stop : stops)
            if (!stop.isEmpty())
                m_stops.append(stop);
    }

    struct Step {
        QString ready; // text that may be shown now
        bool stopped = false; // a stop string came: `ready` is all that precedes it
    };

    Step push(const QString& text)
    {
        if (m_stops.isEmpty())
            return {text, false};
        // A stop string that began in text already shown would have held it
        // back, so matches start in the held tail or the new text.
        m_held += text;
        qsizetype first = -1;
        for (const QString& stop : m_stops)
            if (const qsizetype at = m_held.indexOf(stop); at >= 0 && (first < 0 || at < first))
                first = at;
        if (first >= 0)
            return {std::exchange(m_held, {}).left(first), true};
        qsizetype keep = 0;
        for (const QString& stop : m_stops)
            for (qsizetype n = std::min(stop.size() - 1, m_held.size()); n > keep; --n)
                if (m_held.endsWith(QStringView(stop).left(n))) {
                    keep = n;
                    break;
                }
        Step step{m_held.left(m_held.size() - keep), false};
        m_held = m_held.right(keep);
        return step;
    }

    // What is held back, once the reply has ended without a stop string.
    QString rest() { return std::exchange(m_held, {}); }

private:
    QStringList m_stops;
    QString m_held;
};

// A run's grammar, kept apart from its chain: the chain samples as it does
// without one, and only the token it chose is checked (one candidate, where
// the grammar over the whole vocabulary costs far more than the chain). Only
// a refused token has the grammar applied to every candidate and the chain
// sample again from what it allows, as llama.cpp's common_sampler_sample
// does.
class GrammarSampling {
public:
    ~GrammarSampling()
    {
        if (m_grammar)
            llama_sampler_free(m_grammar);
    }

    // Builds the grammar and feeds it its prefill; why it cannot, if so.
    std::optional<QString> build(const llama_vocab* vocab, const ReplyGrammar& grammar)
    {
        try {
            if (grammar.lazy) {
                std::vector<const char*> patterns;
                for (const std::string& pattern : grammar.triggerPatterns)
                    patterns.push_back(pattern.c_str());
                m_grammar = llama_sampler_init_grammar_lazy_patterns(
                    vocab, grammar.gbnf.c_str(), "root", patterns.data(), patterns.size(),
                    grammar.triggerTokens.data(), grammar.triggerTokens.size());
            } else {
                m_grammar = llama_sampler_init_grammar(vocab, grammar.gbnf.c_str(), "root");
            }
            if (!m_grammar)
                return QStringLiteral("The reply's grammar is not one llama.cpp can read.");
            if (!grammar.lazy && !grammar.prefill.empty()) {
                const std::vector<llama_token> prefill = prefillTokens(vocab, grammar.prefill);
                for (const llama_token token : prefill) {
                    // llama.cpp aborts on an end token that its grammar has
                    // not reached the end for.
                    if (llama_vocab_is_eog(vocab, token))
                        return QStringLiteral("The reply's grammar could not be used: its opening ends the reply.");
                    llama_sampler_accept(m_grammar, token);
                }
            }
        } catch (const std::exception& error) {
            return QStringLiteral("The reply's grammar could not be used: %1").arg(QString::fromUtf8(error.what()));
        }
        return std::nullopt;
    }

    bool isSet() const { return m_grammar != nullptr; }

    // The next token, sampled by `chain` among those the grammar allows,
    // and accepted by both; LLAMA_TOKEN_NULL when the grammar allows none
    // (or refuses the token it let through).
    llama_token sample(llama_sampler* chain, llama_context* context, int32_t vocabSize, const llama_vocab* vocab)
    {
        llama_token_data_array candidates = fill(context, vocabSize);
        llama_sampler_apply(chain, &candidates);
        llama_token token = candidates.data[candidates.selected].id;
        llama_token_data one{token, 1.0f, 0.0f};
        llama_token_data_array single{&one, 1, -1, false};
        llama_sampler_apply(m_grammar, &single);
        if (one.logit == -INFINITY) {
            candidates = fill(context, vocabSize);
            llama_sampler_apply(m_grammar, &candidates);
            const bool any = std::any_of(candidates.data, candidates.data + candidates.size,
                                         [](const llama_token_data& c) { return c.logit != -INFINITY; });
            if (!any)
                return LLAMA_TOKEN_NULL;
            llama_sampler_apply(chain, &candidates);
            token = candidates.data[candidates.selected].id;
        }
        llama_sampler_accept(chain, token);
        // An end token ends the reply, which the grammar then allowed.
        if (!llama_vocab_is_eog(vocab, token))
            llama_sampler_accept(m_grammar, token);
        return token;
    }

    // The tokens of `text`, special ones parsed, nothing added.
    // The tokens of a grammar's prefill, which the template wrote at the
    // prompt's end: without the space some tokenizers put before the text's
    // start (the template wrote none). The space may be a token of its own,
    // before a special token, or be merged into the first word ("▁<" for a
    // ChatML opening in a vocabulary that has no such special token); the
    // text is then read after a newline, which starts no word.
    static std::vector<llama_token> prefillTokens(const llama_vocab* vocab, const std::string& text)
    {
        std::vector<llama_token> ids = tokens(vocab, text);
        const auto isSpace = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
        if (ids.empty() || isSpace(text.front()))
            return ids;
        const std::string first = piece(vocab, ids.front());
        if (first.empty() || !isSpace(first.front()))
            return ids;
        if (std::all_of(first.begin(), first.end(), isSpace)) {
            ids.erase(ids.begin());
            return ids;
        }
        const std::vector<llama_token> guarded = tokens(vocab, "\n" + text);
        std::string before;
        for (size_t i = 0; i < guarded.size() && std::all_of(before.begin(), before.end(), isSpace); ++i) {
            if (!before.empty() && before.back() == '\n')
                return {guarded.begin() + ptrdiff_t(i), guarded.end()};
            before += piece(vocab, guarded[i]);
        }
        return ids;
    }

    static std::string piece(const llama_vocab* vocab, llama_token token)
    {
        char text[256];
        const int32_t n = llama_token_to_piece(vocab, token, text, sizeof text, 0, true);
        return n > 0 ? std::string(text, size_t(n)) : std::string();
    }

    static std::vector<llama_token> tokens(const llama_vocab* vocab, const std::string& text)
    {
        std::vector<llama_token> ids(text.size() + 4);
        int32_t n = llama_tokenize(vocab, text.data(), int32_t(text.size()), ids.data(), int32_t(ids.size()),
                                   /*add_special=*/false, /*parse_special=*/true);
        ids.resize(size_t(std::max(n, 0)));
        return ids;
    }

private:
    llama_token_data_array fill(llama_context* context, int32_t vocabSize)
    {
        const float* logits = llama_get_logits_ith(context, -1);
        m_candidates.resize(size_t(vocabSize));
        for (llama_token id = 0; id < vocabSize; ++id)
            m_candidates[size_t(id)] = llama_token_data{id, logits[id], 0.0f};
        return {m_candidates.data(), m_candidates.size(), -1, false};
    }

    llama_sampler* m_grammar = nullptr;
    std::vector<llama_token_data> m_candidates;
};

} // namespace

llama_sampler* newRepeatPenaltySampler(int32_t lastN, float repeat)
{
    if (lastN < 1 || repeat == 1.0f)
        return nullptr;
    auto* state = new RepeatPenalty;
    state->lastN = lastN;
    state->repeat = repeat;
    return llama_sampler_init(&RepeatPenalty::interface(), state);
}

llama_sampler* newSamplerChain(const SamplingParams& params)
{
    llama_sampler_chain_params chainParams = llama_sampler_chain_default_params();
    chainParams.no_perf = true;
    llama_sampler* chain = llama_sampler_chain_init(chainParams);
    if (!chain)
        return nullptr;
    if (llama_sampler* penalty = newRepeatPenaltySampler(int32_t(params.repeatLastN), params.repeatPenalty))
        llama_sampler_chain_add(chain, penalty);
    if (params.temperature <= 0.0f) {
        llama_sampler_chain_add(chain, llama_sampler_init_greedy());
        return chain;
    }
    if (params.topK > 0)
        llama_sampler_chain_add(chain, llama_sampler_init_top_k(int32_t(params.topK)));
    llama_sampler_chain_add(chain, llama_sampler_init_top_p(params.topP, 1));
    if (params.minP > 0.0f)
        llama_sampler_chain_add(chain, llama_sampler_init_min_p(params.minP, 1));
    llama_sampler_chain_add(chain, llama_sampler_init_temp(params.temperature));
    llama_sampler_chain_add(chain, llama_sampler_init_dist(params.seed));
    return chain;
}

QString samplingLogLine(const SamplingParams& params)
{
    const QString seed =
        params.seed == SamplingParams::randomSeed ? QStringLiteral("random") : QString::number(params.seed);
    return QStringLiteral("Sampling: temperature %1, top-k %2, top-p %3, min-p %4, repeat penalty %5, limit %6 "
                          "tokens, seed %7")
        .arg(QString::number(params.temperature), QString::number(params.topK), QString::number(params.topP),
             QString::number(params.minP), QString::number(params.repeatPenalty), QString::number(params.maxTokens),
             seed);
}

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
    m_queue.async([weak = weak_from_this(), run, makePrompt = std::move(makePrompt), params, sink = std::move(sink)]() mutable {
        if (std::shared_ptr<LlamaModel> self = weak.lock()) {
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
                if (keep)
                    self->saveDecoded();
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
    m_runPromptLength = tokens.size();
    KeptFrom from = restoreBest(tokens);
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

    // Prompt, in slices of the context's batch size, each text slice
    // ending where an image begins; an image is encoded and its embeddings
    // decoded at its positions. Where the work takes more than a second, the
    // caller hears how far it has come.
    const int64_t batchSize = std::max<int64_t>(1, int64_t(llama_n_batch(m_context)));
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
        int64_t end = std::min<int64_t>(start + batchSize, int64_t(tokens.size()));
        end = std::find_if(tokens.begin() + start, tokens.begin() + end, standins::isImage) - tokens.begin();
        const auto count = int32_t(end - start);
        if (decode(tokens.data() + start, count) != 0) {
            // An abort from a stop request is not a failure: the memory then
            // holds what was kept plus at most part of this slice, which the
            // next run drops.
            if (m_gpuFaulted.load()) {
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
        if (!grammar.isSet()) {
            token = llama_sampler_sample(sampler.chain, m_context, -1);
        } else {
            try {
                token = grammar.sample(sampler.chain, m_context, llama_vocab_n_tokens(vocab), vocab);
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
        if (decode(&token, 1) != 0) {
            if (!m_gpuFaulted.load() && !shouldStop(&run)) {
                forgetDecoded();
                qCCritical(lcRuntime, "llama_decode failed mid-generation at token %d", int(generated));
            }
            return showRest();
        }
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
    if (llama_memory_t memory = llama_get_memory(m_context))
        llama_memory_clear(memory, true);
    m_keptTokens.clear();
}

} // namespace cvn

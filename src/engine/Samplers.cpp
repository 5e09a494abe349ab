// The sampler chain of a run: llama.cpp's samplers with our repeat penalty,
// and the log line that tells them.
#include "engine/Generation.h"

#include <llama.h>

#include <deque>
#include <unordered_map>

namespace cvn {

namespace {

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

} // namespace cvn

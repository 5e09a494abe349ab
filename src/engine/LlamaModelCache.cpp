// A run's start from a decoded state kept by the reply cache, and the save of
// what a run leaves in the context.

#include "engine/LlamaModel.h"
#include "engine/StateShape.h"

#include "platform/Logging.h"

#include <llama.h>

#include <algorithm>
#include <utility>

namespace cvn {

namespace {

// A state is restored only when it spares this many tokens more than the
// context holds: reading a large state for a few tokens of a template's
// start would cost more than it saves.
constexpr int64_t kLeastGain = 32;

} // namespace

std::optional<PromptIdentity> LlamaModel::promptIdentity() const
{
    if (!m_fileIdentity)
        return std::nullopt;
    // A state decoded with flash attention, or on the GPU, lays its cache
    // out differently; none is restored across them.
    const int32_t layout = (m_flashAttention + 1) | int32_t(m_gpuLayersOffloaded << 8);
    // A projector whose file is not known shares no states with any.
    if (m_vision && !m_projectorIdentity)
        return std::nullopt;
    return PromptIdentity{*m_fileIdentity, m_contextSize, m_typeK, m_typeV, layout,
                          m_vision ? m_projectorIdentity : std::nullopt};
}

LlamaModel::KeptFrom LlamaModel::restoreBest(const std::vector<int32_t>& prompt)
{
    // The last run's state, left unsaved for this run, is saved before this
    // prompt takes the context, unless this prompt takes the last one's
    // further: the store would drop that state for this run's own.
    const size_t lastPrompt = std::min(m_runPromptLength, m_keptTokens.size());
    if (m_saveOwed && lastPrompt > 0 && prompt.size() >= lastPrompt
        && std::equal(m_keptTokens.begin(), m_keptTokens.begin() + std::ptrdiff_t(lastPrompt), prompt.begin()))
        m_saveOwed = false;
    saveOwed();
    const std::optional<PromptIdentity> identity = promptIdentity();
    if (!m_promptStore || !identity || prompt.size() < 2 || fileChanged())
        return KeptFrom::lastRun;
    // The last prompt token is always decoded: its logits give the reply's
    // first token.
    const auto most = int64_t(prompt.size()) - 1;
    const auto shareable = std::min<int64_t>(most, int64_t(m_keptTokens.size()));
    const int64_t live =
        std::mismatch(prompt.begin(), prompt.begin() + shareable, m_keptTokens.begin()).first - prompt.begin();
    std::optional<PromptStore::Found> found = m_promptStore->find(*identity, prompt, most, live + kLeastGain - 1);
    if (!found)
        return KeptFrom::lastRun;
    // llama.cpp sizes its reading by the cells a state claims before it
    // reads them: a file that claims more than its tokens would take what
    // it claims.
    if (int64_t(found->tokens.size()) > m_contextSize
        || !stateHasShape(found->state->data(), found->state->size(), StateShape::of(m_model),
                          uint32_t(found->tokens.size()))) {
        m_promptStore->drop(*identity, found->tokens, true);
        return KeptFrom::lastRun;
    }
    llama_memory_t memory = llama_get_memory(m_context);
    if (memory)
        llama_memory_seq_rm(memory, 0, -1, -1);
    m_keptTokens.clear();
    // What the tokens take in this model, context size and KV types is
    // known once they are in the context: the same state, written again,
    // is as long as the one read. Nothing has used the context yet.
    // Writing the state waits for the device, which may fail there.
    size_t read = 0, size = 0;
    if (!onDevice([&] {
            read = llama_state_seq_set_data(m_context, found->state->data(), found->state->size(), 0);
            size = llama_state_seq_get_size(m_context, 0);
        }))
        return KeptFrom::lastRun;
    if (read != found->state->size() || !memory
        || llama_memory_seq_pos_max(memory, 0) != llama_pos(found->tokens.size()) - 1 || size != found->state->size()) {
        m_promptStore->drop(*identity, found->tokens, true);
        forgetDecoded();
        return KeptFrom::lastRun;
    }
    m_keptTokens = std::move(found->tokens);
    // The context now holds an entry the store has; saving it again would
    // only copy it.
    m_savedTokens = m_keptTokens;
    return found->source == PromptStore::Source::disk ? KeptFrom::disk : KeptFrom::memory;
}

void LlamaModel::saveOwed()
{
    if (std::exchange(m_saveOwed, false))
        saveDecoded();
}

void LlamaModel::saveDecoded()
{
    const std::optional<PromptIdentity> identity = promptIdentity();
    if (!m_promptStore || !identity || m_stateShapeUnknown || m_keptTokens.empty() || m_keptTokens == m_savedTokens
        || fileChanged())
        return;
    // A decode stopped mid-slice may have left positions past the kept
    // tokens: that state is not theirs.
    llama_memory_t memory = llama_get_memory(m_context);
    if (!memory || llama_memory_seq_pos_min(memory, 0) != 0
        || llama_memory_seq_pos_max(memory, 0) != llama_pos(m_keptTokens.size()) - 1)
        return;
    // Reading the state waits for the device, which may fail there.
    size_t size = 0;
    if (!onDevice([&] { size = llama_state_seq_get_size(m_context, 0); }))
        return;
    m_savedTokens = m_keptTokens;
    const auto tokens = uint32_t(m_keptTokens.size());
    m_promptStore->save(*identity, m_keptTokens, m_runPromptLength, size, [this, tokens](uint8_t* data, size_t bytes) {
        size_t read = 0;
        if (!onDevice([&] { read = llama_state_seq_get_data(m_context, data, bytes, 0); }) || read != bytes)
            return false;
        // A memory whose states the restore cannot check would have each
        // one refused as damaged: such a model's states are not kept.
        if (stateHasShape(data, bytes, StateShape::of(m_model), tokens))
            return true;
        if (!std::exchange(m_stateShapeUnknown, true))
            qCInfo(lcRuntime, "Reply cache: this model's decoded states are of a form it does not keep");
        return false;
    });
}

} // namespace cvn

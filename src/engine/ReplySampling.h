// The parts of a reply's sampling that run beside the sampler chain: its stop
// strings and its grammar. Used by the generation stream alone, on the
// model's queue.
#pragma once

#include "engine/SamplingParams.h"

#include <QString>
#include <QStringList>

#include <llama.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace cvn {

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

    // The next token, sampled by `chain` from the context's last `logits`
    // (read from the device by the caller) among those the grammar allows,
    // and accepted by both; LLAMA_TOKEN_NULL when the grammar allows none
    // (or refuses the token it let through).
    llama_token sample(llama_sampler* chain, const float* logits, int32_t vocabSize, const llama_vocab* vocab)
    {
        llama_token_data_array candidates = fill(logits, vocabSize);
        llama_sampler_apply(chain, &candidates);
        llama_token token = candidates.data[candidates.selected].id;
        llama_token_data one{token, 1.0f, 0.0f};
        llama_token_data_array single{&one, 1, -1, false};
        llama_sampler_apply(m_grammar, &single);
        if (one.logit == -INFINITY) {
            candidates = fill(logits, vocabSize);
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
    llama_token_data_array fill(const float* logits, int32_t vocabSize)
    {
        m_candidates.resize(size_t(vocabSize));
        for (llama_token id = 0; id < vocabSize; ++id)
            m_candidates[size_t(id)] = llama_token_data{id, logits[id], 0.0f};
        return {m_candidates.data(), m_candidates.size(), -1, false};
    }

    llama_sampler* m_grammar = nullptr;
    std::vector<llama_token_data> m_candidates;
};

} // namespace cvn

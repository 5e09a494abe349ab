#pragma once

// What a JSON Schema asks that the grammar made from it could not hold, found
// by walking the schema itself before llama.cpp's converter and grammar reader
// see it. The reader trusts its grammar: bounds that contradict each other
// make it build about 2^64 rules, and a bound past its count it quietly drops.
// The converter drops what it cannot express. Either way the reply would not
// be held to the schema, or the program would not live to say so.

#include <json.h>

#include <QString>

#include <optional>
#include <string>

namespace cvn::api {

// The most times llama.cpp's grammar reader repeats a part: past it, a
// least is refused and a most silently dropped.
inline constexpr int maxGrammarRepeats = 2000;

// Why `schema` cannot be held, in plain words naming the part, or nothing.
std::optional<QString> schemaProblem(const common_json& schema);

// What a grammar costs once read: its alternatives (each one the sampler may
// have to follow at once, for every candidate token) and the symbols its
// repetitions are spelled out into.
struct GrammarCost {
    long long alternatives = 0;
    long long repeatedSymbols = 0;
};

// The most a request's grammar may cost. A token the grammar refuses has the
// grammar applied to the whole vocabulary, alternative by live alternative:
// some 0.8 ms for each with a vocabulary of 151k tokens on a desktop
// processor (cvn-bench-schemas), so 256 keep such a token near a quarter of
// a second where 4,096 took four. Each repeated symbol is a rule once read,
// and 100,000 of them take tens of MB and a few tenths of a second to read.
inline constexpr long long maxGrammarAlternatives = 256;
inline constexpr long long maxGrammarRepeatedSymbols = 100000;

// Reads `gbnf` as llama.cpp's reader will, but only for its repetitions and
// alternatives: why the reader must not see it (a repetition whose least is
// past its most, or past maxGrammarRepeats), or nothing and its cost.
std::optional<QString> grammarProblem(const std::string& gbnf, GrammarCost& cost);

} // namespace cvn::api

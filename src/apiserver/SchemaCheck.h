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

// Rewrites what the converter would drop into what it holds, in place: a
// pattern's \d (zod writes its dates and times with it) as [0-9]. The
// schema so written is the one both the converter and the chat code see.
void rewriteForGrammar(common_json& schema);

// The grammar of `schema`, as llama.cpp's converter makes it, that also
// holds the sign of each number (of type "number" alone) whose least is 0
// or more: its minus sign is left out. Its other bounds are not held.
// Throws what the converter throws.
std::string grammarOf(const common_json& schema);

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

// The alternatives that the integers with bounds of `schema` add to its
// grammar's count beyond those that can be followed at once. The converter
// spells a range digit by digit, one alternative for each count of digits
// and each leading digit: zod's safe integers, ±(2^53 - 1), make 265, of
// which a token meets a few dozen at most.
long long boundedIntegerSurplus(const common_json& schema);

// Reads `gbnf` as llama.cpp's reader will, but only for its repetitions and
// alternatives: why the reader must not see it (a repetition whose least is
// past its most, or past maxGrammarRepeats), or nothing and its cost.
std::optional<QString> grammarProblem(const std::string& gbnf, GrammarCost& cost);

} // namespace cvn::api

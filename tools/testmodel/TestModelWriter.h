#pragma once

// Writes small GGUF models of the "llama" architecture for tests and
// benchmarks, with the tokenizer of one of llama.cpp's vocabulary-only files.
//
// Two kinds:
//  - random: every matrix drawn from normal(0, 0.02), norms 1. Speed depends
//    only on the shape, so a large random model stands in for a real one.
//  - scripted: layer outputs are zero, the embeddings of scripted tokens are
//    one-hot and the output rows point from each scripted token to its
//    successor, so the next token is a fixed function of the current one
//    whatever the position, seed, sampler or penalty (logit gap of about
//    `gap`). Unscripted tokens give uniform logits, so a prompt has to end on
//    a scripted token.

#include <cstdint>
#include <string>
#include <vector>

namespace cvn::testmodel {

struct Shape {
    int64_t embd = 64;
    int64_t layers = 2;
    int64_t ff = 128;
    int64_t heads = 4;
    int64_t headsKv = 4;
    int64_t ctx = 2048;
};

enum class WeightType { f32, f16 };

struct RandomSpec {
    Shape shape;
    uint32_t seed = 1;
    WeightType type = WeightType::f32;
};

struct ScriptSpec {
    Shape shape;
    // Each chain is a list of token texts as the vocabulary spells them
    // ("▁Hello", "<0xC3>", "</s>"): every token maps to the next one. A chain
    // may return to an earlier token to form a cycle.
    std::vector<std::vector<std::string>> chains;
    float gap = 32.0f;
};

// Extra metadata written after the architecture keys (overrides any key).
struct ExtraString {
    std::string key;
    std::string value;
};

// The llama.cpp vocabulary file of that name, e.g. "llama-spm" for
// models/ggml-vocab-llama-spm.gguf.
std::string vocabPath(const std::string& name = "llama-spm");

// Each returns an empty string on success, else what went wrong.
std::string writeRandomModel(const std::string& outPath, const std::string& vocabFile, const RandomSpec& spec,
                             const std::vector<ExtraString>& extra = {});
std::string writeScriptedModel(const std::string& outPath, const std::string& vocabFile, const ScriptSpec& spec,
                               const std::vector<ExtraString>& extra = {});

// A random projector: the GGUF ("general.type" mmproj, "clip.*" keys) that
// llama.cpp's mtmd library loads beside a text model to turn an image into
// the embeddings of a run of its positions. Its output width is `textEmbd`,
// so it pairs with a random model of that n_embd. Two layouts:
//  - mlp: LLaVA-1.5's CLIP encoder (class token, pre-norm, output of the
//    last layer but one) and its two matrices with a GELU between;
//  - gemma3: Gemma 3's SigLIP encoder, its 4 x 4 average pool and the
//    projection after an RMS norm; the text model reads those positions
//    with non-causal attention.
// The defaults write about 170 KB with 4 image tokens; the other fields give
// a real encoder's shape for speed measurements.
enum class ProjectorLayout { mlp, gemma3 };

struct ProjectorSpec {
    ProjectorLayout layout = ProjectorLayout::mlp;
    int64_t textEmbd = 64;
    int64_t imageSize = 0; // 0: 28 px for mlp, 112 for gemma3
    int64_t patchSize = 14;
    int64_t layers = 2;
    int64_t width = 32;
    int64_t heads = 4;
    int64_t ff = 64;
    uint32_t seed = 1;
    WeightType type = WeightType::f32;
};

std::string writeRandomProjector(const std::string& outPath, const ProjectorSpec& spec);

// Quantises a written model with llama.cpp (e.g. "Q4_K_M"). Empty on success.
std::string quantizeModel(const std::string& inPath, const std::string& outPath, const std::string& type);

// Token id of `text` in the vocabulary file, or -1.
int32_t tokenId(const std::string& vocabFile, const std::string& text);

} // namespace cvn::testmodel

#include "TestModelWriter.h"

#include "ggml.h"
#include "gguf.h"
#include "llama.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>

namespace cvn::testmodel {

namespace {

struct GgufDeleter {
    void operator()(gguf_context* c) const { gguf_free(c); }
};
struct GgmlDeleter {
    void operator()(ggml_context* c) const { ggml_free(c); }
};
using GgufPtr = std::unique_ptr<gguf_context, GgufDeleter>;
using GgmlPtr = std::unique_ptr<ggml_context, GgmlDeleter>;

GgufPtr openVocab(const std::string& vocabFile, std::string& error)
{
    gguf_init_params params{/*no_alloc =*/true, /*ctx =*/nullptr};
    GgufPtr vocab(gguf_init_from_file(vocabFile.c_str(), params));
    if (!vocab)
        error = "cannot read vocabulary file " + vocabFile;
    return vocab;
}

int64_t vocabSize(const gguf_context* vocab)
{
    const int64_t key = gguf_find_key(vocab, "tokenizer.ggml.tokens");
    return key < 0 ? 0 : int64_t(gguf_get_arr_n(vocab, key));
}

// Token id of `text` in an open vocabulary, or -1.
int32_t tokenIdIn(const gguf_context* vocab, const std::string& text)
{
    const int64_t key = gguf_find_key(vocab, "tokenizer.ggml.tokens");
    if (key < 0)
        return -1;
    const size_t n = gguf_get_arr_n(vocab, key);
    for (size_t i = 0; i < n; ++i)
        if (text == gguf_get_arr_str(vocab, key, i))
            return int32_t(i);
    return -1;
}

// One tensor's description and a function that fills its values (row-major,
// ne0 fastest).
struct TensorPlan {
    std::string name;
    int64_t ne0;
    int64_t ne1; // 1 for vectors
    std::function<void(std::vector<float>&)> fill;
    int64_t ne2 = 1; // convolution kernels only
    int64_t ne3 = 1;
    // Added to activations rather than multiplied: the CPU adds f32 only.
    bool alwaysF32 = false;

    bool isVector() const { return ne1 == 1 && ne2 == 1 && ne3 == 1; }
    int64_t elements() const { return ne0 * ne1 * ne2 * ne3; }
};

void setArchitecture(gguf_context* out, const Shape& s, int64_t nVocab)
{
    gguf_set_val_str(out, "general.architecture", "llama");
    gguf_set_val_str(out, "general.name", "cvn test model");
    gguf_set_val_u32(out, "llama.context_length", uint32_t(s.ctx));
    gguf_set_val_u32(out, "llama.embedding_length", uint32_t(s.embd));
    gguf_set_val_u32(out, "llama.block_count", uint32_t(s.layers));
    gguf_set_val_u32(out, "llama.feed_forward_length", uint32_t(s.ff));
    gguf_set_val_u32(out, "llama.attention.head_count", uint32_t(s.heads));
    gguf_set_val_u32(out, "llama.attention.head_count_kv", uint32_t(s.headsKv));
    gguf_set_val_u32(out, "llama.rope.dimension_count", uint32_t(s.embd / s.heads));
    gguf_set_val_f32(out, "llama.attention.layer_norm_rms_epsilon", 1e-5f);
    gguf_set_val_u32(out, "llama.vocab_size", uint32_t(nVocab));
}

std::vector<TensorPlan> llamaTensors(const Shape& s, int64_t nVocab,
                                     const std::function<void(std::vector<float>&)>& matrix,
                                     const std::function<void(std::vector<float>&)>& zeroOrMatrix,
                                     std::function<void(std::vector<float>&)> embeddings,
                                     std::function<void(std::vector<float>&)> output)
{
    const auto ones = [](std::vector<float>& v) { std::fill(v.begin(), v.end(), 1.0f); };
    const int64_t headDim = s.embd / s.heads;
    const int64_t kvDim = headDim * s.headsKv;
    std::vector<TensorPlan> plan;
    plan.push_back({"token_embd.weight", s.embd, nVocab, std::move(embeddings)});
    for (int64_t i = 0; i < s.layers; ++i) {
        const std::string p = "blk." + std::to_string(i) + ".";
        plan.push_back({p + "attn_norm.weight", s.embd, 1, ones});
        plan.push_back({p + "attn_q.weight", s.embd, s.embd, matrix});
        plan.push_back({p + "attn_k.weight", s.embd, kvDim, matrix});
        plan.push_back({p + "attn_v.weight", s.embd, kvDim, matrix});
        plan.push_back({p + "attn_output.weight", s.embd, s.embd, zeroOrMatrix});
        plan.push_back({p + "ffn_norm.weight", s.embd, 1, ones});
        plan.push_back({p + "ffn_gate.weight", s.embd, s.ff, matrix});
        plan.push_back({p + "ffn_up.weight", s.embd, s.ff, matrix});
        plan.push_back({p + "ffn_down.weight", s.ff, s.embd, zeroOrMatrix});
    }
    plan.push_back({"output_norm.weight", s.embd, 1, ones});
    plan.push_back({"output.weight", s.embd, nVocab, std::move(output)});
    return plan;
}

std::string writeTensors(const std::string& outPath, gguf_context* out, WeightType type,
                         const std::vector<TensorPlan>& plan);

std::string writeModel(const std::string& outPath, const gguf_context* vocab, const Shape& shape, WeightType type,
                       const std::vector<TensorPlan>& plan, const std::vector<ExtraString>& extra)
{
    if (shape.embd < 1 || shape.heads < 1 || shape.headsKv < 1 || shape.embd % shape.heads != 0
        || shape.heads % shape.headsKv != 0 || shape.layers < 1 || shape.ff < 1 || shape.ctx < 1)
        return "invalid shape";

    GgufPtr out(gguf_init_empty());
    gguf_set_kv(out.get(), vocab);
    setArchitecture(out.get(), shape, vocabSize(vocab));
    gguf_set_val_u32(out.get(), "general.file_type", type == WeightType::f16 ? 1 : 0);
    for (const auto& e : extra)
        gguf_set_val_str(out.get(), e.key.c_str(), e.value.c_str());
    return writeTensors(outPath, out.get(), type, plan);
}

// Adds the plan's tensors to `out` and writes the file: vectors stay f32,
// matrices and kernels take `type`.
std::string writeTensors(const std::string& outPath, gguf_context* out, WeightType type,
                         const std::vector<TensorPlan>& plan)
{
    // Tensor descriptions only; the data is streamed to the file below.
    ggml_init_params gp{/*mem_size =*/ggml_tensor_overhead() * (plan.size() + 8), /*mem_buffer =*/nullptr,
                        /*no_alloc =*/true};
    GgmlPtr meta(ggml_init(gp));
    for (const auto& t : plan) {
        const bool f32 = t.isVector() || t.alwaysF32 || type == WeightType::f32;
        const ggml_type tt = f32 ? GGML_TYPE_F32 : GGML_TYPE_F16;
        ggml_tensor* tensor = t.isVector() ? ggml_new_tensor_1d(meta.get(), GGML_TYPE_F32, t.ne0)
            : t.ne2 == 1 && t.ne3 == 1     ? ggml_new_tensor_2d(meta.get(), tt, t.ne0, t.ne1)
                                           : ggml_new_tensor_4d(meta.get(), tt, t.ne0, t.ne1, t.ne2, t.ne3);
        ggml_set_name(tensor, t.name.c_str());
        gguf_add_tensor(out, tensor);
    }

    std::FILE* f = std::fopen(outPath.c_str(), "wb");
    if (!f)
        return "cannot create " + outPath;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(f, &std::fclose);
    if (!gguf_write_to_file_ptr(out, f, /*only_meta =*/true))
        return "cannot write the header of " + outPath;

    const size_t alignment = gguf_get_alignment(out);
    std::vector<float> values;
    std::vector<ggml_fp16_t> halves;
    for (int64_t i = 0; i < int64_t(plan.size()); ++i) {
        const auto& t = plan[size_t(i)];
        values.assign(size_t(t.elements()), 0.0f);
        t.fill(values);
        const bool half = gguf_get_tensor_type(out, i) == GGML_TYPE_F16;
        size_t bytes = 0;
        if (half) {
            halves.resize(values.size());
            ggml_fp32_to_fp16_row(values.data(), halves.data(), int64_t(values.size()));
            bytes = halves.size() * sizeof(ggml_fp16_t);
            if (std::fwrite(halves.data(), 1, bytes, f) != bytes)
                return "cannot write " + outPath;
        } else {
            bytes = values.size() * sizeof(float);
            if (std::fwrite(values.data(), 1, bytes, f) != bytes)
                return "cannot write " + outPath;
        }
        const size_t padded = GGML_PAD(bytes, alignment);
        static const char zeros[64] = {};
        if (padded > bytes && std::fwrite(zeros, 1, padded - bytes, f) != padded - bytes)
            return "cannot write " + outPath;
    }
    if (std::fflush(f) != 0)
        return "cannot write " + outPath;
    return {};
}

} // namespace

std::string vocabPath(const std::string& name)
{
    return std::string(CVN_LLAMA_VOCAB_DIR) + "/ggml-vocab-" + name + ".gguf";
}

std::string writeRandomModel(const std::string& outPath, const std::string& vocabFile, const RandomSpec& spec,
                             const std::vector<ExtraString>& extra)
{
    std::string error;
    GgufPtr vocab = openVocab(vocabFile, error);
    if (!vocab)
        return error;
    auto rng = std::make_shared<std::mt19937>(spec.seed);
    auto normal = std::make_shared<std::normal_distribution<float>>(0.0f, 0.02f);
    const auto random = [rng, normal](std::vector<float>& v) {
        for (float& x : v)
            x = (*normal)(*rng);
    };
    const auto plan = llamaTensors(spec.shape, vocabSize(vocab.get()), random, random, random, random);
    return writeModel(outPath, vocab.get(), spec.shape, spec.type, plan, extra);
}

std::string writeScriptedModel(const std::string& outPath, const std::string& vocabFile, const ScriptSpec& spec,
                               const std::vector<ExtraString>& extra)
{
    std::string error;
    GgufPtr vocab = openVocab(vocabFile, error);
    if (!vocab)
        return error;
    const int64_t nVocab = vocabSize(vocab.get());

    // successor of each scripted token, and the embedding dimension it owns
    std::map<int32_t, int32_t> next;
    std::map<int32_t, int64_t> dimension;
    for (const auto& chain : spec.chains) {
        for (size_t i = 0; i + 1 < chain.size(); ++i) {
            const int32_t from = tokenIdIn(vocab.get(), chain[i]);
            const int32_t to = tokenIdIn(vocab.get(), chain[i + 1]);
            if (from < 0)
                return "token not in the vocabulary: " + chain[i];
            if (to < 0)
                return "token not in the vocabulary: " + chain[i + 1];
            const auto known = next.find(from);
            if (known != next.end() && known->second != to)
                return "token has two successors: " + chain[i];
            next[from] = to;
            if (!dimension.count(from))
                dimension.emplace(from, int64_t(dimension.size()));
        }
    }
    const Shape& s = spec.shape;
    if (int64_t(dimension.size()) > s.embd)
        return "more scripted tokens than embedding dimensions";

    // After the final RMS norm a one-hot embedding has the value sqrt(embd).
    const float weight = spec.gap / std::sqrt(float(s.embd));
    const auto zero = [](std::vector<float>&) {};
    const auto embeddings = [=](std::vector<float>& v) {
        for (const auto& [token, dim] : dimension)
            v[size_t(int64_t(token) * s.embd + dim)] = 1.0f;
    };
    const auto output = [=](std::vector<float>& v) {
        for (const auto& [from, to] : next)
            v[size_t(int64_t(to) * s.embd + dimension.at(from))] = weight;
    };
    const auto plan = llamaTensors(s, nVocab, zero, zero, embeddings, output);
    return writeModel(outPath, vocab.get(), s, WeightType::f32, plan, extra);
}

std::string writeRandomProjector(const std::string& outPath, const ProjectorSpec& spec)
{
    const bool gemma = spec.layout == ProjectorLayout::gemma3;
    const int64_t imageSize = spec.imageSize > 0 ? spec.imageSize : gemma ? 112 : 28;
    // Gemma 3 pools 4 x 4 patches into one position.
    const int64_t pool = gemma ? 4 : 1;
    const int64_t w = spec.width;
    if (spec.textEmbd < 1 || spec.patchSize < 1 || spec.layers < 1 || w < 1 || spec.heads < 1 || spec.ff < 1
        || w % spec.heads != 0)
        return "invalid projector shape";
    if (imageSize % (spec.patchSize * pool) != 0)
        return "the image size must be a multiple of " + std::to_string(spec.patchSize * pool);
    const int64_t side = imageSize / spec.patchSize;
    const int64_t positions = side * side + (gemma ? 0 : 1); // CLIP adds its class token

    auto rng = std::make_shared<std::mt19937>(spec.seed);
    auto normal = std::make_shared<std::normal_distribution<float>>(0.0f, 0.02f);
    const auto random = [rng, normal](std::vector<float>& v) {
        for (float& x : v)
            x = (*normal)(*rng);
    };
    const auto ones = [](std::vector<float>& v) { std::fill(v.begin(), v.end(), 1.0f); };
    const auto zeros = [](std::vector<float>&) {};

    std::vector<TensorPlan> plan;
    plan.push_back({"v.patch_embd.weight", spec.patchSize, spec.patchSize, random, 3, w});
    if (gemma)
        plan.push_back({"v.patch_embd.bias", w, 1, zeros});
    else
        plan.push_back({"v.class_embd", w, 1, random});
    plan.push_back({"v.position_embd.weight", w, positions, random, 1, 1, /*alwaysF32 =*/true});
    if (!gemma) {
        plan.push_back({"v.pre_ln.weight", w, 1, ones});
        plan.push_back({"v.pre_ln.bias", w, 1, zeros});
    }
    for (int64_t i = 0; i < spec.layers; ++i) {
        const std::string p = "v.blk." + std::to_string(i) + ".";
        for (const char* m : {"attn_q", "attn_k", "attn_v", "attn_out"}) {
            plan.push_back({p + m + ".weight", w, w, random});
            plan.push_back({p + m + ".bias", w, 1, zeros});
        }
        for (const char* n : {"ln1", "ln2"}) {
            plan.push_back({p + n + ".weight", w, 1, ones});
            plan.push_back({p + n + ".bias", w, 1, zeros});
        }
        plan.push_back({p + "ffn_up.weight", w, spec.ff, random});
        plan.push_back({p + "ffn_up.bias", spec.ff, 1, zeros});
        plan.push_back({p + "ffn_down.weight", spec.ff, w, random});
        plan.push_back({p + "ffn_down.bias", w, 1, zeros});
    }
    if (gemma) {
        plan.push_back({"v.post_ln.weight", w, 1, ones});
        plan.push_back({"v.post_ln.bias", w, 1, zeros});
        plan.push_back({"mm.soft_emb_norm.weight", w, 1, ones});
        plan.push_back({"mm.input_projection.weight", spec.textEmbd, w, random});
    } else {
        plan.push_back({"mm.0.weight", w, spec.textEmbd, random});
        plan.push_back({"mm.0.bias", spec.textEmbd, 1, zeros});
        plan.push_back({"mm.2.weight", spec.textEmbd, spec.textEmbd, random});
        plan.push_back({"mm.2.bias", spec.textEmbd, 1, zeros});
    }

    GgufPtr out(gguf_init_empty());
    gguf_context* g = out.get();
    gguf_set_val_str(g, "general.architecture", "clip");
    gguf_set_val_str(g, "general.type", "mmproj");
    gguf_set_val_str(g, "general.name", "cvn test projector");
    gguf_set_val_u32(g, "general.file_type", spec.type == WeightType::f16 ? 1 : 0);
    gguf_set_val_bool(g, "clip.has_vision_encoder", true);
    gguf_set_val_str(g, "clip.projector_type", gemma ? "gemma3" : "mlp");
    // CLIP's activation is the quick GELU, SigLIP's the tanh one.
    gguf_set_val_bool(g, "clip.use_gelu", gemma);
    gguf_set_val_u32(g, "clip.vision.image_size", uint32_t(imageSize));
    gguf_set_val_u32(g, "clip.vision.patch_size", uint32_t(spec.patchSize));
    gguf_set_val_u32(g, "clip.vision.embedding_length", uint32_t(w));
    gguf_set_val_u32(g, "clip.vision.feed_forward_length", uint32_t(spec.ff));
    gguf_set_val_u32(g, "clip.vision.block_count", uint32_t(spec.layers));
    gguf_set_val_u32(g, "clip.vision.projection_dim", uint32_t(spec.textEmbd));
    gguf_set_val_u32(g, "clip.vision.attention.head_count", uint32_t(spec.heads));
    gguf_set_val_f32(g, "clip.vision.attention.layer_norm_epsilon", gemma ? 1e-6f : 1e-5f);
    static const float clipMean[3] = {0.48145466f, 0.4578275f, 0.40821073f};
    static const float clipStd[3] = {0.26862954f, 0.26130258f, 0.27577711f};
    static const float half[3] = {0.5f, 0.5f, 0.5f};
    gguf_set_arr_data(g, "clip.vision.image_mean", GGUF_TYPE_FLOAT32, gemma ? half : clipMean, 3);
    gguf_set_arr_data(g, "clip.vision.image_std", GGUF_TYPE_FLOAT32, gemma ? half : clipStd, 3);
    return writeTensors(outPath, g, spec.type, plan);
}

std::string quantizeModel(const std::string& inPath, const std::string& outPath, const std::string& type)
{
    llama_model_quantize_params params = llama_model_quantize_default_params();
    if (type == "Q4_K_M")
        params.ftype = LLAMA_FTYPE_MOSTLY_Q4_K_M;
    else if (type == "Q8_0")
        params.ftype = LLAMA_FTYPE_MOSTLY_Q8_0;
    else
        return "unknown quantisation type " + type;
    params.nthread = 0;
    // llama.cpp reports every tensor it converts; only failures matter here.
    // The process's own logger comes back after: it may read what loads say.
    ggml_log_callback previous = nullptr;
    void* previousData = nullptr;
    llama_log_get(&previous, &previousData);
    llama_log_set([](ggml_log_level level, const char* text, void*) {
        if (level == GGML_LOG_LEVEL_ERROR)
            std::fputs(text, stderr);
    }, nullptr);
    llama_backend_init();
    const bool failed = llama_model_quantize(inPath.c_str(), outPath.c_str(), &params) != 0;
    llama_log_set(previous, previousData);
    return failed ? "quantisation failed" : std::string();
}

int32_t tokenId(const std::string& vocabFile, const std::string& text)
{
    std::string error;
    const GgufPtr vocab = openVocab(vocabFile, error);
    return vocab ? tokenIdIn(vocab.get(), text) : -1;
}

} // namespace cvn::testmodel

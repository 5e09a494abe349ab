#include "engine/VisionProjector.h"

#include "models/ModelStore.h"
#include "platform/FileIdentity.h"

#include <QFile>
#include <QHash>
#include <QFileInfo>

#include <ggml.h>
#include <gguf.h>

#include <array>
#include <memory>
#include <mutex>

namespace cvn {

namespace {

struct GgufFree {
    void operator()(gguf_context* g) const { gguf_free(g); }
};
struct GgmlFree {
    void operator()(ggml_context* c) const { ggml_free(c); }
};

// What is wrong, in words that fit after "The projector file NAME ".
struct Refused {
    QString why;
};

class Reader {
public:
    Reader(gguf_context* g, ggml_context* meta) : m_g(g), m_meta(meta) {}

    // The keys mtmd reads with a getter of a fixed type, which aborts on any
    // other: each one present must be of that type.
    void checkKeyTypes() const
    {
        struct Key {
            const char* name;
            gguf_type type;
        };
        static const Key fixed[] = {
            {"clip.projector_type", GGUF_TYPE_STRING},
            {"clip.has_vision_encoder", GGUF_TYPE_BOOL},
            {"clip.has_audio_encoder", GGUF_TYPE_BOOL},
            {"clip.use_gelu", GGUF_TYPE_BOOL},
            {"clip.use_silu", GGUF_TYPE_BOOL},
            {"clip.minicpmv_version", GGUF_TYPE_INT32},
            {"clip.minicpmv_query_num", GGUF_TYPE_UINT32},
            {"clip.vision.image_size", GGUF_TYPE_UINT32},
            {"clip.vision.patch_size", GGUF_TYPE_UINT32},
            {"clip.vision.projector.scale_factor", GGUF_TYPE_UINT32},
            {"clip.vision.spatial_merge_size", GGUF_TYPE_UINT32},
            {"clip.vision.image_min_pixels", GGUF_TYPE_UINT32},
            {"clip.vision.image_max_pixels", GGUF_TYPE_UINT32},
            {"clip.vision.window_size", GGUF_TYPE_UINT32},
            {"clip.vision.n_wa_pattern", GGUF_TYPE_UINT32},
            {"clip.vision.mm_patch_merge_type", GGUF_TYPE_STRING},
            {"clip.vision.projector_type", GGUF_TYPE_STRING},
            {"clip.audio.projector_type", GGUF_TYPE_STRING},
        };
        for (const Key& key : fixed)
            expectType(key.name, key.type);
        for (const char* prefix : {"vision", "audio"}) {
            for (const char* name : {"embedding_length", "feed_forward_length", "block_count", "projection_dim",
                                     "attention.head_count", "attention.head_count_kv", "attention.head_dim"})
                expectType(QStringLiteral("clip.%1.%2").arg(prefix, name).toUtf8().constData(), GGUF_TYPE_UINT32);
            expectType(QStringLiteral("clip.%1.attention.layer_norm_epsilon").arg(prefix).toUtf8().constData(),
                       GGUF_TYPE_FLOAT32);
        }
    }

    void expectType(const char* key, gguf_type type) const
    {
        const int64_t at = gguf_find_key(m_g, key);
        if (at >= 0 && gguf_get_kv_type(m_g, at) != type)
            throw Refused{QStringLiteral("has a setting of the wrong kind (%1)").arg(QString::fromUtf8(key))};
    }

    bool has(const char* key) const { return gguf_find_key(m_g, key) >= 0; }

    int64_t u32(const char* key, bool required = true) const
    {
        const int64_t at = gguf_find_key(m_g, key);
        if (at < 0) {
            if (required)
                throw Refused{QStringLiteral("lacks a setting it needs (%1)").arg(QString::fromUtf8(key))};
            return 0;
        }
        return int64_t(gguf_get_val_u32(m_g, at));
    }

    bool flag(const char* key) const
    {
        const int64_t at = gguf_find_key(m_g, key);
        return at >= 0 && gguf_get_val_bool(m_g, at);
    }

    std::string text(const char* key) const
    {
        const int64_t at = gguf_find_key(m_g, key);
        return at < 0 ? std::string() : std::string(gguf_get_val_str(m_g, at));
    }

    const ggml_tensor* tensor(const std::string& name, bool required) const
    {
        const ggml_tensor* t = ggml_get_tensor(m_meta, name.c_str());
        if (!t && required)
            throw Refused{QStringLiteral("lacks a part it needs (%1)").arg(QString::fromStdString(name))};
        return t;
    }

    // A tensor, when present (or required), of exactly the shape given; -1
    // leaves a dimension unchecked.
    const ggml_tensor* expect(const std::string& name, std::array<int64_t, 4> shape, bool required = false) const
    {
        const ggml_tensor* t = tensor(name, required);
        if (!t)
            return nullptr;
        for (int d = 0; d < 4; ++d) {
            const int64_t want = shape[size_t(d)] == 0 ? 1 : shape[size_t(d)];
            if (shape[size_t(d)] != -1 && t->ne[d] != want)
                throw Refused{QStringLiteral("has a part whose size does not match its settings (%1)")
                                  .arg(QString::fromStdString(name))};
        }
        return t;
    }

private:
    gguf_context* m_g;
    ggml_context* m_meta;
};

void checkVision(const Reader& file, ProjectorCheck& out)
{
    const std::string& kind = out.projectorType;
    const bool fixedSize = kind == "mlp" || kind == "mlp_norm" || kind == "gemma3";
    const int64_t w = file.u32("clip.vision.embedding_length");
    const int64_t ff = file.u32("clip.vision.feed_forward_length");
    const int64_t layers = file.u32("clip.vision.block_count");
    const int64_t heads = file.u32("clip.vision.attention.head_count");
    const int64_t headsKv = file.has("clip.vision.attention.head_count_kv")
                                ? file.u32("clip.vision.attention.head_count_kv") : heads;
    const int64_t proj = file.u32("clip.vision.projection_dim");
    const int64_t imageSize = file.u32("clip.vision.image_size");
    const int64_t patch = file.u32("clip.vision.patch_size");
    if (!file.has("clip.vision.attention.layer_norm_epsilon"))
        throw Refused{QStringLiteral("lacks a setting it needs (clip.vision.attention.layer_norm_epsilon)")};
    int64_t headDim = file.u32("clip.vision.attention.head_dim", false);
    if (w < 1 || heads < 1 || headsKv < 1 || patch < 1 || proj < 1 || layers < 0 || ff < 0 || layers > 4096
        || (headDim == 0 && w % heads != 0))
        throw Refused{QStringLiteral("has settings that describe no encoder")};
    if (headDim == 0)
        headDim = w / heads;
    out.projectionWidth = proj;

    file.expect("v.patch_embd.weight", {patch, patch, 3, w}, fixedSize);
    file.expect("v.patch_embd.bias", {w, 1, 1, 1});
    const ggml_tensor* classEmbd = file.expect("v.class_embd", {w, 1, 1, 1});
    for (const char* part : {"weight", "bias"}) {
        file.expect(std::string("v.pre_ln.") + part, {w, 1, 1, 1});
        file.expect(std::string("v.post_ln.") + part, {w, 1, 1, 1});
    }
    int64_t positions = -1;
    if (fixedSize) {
        if (imageSize < patch || imageSize % patch != 0)
            throw Refused{QStringLiteral("has settings that describe no encoder")};
        const int64_t side = imageSize / patch;
        positions = side * side + (classEmbd ? 1 : 0);
        out.fixedImageSize = imageSize;
        // One image, one chunk of this many outputs: LLaVA's layout drops
        // the class token, Gemma 3's pools the patches. A file that tiles
        // images (grid pinpoints) makes more.
        if (!file.has("clip.vision.image_grid_pinpoints"))
            out.imagePositions = side * side;
    }
    const ggml_tensor* position = file.expect("v.position_embd.weight", {w, positions, 1, 1}, fixedSize);
    // The encoder adds them to its activations, which the CPU does in f32 alone.
    if (fixedSize && position->type != GGML_TYPE_F32)
        throw Refused{QStringLiteral("has a part of a kind the encoder cannot use (v.position_embd.weight)")};

    for (int64_t i = 0; i < layers; ++i) {
        const std::string p = "v.blk." + std::to_string(i) + ".";
        const auto weight = [&](const char* name, int64_t in, int64_t outWidth) {
            file.expect(p + name + ".weight", {in, outWidth, 1, 1}, fixedSize);
            file.expect(p + name + ".bias", {outWidth, 1, 1, 1});
        };
        if (!file.tensor(p + "attn_qkv.weight", false)) {
            weight("attn_q", w, heads * headDim);
            weight("attn_k", w, headsKv * headDim);
            weight("attn_v", w, headsKv * headDim);
        }
        weight("attn_out", heads * headDim, w);
        for (const char* norm : {"ln1", "ln2"}) {
            file.expect(p + norm + ".weight", {w, 1, 1, 1}, fixedSize);
            file.expect(p + norm + ".bias", {w, 1, 1, 1});
        }
        weight("ffn_up", w, ff);
        if (file.tensor(p + "ffn_gate.weight", false))
            weight("ffn_gate", w, ff);
        weight("ffn_down", ff, w);
    }

    if (kind == "mlp" || kind == "mlp_norm") {
        const ggml_tensor* first = file.expect("mm.0.weight", {w, -1, 1, 1}, true);
        const int64_t hidden = first->ne[1];
        file.expect("mm.0.bias", {hidden, 1, 1, 1});
        if (file.tensor("mm.3.weight", false)) {
            file.expect("mm.1.weight", {hidden, 1, 1, 1});
            file.expect("mm.1.bias", {hidden, 1, 1, 1});
            file.expect("mm.3.weight", {hidden, proj, 1, 1}, true);
            file.expect("mm.3.bias", {proj, 1, 1, 1});
            file.expect("mm.4.weight", {proj, 1, 1, 1});
            file.expect("mm.4.bias", {proj, 1, 1, 1});
        } else if (file.tensor("mm.2.weight", false)) {
            file.expect("mm.2.weight", {hidden, proj, 1, 1}, true);
            file.expect("mm.2.bias", {proj, 1, 1, 1});
        } else if (hidden != proj) {
            throw Refused{QStringLiteral("has a part whose size does not match its settings (mm.0.weight)")};
        }
    } else if (kind == "gemma3") {
        const int64_t merge = file.has("clip.vision.projector.scale_factor")
                                  ? file.u32("clip.vision.projector.scale_factor") : 4;
        if (merge < 1 || (imageSize / patch) % merge != 0)
            throw Refused{QStringLiteral("has settings that describe no encoder")};
        if (out.imagePositions > 0)
            out.imagePositions = (imageSize / patch / merge) * (imageSize / patch / merge);
        file.expect("mm.soft_emb_norm.weight", {w, 1, 1, 1}, true);
        file.expect("mm.input_projection.weight", {proj, w, 1, 1}, true);
    }
}

// mtmd asserts, rather than failing, on a file of another kind whose parts
// disagree with its type (Qwen's mergers inside its load, yasa2 at the first
// encode), so only the kinds whose parts are checked above reach it. Those
// read by M-RoPE positions are told so, as the load beside the model would.
void refuseUncheckedKind(const std::string& kind)
{
    if (kind == "mlp" || kind == "mlp_norm" || kind == "gemma3")
        return;
    const QString name = QString::fromStdString(kind);
    const bool mrope = (name.startsWith(QLatin1String("qwen")) && name.contains(QLatin1String("vl")))
                       || name == QLatin1String("glm4v") || name == QLatin1String("paddleocr")
                       || name == QLatin1String("youtuvl") || name == QLatin1String("mimovl");
    if (mrope)
        throw Refused{QStringLiteral("places images in a way the app does not support (M-RoPE positions)")};
    throw Refused{QStringLiteral("is of a kind the app cannot check (%1)").arg(name.isEmpty() ? QStringLiteral("none named") : name)};
}

} // namespace

ProjectorCheck checkProjectorFile(const QString& path)
{
    ProjectorCheck out;
    const QString name = QFileInfo(path).fileName();
    const auto refuse = [&](const QString& why) {
        out.failure = QStringLiteral("The projector file \"%1\" %2, so this model reads text only.").arg(name, why);
        return out;
    };
    const QByteArray native = QFile::encodeName(path);
    ggml_context* metaRaw = nullptr;
    const std::unique_ptr<gguf_context, GgufFree> g(gguf_init_from_file(native.constData(), {true, &metaRaw}));
    const std::unique_ptr<ggml_context, GgmlFree> meta(metaRaw);
    if (!g || !meta)
        return refuse(QStringLiteral("is damaged or not a projector"));
    // mtmd reads each tensor where the header says it is, with no check
    // that the file goes that far.
    const int64_t fileSize = QFileInfo(path).size();
    const auto dataAt = int64_t(gguf_get_data_offset(g.get()));
    for (int64_t i = 0; i < gguf_get_n_tensors(g.get()); ++i) {
        const auto end = dataAt + int64_t(gguf_get_tensor_offset(g.get(), i)) + int64_t(gguf_get_tensor_size(g.get(), i));
        if (end > fileSize)
            return refuse(QStringLiteral("is cut short"));
    }
    try {
        const Reader file(g.get(), meta.get());
        file.checkKeyTypes();
        if (!file.flag("clip.has_vision_encoder"))
            return refuse(QStringLiteral("does not read images"));
        out.projectorType = file.text("clip.projector_type");
        if (out.projectorType.empty())
            out.projectorType = file.text("clip.vision.projector_type");
        refuseUncheckedKind(out.projectorType);
        // The audio part of a mixed projector is loaded too; it is checked
        // no further than its settings' kinds, which mtmd's getters need.
        checkVision(file, out);
    } catch (const Refused& refused) {
        return refuse(refused.why);
    }
    return out;
}

} // namespace cvn

namespace cvn {

namespace {

// What is known of each projector file, as it was then.
struct Known {
    FileIdentity file;
    bool loads = false;
};
std::mutex knownLock;
QHash<QString, Known>& known()
{
    static QHash<QString, Known> files;
    return files;
}

} // namespace

void rememberProjectorLoad(const QString& path, bool loaded)
{
    const std::optional<FileIdentity> file = FileIdentity::of(path);
    if (!file)
        return;
    std::lock_guard lock(knownLock);
    known().insert(path, {*file, loaded});
}

bool projectorLoads(const QString& path)
{
    const std::optional<FileIdentity> file = FileIdentity::of(path);
    if (!file)
        return false;
    std::lock_guard lock(knownLock);
    const auto it = known().constFind(path);
    return it == known().cend() || it->file != *file || it->loads;
}

QList<ModelInfo> projectorsThatLoad(const ModelStore& store)
{
    QList<ModelInfo> records = store.models();
    records.removeIf([&](const ModelInfo& record) {
        if (!record.isVisionProjector())
            return false;
        const std::optional<QString> path = store.modelFileURL(record);
        return !path || !projectorLoads(*path);
    });
    return records;
}

} // namespace cvn

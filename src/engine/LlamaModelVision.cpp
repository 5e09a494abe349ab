// Images for a model that sees them: its projector (mtmd), the tokens that
// stand for an image's positions, and the encode and decode of an image in
// a run.
#include "engine/LlamaModel.h"

#include "engine/ImageStandIns.h"
#include "engine/LlamaModelVisionLoad.h"
#include "engine/VisionImage.h"
#include "platform/Logging.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QRandomGenerator>

#include <ggml.h>
#include <llama.h>
#include <mtmd.h>

#include <algorithm>
#include <cstring>
#include <map>

namespace cvn {

namespace {

// Images a run may still look for: those of the prompts made lately. Each
// holds its preprocessed pixels (about 1.4 MB at LLaVA-1.5's 336 px, 9.6 MB
// at Gemma 3's 896), so only a few beyond the newest prompt's are kept.
constexpr size_t kKeptImages = 16;

// How often a long encode tells how far it has come, and from when.
constexpr int64_t kProgressEveryMs = 250;
constexpr int64_t kProgressAfterMs = 1000;

struct ChunksFree {
    void operator()(mtmd_input_chunks* c) const { mtmd_input_chunks_free(c); }
};
struct BitmapFree {
    void operator()(mtmd_bitmap* b) const { mtmd_bitmap_free(b); }
};

int64_t nowMs()
{
    static QElapsedTimer clock = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return clock.elapsed();
}

QString markerPrefix()
{
    // imageMarker(i) is this prefix, the index and "__>".
    const QString any = LlamaModel::imageMarker(0);
    return any.left(any.size() - 3 - 1);
}

} // namespace

// --- the projector at the load ---------------------------------------------------

namespace vision {

mtmd_context* open(const QString& path, const llama_model* model, bool useGpu, int32_t threads, void* gate,
                   std::optional<QString>& failure, int64_t& mostImageTokens)
{
    mostImageTokens = 0;
    const QString name = QFileInfo(path).fileName();
    const ProjectorCheck check = checkProjectorFile(path);
    if (check.failure) {
        failure = check.failure;
        return nullptr;
    }
    mtmd_context_params params = mtmd_context_params_default();
    params.use_gpu = useGpu;
    params.n_threads = std::max<int32_t>(1, threads);
    params.print_timings = false;
    // As measured on a CPU: flash attention halves a LLaVA-shaped encode's
    // memory at no cost, and more than doubles a Gemma 3 encode's time.
    if (check.projectorType == "gemma3")
        params.flash_attn_type = LLAMA_FLASH_ATTN_TYPE_DISABLED;
    else if (check.projectorType == "mlp" || check.projectorType == "mlp_norm")
        params.flash_attn_type = LLAMA_FLASH_ATTN_TYPE_ENABLED;
    params.cb_eval = &LlamaModel::encodeGate;
    params.cb_eval_user_data = gate;
    mtmd_context* context = mtmd_init_from_file(QFile::encodeName(path).constData(), model, params);
    const auto refuse = [&](const QString& why) -> mtmd_context* {
        failure = QStringLiteral("The projector file \"%1\" %2, so this model reads text only.").arg(name, why);
        if (context)
            mtmd_free(context);
        return nullptr;
    };
    if (!context)
        return refuse(QStringLiteral("could not be loaded beside this model; it may be made for another model"));
    if (!mtmd_support_vision(context))
        return refuse(QStringLiteral("does not read images"));
    if (mtmd_decode_use_mrope(context))
        return refuse(QStringLiteral("places images in a way the app does not support (M-RoPE positions)"));

    // The largest image chunk it makes: an image the encoder's size for one
    // that always resizes to it, the largest one sent for the others.
    const uint32_t side = check.fixedImageSize > 0 ? uint32_t(check.fixedImageSize) : uint32_t(VisionImage::maxSide);
    std::vector<unsigned char> gray(size_t(side) * side * 3, 128);
    const std::unique_ptr<mtmd_bitmap, BitmapFree> bitmap(mtmd_bitmap_init(side, side, gray.data()));
    const mtmd_input_part part{nullptr, bitmap.get()};
    const mtmd_input_part* parts[] = {&part};
    const std::unique_ptr<mtmd_input_chunks, ChunksFree> chunks(mtmd_input_chunks_init());
    if (!bitmap || mtmd_tokenize_from_parts(context, chunks.get(), parts, 1, false) != 0)
        return refuse(QStringLiteral("could not make an image's positions"));
    for (size_t i = 0; i < mtmd_input_chunks_size(chunks.get()); ++i) {
        const mtmd_input_chunk* chunk = mtmd_input_chunks_get(chunks.get(), i);
        if (mtmd_input_chunk_get_type(chunk) != MTMD_INPUT_CHUNK_TYPE_IMAGE)
            continue;
        if (mtmd_input_chunk_get_n_pos(chunk) != llama_pos(mtmd_input_chunk_get_n_tokens(chunk)))
            return refuse(QStringLiteral("places images in a way the app does not support"));
        mostImageTokens = std::max(mostImageTokens, int64_t(mtmd_input_chunk_get_n_tokens(chunk)));
    }
    if (mostImageTokens < 1 || mostImageTokens > standins::maxRun)
        return refuse(QStringLiteral("could not make an image's positions"));
    return context;
}

} // namespace vision

bool LlamaModel::seesImages() const
{
    return m_vision != nullptr && !m_isFreed.load();
}

QString LlamaModel::imageMarker(int index)
{
    static const QString salt = QString::number(QRandomGenerator::system()->generate64(), 36);
    return QStringLiteral("<__cvn_image_%1_%2__>").arg(salt).arg(index);
}

void LlamaModel::releaseVision()
{
    m_imageChunks.clear();
    if (m_vision)
        mtmd_free(m_vision);
    m_vision = nullptr;
}

// --- tokens -----------------------------------------------------------------------

std::vector<int32_t> LlamaModel::tokenize(const std::string& text, const QList<ChatImage>& images) const
{
    if (images.isEmpty() || !m_model)
        return tokenize(text);
    if (!m_vision)
        throw ImageError("This model does not take images.");

    // The text between markers, and the images where they stand. A marker
    // of an image the list lacks stays text.
    const std::string prefix = markerPrefix().toStdString();
    struct Piece {
        std::string text;
        int image = -1;
    };
    std::vector<Piece> pieces;
    size_t from = 0;
    for (size_t at = text.find(prefix); at != std::string::npos; at = text.find(prefix, at + 1)) {
        size_t digits = at + prefix.size();
        size_t end = digits;
        while (end < text.size() && end - digits < 6 && std::isdigit(static_cast<unsigned char>(text[end])))
            ++end;
        if (end == digits || text.compare(end, 3, "__>") != 0)
            continue;
        const int index = std::stoi(text.substr(digits, end - digits));
        if (index >= images.size())
            continue;
        pieces.push_back({text.substr(from, at - from), -1});
        pieces.push_back({{}, index});
        from = end + 3;
    }
    pieces.push_back({text.substr(from), -1});

    std::map<int, VisionImage> decoded;
    std::map<int, std::unique_ptr<mtmd_bitmap, BitmapFree>> bitmaps;
    std::vector<mtmd_input_text> texts;
    texts.reserve(pieces.size());
    std::vector<mtmd_input_part> parts;
    std::vector<uint64_t> hashes; // of the image parts, in order
    for (const Piece& piece : pieces) {
        if (piece.image < 0) {
            if (piece.text.empty())
                continue;
            texts.push_back({piece.text.c_str(), piece.text.size(), false, true});
            parts.push_back({&texts.back(), nullptr});
            continue;
        }
        if (!bitmaps.count(piece.image)) {
            const VisionImage image = VisionImage::decode(images[piece.image]);
            mtmd_bitmap* bitmap = mtmd_bitmap_init(uint32_t(image.width), uint32_t(image.height),
                                                   reinterpret_cast<const unsigned char*>(image.rgb.constData()));
            if (!bitmap)
                throw ImageError("An image could not be prepared for the model.");
            mtmd_bitmap_set_id(bitmap, QByteArray::number(qulonglong(image.hash), 16).constData());
            bitmaps[piece.image].reset(bitmap);
            decoded[piece.image] = image;
        }
        parts.push_back({nullptr, bitmaps[piece.image].get()});
        hashes.push_back(decoded[piece.image].hash);
    }
    std::vector<const mtmd_input_part*> pointers;
    for (const mtmd_input_part& part : parts)
        pointers.push_back(&part);
    const std::unique_ptr<mtmd_input_chunks, ChunksFree> chunks(mtmd_input_chunks_init());
    if (mtmd_tokenize_from_parts(m_vision, chunks.get(), pointers.data(), pointers.size(), true) != 0)
        throw ImageError("The images could not be prepared for the model.");

    std::vector<int32_t> tokens;
    size_t image = 0;
    for (size_t i = 0; i < mtmd_input_chunks_size(chunks.get()); ++i) {
        const mtmd_input_chunk* chunk = mtmd_input_chunks_get(chunks.get(), i);
        if (mtmd_input_chunk_get_type(chunk) == MTMD_INPUT_CHUNK_TYPE_TEXT) {
            size_t count = 0;
            const llama_token* ids = mtmd_input_chunk_get_tokens_text(chunk, &count);
            tokens.insert(tokens.end(), ids, ids + count);
            continue;
        }
        const auto count = int64_t(mtmd_input_chunk_get_n_tokens(chunk));
        if (image >= hashes.size() || count < 1 || count > standins::maxRun
            || mtmd_input_chunk_get_n_pos(chunk) != llama_pos(count))
            throw ImageError("The images could not be prepared for the model.");
        std::vector<int32_t> run = standins::run(hashes[image++], count);
        tokens.insert(tokens.end(), run.begin(), run.end());
        // Kept for the run, newest last; a run already kept is renewed.
        const auto known = std::find_if(m_imageChunks.begin(), m_imageChunks.end(),
                                        [&](const ImageChunk& kept) { return kept.standIns == run; });
        if (known != m_imageChunks.end())
            m_imageChunks.erase(known);
        m_imageChunks.push_back({std::move(run), std::shared_ptr<mtmd_input_chunk>(mtmd_input_chunk_copy(chunk),
                                                                                  mtmd_input_chunk_free)});
    }
    // The newest prompt's images always stay, however many it has.
    const size_t keep = std::max(kKeptImages, image);
    if (m_imageChunks.size() > keep)
        m_imageChunks.erase(m_imageChunks.begin(), m_imageChunks.end() - std::ptrdiff_t(keep));
    // As tokenize(text): a template that writes the begin-of-sequence
    // marker itself would get a second one.
    const llama_vocab* vocab = llama_model_get_vocab(m_model);
    const llama_token bos = llama_vocab_bos(vocab);
    if (llama_vocab_get_add_bos(vocab) && tokens.size() >= 2 && tokens[0] == bos && tokens[1] == bos)
        tokens.erase(tokens.begin());
    return tokens;
}

// --- the run -------------------------------------------------------------------------

bool LlamaModel::encodeGate(ggml_tensor* node, bool ask, void* data)
{
    LlamaModel* self = static_cast<std::atomic<LlamaModel*>*>(data)->load();
    if (!self)
        return ask ? false : true;
    EncodeWatch& watch = self->m_encode;
    const bool stop = self->shouldStop(self->m_activeRun.load());
    if (ask) {
        if (!watch.hookCalled && watch.onProgress && self->m_testHooks.duringEncode) {
            watch.hookCalled = true;
            self->m_testHooks.duringEncode();
        }
        // The graph is computed in pieces that end at each layer's halves,
        // so that this callback hears between them.
        return stop || std::strncmp(node->name, "ffn_inp", 7) == 0 || std::strncmp(node->name, "attn_out", 8) == 0;
    }
    if (stop)
        return false; // the encode ends here; its result is thrown away
    const int64_t now = nowMs();
    if (watch.onProgress && *watch.onProgress && now - watch.startedMs > kProgressAfterMs
        && now - watch.toldMs >= kProgressEveryMs) {
        watch.toldMs = now;
        RunProgress progress;
        progress.stage = RunProgress::Stage::image;
        progress.elapsedMs = now - watch.startedMs;
        (*watch.onProgress)(progress);
    }
    return true;
}

LlamaModel::ImageStep LlamaModel::decodeImage(const std::vector<int32_t>& tokens, int64_t at, GenerationRun& run,
                                              const std::function<void(const RunProgress&)>& onProgress)
{
    const auto fail = [this](const char* why) {
        forgetDecoded();
        setLastStreamFailure(QStringLiteral("The model could not read an image of this conversation. Try again "
                                            "or restart the app."));
        qCCritical(lcRuntime, "An image could not be read: %s", why);
        return ImageStep::failed;
    };
    const auto found = std::find_if(m_imageChunks.begin(), m_imageChunks.end(), [&](const ImageChunk& kept) {
        return int64_t(tokens.size()) - at >= int64_t(kept.standIns.size())
               && std::equal(kept.standIns.begin(), kept.standIns.end(), tokens.begin() + at);
    });
    if (!m_vision || found == m_imageChunks.end())
        return fail("its positions were made by no tokenize of this model");
    const std::shared_ptr<mtmd_input_chunk> chunk = found->chunk;
    const auto count = int64_t(found->standIns.size());
    const bool nonCausal = mtmd_decode_use_non_causal(m_vision, chunk.get());
    // llama.cpp asserts on a non-causal batch that does not fit one ubatch.
    if (nonCausal && count > int64_t(llama_n_ubatch(m_context)))
        return fail("it has more positions than the context reads at once");

    m_encode = EncodeWatch{nowMs(), nowMs(), false, &onProgress};
    int32_t status = -1;
    const bool reached = onDevice([&] { status = mtmd_encode_chunk(m_vision, chunk.get()); });
    const int64_t took = nowMs() - m_encode.startedMs;
    m_encode.onProgress = nullptr;
    if (!reached)
        return ImageStep::failed; // the device's fault told the reply's end
    if (shouldStop(&run)) {
        if (!m_freeRequested.load())
            qCInfo(lcRuntime, "Stopped by the user during an image's encode");
        return ImageStep::stopped;
    }
    if (status != 0)
        return fail("the encoder failed");
    qCInfo(lcRuntime, "Encoded an image of %d positions in %.2f s", int(count), double(took) / 1000.0);

    const float* embd = mtmd_get_output_embd(m_vision);
    const int32_t width = llama_model_n_embd_inp(m_model);
    const int64_t slice = nonCausal ? count : std::max<int64_t>(1, int64_t(llama_n_batch(m_context)));
    if (nonCausal)
        llama_set_causal_attn(m_context, false);
    int32_t result = 0;
    for (int64_t done = 0; done < count && result == 0; done += slice) {
        const auto n = int32_t(std::min(slice, count - done));
        std::vector<llama_pos> pos(static_cast<size_t>(n));
        std::vector<int32_t> seqCount(size_t(n), 1);
        llama_seq_id seq = 0;
        std::vector<llama_seq_id*> seqs(size_t(n), &seq);
        std::vector<int8_t> logits(size_t(n), 0);
        for (int32_t i = 0; i < n; ++i)
            pos[size_t(i)] = llama_pos(at + done + i);
        // Only a prompt that ends in an image reads logits from it.
        if (at + done + n == int64_t(tokens.size()))
            logits.back() = 1;
        llama_batch batch{n, nullptr, const_cast<float*>(embd + done * width), pos.data(), seqCount.data(),
                          seqs.data(), logits.data()};
        result = decodeBatch(batch);
        if (result == 0)
            m_keptTokens.insert(m_keptTokens.end(), tokens.begin() + at + done, tokens.begin() + at + done + n);
    }
    if (nonCausal)
        llama_set_causal_attn(m_context, true);
    if (result == 0)
        return ImageStep::done;
    // Half an image is no prefix worth keeping.
    if (int64_t(m_keptTokens.size()) > at && !deviceFailed()) {
        if (llama_memory_t memory = llama_get_memory(m_context); memory && llama_memory_seq_rm(memory, 0, llama_pos(at), -1))
            m_keptTokens.resize(size_t(at));
        else
            forgetDecoded();
    }
    if (deviceFailed())
        return ImageStep::failed;
    if (shouldStop(&run))
        return ImageStep::stopped;
    return fail("llama_decode failed on its embeddings");
}

} // namespace cvn

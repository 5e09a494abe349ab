// Images for a model that sees them: its projector (mtmd), the tokens that
// stand for an image's positions, and the encode and decode of an image in
// a run.
#include "engine/LlamaModel.h"

#include "engine/ImageStandIns.h"
#include "engine/LlamaModelVisionLoad.h"
#include "engine/VisionImage.h"
#include "models/ProjectorMemory.h"
#include "platform/Logging.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocale>
#include <QRandomGenerator>

#include <ggml.h>
#include <llama.h>
#include <mtmd.h>

#include <algorithm>
#include <cstring>
#include <map>

namespace cvn {

namespace {

// Images a run may still look for: those of the prompts made lately, and
// every image of the newest one.
constexpr size_t kKeptImages = 16;
// Their preprocessed pixels (about 1.4 MB an image at LLaVA-1.5's 336 px,
// 9.6 MB at Gemma 3's 896) are kept up to this much, newest first, and made
// again from the image's bytes for a run that needs one let go.
constexpr int64_t kKeptChunkBytes = 192LL << 20;

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

namespace {

// mtmd's context for the file, or null. A device that refuses the weights'
// buffer fails a check inside mtmd's load (the buffer it did not get),
// which would end the process; here it throws into mtmd's own catch, which
// frees what the load made and gives null.
mtmd_context* initContext(const QString& path, const llama_model* model, const mtmd_context_params& params)
{
    mtmd_context* context = nullptr;
    try {
        withGgmlChecksThrown(
            [&] { context = mtmd_init_from_file(QFile::encodeName(path).constData(), model, params); });
    } catch (const GgmlCheckFailed& failed) {
        qCWarning(lcRuntime, "The projector's load failed a check: %s", failed.what());
    }
    return context;
}

} // namespace

mtmd_context* open(const QString& path, const llama_model* model, bool& onGpu, int32_t threads, void* gate,
                   std::optional<QString>& failure, int64_t& mostImageTokens, int64_t& chunkBytes)
{
    mostImageTokens = 0;
    chunkBytes = 0;
    const QString name = QFileInfo(path).fileName();
    const ProjectorCheck check = checkProjectorFile(path);
    if (check.failure) {
        failure = check.failure;
        return nullptr;
    }
    mtmd_context_params params = mtmd_context_params_default();
    params.use_gpu = onGpu;
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
    mtmd_context* context = initContext(path, model, params);
    if (!context && onGpu) {
        qCWarning(lcRuntime, "The projector could not be opened on the GPU; opening it on the CPU: %s",
                  qUtf8Printable(name));
        params.use_gpu = false;
        onGpu = false;
        context = initContext(path, model, params);
    }
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
    chunkBytes = int64_t(side) * side * 3 * int64_t(sizeof(float));
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
    // The encoder's output for one image, as its parts' shapes give it: a
    // file whose settings say otherwise would fail an assertion at its first
    // encode.
    if (check.imagePositions > 0 && mostImageTokens != check.imagePositions)
        return refuse(QStringLiteral("has a part whose size does not match its settings (its output of %1 positions "
                                     "an image, not %2)")
                          .arg(check.imagePositions)
                          .arg(mostImageTokens));
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
    m_imageFacts.clear();
    m_imageFactsOrder.clear();
    m_recentImageKeys.clear();
    m_lastEncodedRun.clear();
    m_lastEncodedEmbd = {};
    if (m_vision)
        mtmd_free(m_vision);
    m_vision = nullptr;
}

// --- tokens -----------------------------------------------------------------------

namespace {

// The text between markers, and the images where they stand. A marker of
// an image the list lacks stays text.
struct Piece {
    std::string text;
    int image = -1;
};

std::vector<Piece> splitAtMarkers(const std::string& text, qsizetype imageCount)
{
    const std::string prefix = markerPrefix().toStdString();
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
        if (index >= imageCount)
            continue;
        pieces.push_back({text.substr(from, at - from), -1});
        pieces.push_back({{}, index});
        from = end + 3;
    }
    pieces.push_back({text.substr(from), -1});
    return pieces;
}

QString count(int64_t n)
{
    return QLocale(QLocale::English).toString(qlonglong(n));
}

// The one image chunk that tokenizing an image alone (or a placeholder of
// its size) makes.
const mtmd_input_chunk* onlyImageChunk(const mtmd_input_chunks* chunks)
{
    const mtmd_input_chunk* found = nullptr;
    for (size_t i = 0; i < mtmd_input_chunks_size(chunks); ++i) {
        const mtmd_input_chunk* chunk = mtmd_input_chunks_get(chunks, i);
        if (mtmd_input_chunk_get_type(chunk) != MTMD_INPUT_CHUNK_TYPE_IMAGE)
            continue;
        if (found)
            return nullptr;
        found = chunk;
    }
    return found;
}

} // namespace

QByteArray LlamaModel::imageKey(const QByteArray& data) const
{
    for (const auto& [bytes, key] : m_recentImageKeys)
        if (bytes.isSharedWith(data))
            return key;
    QByteArray key = QCryptographicHash::hash(data, QCryptographicHash::Sha256);
    m_recentImageKeys.emplace_front(data, key);
    if (m_recentImageKeys.size() > kRecentKeys)
        m_recentImageKeys.pop_back();
    return key;
}

std::shared_ptr<mtmd_input_chunk> LlamaModel::preparedImage(const ChatImage& image, ImageFacts& facts) const
{
    // Its pixels, the bitmap mtmd copies them into and the chunks all go at
    // the end of this call: one image's worth at a time.
    const VisionImage pixels = VisionImage::decode(image);
    qCInfo(lcRuntime, "Read an image of %d x %d pixels", pixels.width, pixels.height);
    const std::unique_ptr<mtmd_bitmap, BitmapFree> bitmap(mtmd_bitmap_init(
        uint32_t(pixels.width), uint32_t(pixels.height), reinterpret_cast<const unsigned char*>(pixels.rgb.constData())));
    if (!bitmap)
        throw ImageError("An image could not be prepared for the model.");
    mtmd_bitmap_set_id(bitmap.get(), QByteArray::number(qulonglong(pixels.hash), 16).constData());
    const mtmd_input_part part{nullptr, bitmap.get()};
    const mtmd_input_part* parts[] = {&part};
    const std::unique_ptr<mtmd_input_chunks, ChunksFree> chunks(mtmd_input_chunks_init());
    const mtmd_input_chunk* chunk = nullptr;
    if (mtmd_tokenize_from_parts(m_vision, chunks.get(), parts, 1, false) == 0)
        chunk = onlyImageChunk(chunks.get());
    if (!chunk)
        throw ImageError("An image could not be prepared for the model.");
    const auto positions = int64_t(mtmd_input_chunk_get_n_tokens(chunk));
    if (positions < 1 || positions > standins::maxRun || mtmd_input_chunk_get_n_pos(chunk) != llama_pos(positions))
        throw ImageError("An image could not be prepared for the model.");
    facts.pixelHash = pixels.hash;
    facts.width = pixels.width;
    facts.height = pixels.height;
    facts.positions = positions;
    return {mtmd_input_chunk_copy(chunk), mtmd_input_chunk_free};
}

LlamaModel::ImageFacts LlamaModel::learnImage(const ChatImage& image) const
{
    // Stored by a model that lays the image out as this one does: taken
    // without even the bytes' hash, which reads all of them.
    if (std::optional<ImageFacts> stored = storedFacts(image))
        return *stored;
    const QByteArray key = imageKey(image.data);
    if (const auto known = m_imageFacts.find(key); known != m_imageFacts.end())
        return known->second;
    ImageFacts facts;
    std::shared_ptr<mtmd_input_chunk> chunk;
    try {
        chunk = preparedImage(image, facts);
    } catch (const ImageMemoryError&) {
        throw; // not the image's fault: it is tried again next time
    } catch (const std::bad_alloc&) {
        throw ImageMemoryError("There is not enough memory to prepare an image for the model.");
    } catch (const ImageError& error) {
        facts = ImageFacts{};
        facts.failure = QString::fromUtf8(error.what());
    }
    if (chunk)
        keepImage(standins::run(facts.pixelHash, facts.positions), image, std::move(chunk));
    m_imageFactsOrder.push_back(key);
    if (m_imageFactsOrder.size() > kKnownImages) {
        m_imageFacts.erase(m_imageFactsOrder.front());
        m_imageFactsOrder.pop_front();
    }
    return m_imageFacts.insert_or_assign(key, std::move(facts)).first->second;
}

void LlamaModel::keepImage(std::vector<int32_t> run, const ChatImage& source,
                           std::shared_ptr<mtmd_input_chunk> chunk) const
{
    // Kept for the run, newest last; a run already kept is renewed, and its
    // preprocessed pixels stay unless new ones come.
    const auto known = std::find_if(m_imageChunks.begin(), m_imageChunks.end(),
                                    [&](const ImageChunk& kept) { return kept.standIns == run; });
    if (known != m_imageChunks.end()) {
        if (!chunk)
            chunk = std::move(known->chunk);
        m_imageChunks.erase(known);
    }
    m_imageChunks.push_back({std::move(run), std::move(chunk), source});
    const auto withPixels = size_t(std::max<int64_t>(4, kKeptChunkBytes / std::max<int64_t>(1, m_imageChunkBytes)));
    for (size_t i = 0; i + withPixels < m_imageChunks.size(); ++i)
        m_imageChunks[i].chunk.reset();
}

std::optional<QString> LlamaModel::imageFailure(const ChatImage& image) const
{
    if (!m_vision)
        return QStringLiteral("This model does not take images.");
    try {
        return learnImage(image).failure;
    } catch (const ImageMemoryError& error) {
        return QString::fromUtf8(error.what());
    }
}

std::vector<int32_t> LlamaModel::tokenize(const std::string& text, const QList<ChatImage>& images) const
{
    if (images.isEmpty() || !m_model)
        return tokenize(text);
    if (!m_vision)
        throw ImageError("This model does not take images.");
    const std::vector<Piece> pieces = splitAtMarkers(text, images.size());
    m_lastEncodedRun.clear();

    // Refused before any image is decoded: too many, or more positions than
    // the context has (an image not seen yet counts the most one takes).
    const auto shown = std::count_if(pieces.begin(), pieces.end(), [](const Piece& piece) { return piece.image >= 0; });
    if (shown > maxImagesPerPrompt)
        throw ImageError(QStringLiteral("This message has %1 images; at most %2 can be sent at once.")
                             .arg(count(shown), count(maxImagesPerPrompt))
                             .toStdString());
    int64_t positions = 0;
    for (const Piece& piece : pieces) {
        if (piece.image < 0)
            continue;
        const auto known = m_imageFacts.find(imageKey(images[piece.image].data));
        positions += known != m_imageFacts.end() && !known->second.failure ? known->second.positions : m_imagePositions;
    }
    if (positions > m_contextSize)
        throw ImageError(QStringLiteral("These images need %1 tokens; the model's context has room for %2. Send "
                                        "fewer images or raise the context size.")
                             .arg(count(positions), count(m_contextSize))
                             .toStdString());

    // Each image decoded (one at a time, each once) or known already; mtmd
    // then lays out the prompt from placeholders of their sizes, which hold
    // no pixels.
    std::map<int, ImageFacts> facts;
    std::vector<std::unique_ptr<mtmd_bitmap, BitmapFree>> placeholders;
    std::vector<mtmd_input_text> texts;
    texts.reserve(pieces.size());
    std::vector<mtmd_input_part> parts;
    std::vector<int> order; // the image of each image part
    for (const Piece& piece : pieces) {
        if (piece.image < 0) {
            if (piece.text.empty())
                continue;
            texts.push_back({piece.text.c_str(), piece.text.size(), false, true});
            parts.push_back({&texts.back(), nullptr});
            continue;
        }
        if (!facts.count(piece.image)) {
            ImageFacts known = learnImage(images[piece.image]);
            if (known.failure)
                throw ImageError(known.failure->toStdString());
            facts[piece.image] = std::move(known);
        }
        const ImageFacts& image = facts[piece.image];
        placeholders.emplace_back(mtmd_bitmap_init(uint32_t(image.width), uint32_t(image.height), nullptr));
        mtmd_bitmap_set_id(placeholders.back().get(), QByteArray::number(qulonglong(image.pixelHash), 16).constData());
        parts.push_back({nullptr, placeholders.back().get()});
        order.push_back(piece.image);
    }
    return laidOut(parts, order, facts, images);
}

std::vector<int32_t> LlamaModel::laidOut(const std::vector<mtmd_input_part>& parts, const std::vector<int>& order,
                                         const std::map<int, ImageFacts>& facts, const QList<ChatImage>& images) const
{
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
            size_t n = 0;
            const llama_token* ids = mtmd_input_chunk_get_tokens_text(chunk, &n);
            tokens.insert(tokens.end(), ids, ids + n);
            continue;
        }
        const auto n = int64_t(mtmd_input_chunk_get_n_tokens(chunk));
        if (image >= order.size() || n != facts.at(order[image]).positions)
            throw ImageError("The images could not be prepared for the model.");
        std::vector<int32_t> run = standins::run(facts.at(order[image]).pixelHash, n);
        tokens.insert(tokens.end(), run.begin(), run.end());
        keepImage(std::move(run), images[order[image++]], nullptr);
    }
    // The newest prompt's images always stay, however many it has; each
    // holds its bytes alone beyond the newest few.
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
        // Asked after every node: a large encode's layer takes a second or
        // more on a CPU, and a stop should not wait for its end.
        (void)node;
        return true;
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

int32_t LlamaModel::runImageEncoder(const mtmd_input_chunk* chunk,
                                    const std::function<void(const RunProgress&)>& onProgress)
{
    m_encode = EncodeWatch{nowMs(), nowMs(), false, &onProgress};
    int32_t status = -1;
    const bool reached = onDevice([&] { status = mtmd_encode_chunk(m_vision, chunk); });
    const int64_t took = nowMs() - m_encode.startedMs;
    m_encode.onProgress = nullptr;
    if (!reached)
        return encoderDeviceFault;
    if (status == 0 && !shouldStop(m_activeRun.load()))
        qCInfo(lcRuntime, "Encoded an image of %d positions in %.2f s", int(mtmd_input_chunk_get_n_tokens(chunk)),
               double(took) / 1000.0);
    return status;
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
    const auto count = int64_t(found->standIns.size());
    const int32_t width = llama_model_n_embd_inp(m_model);
    // The same image again in a prompt takes the embeddings it just had.
    if (m_lastEncodedRun != found->standIns) {
        m_lastEncodedRun.clear();
        std::shared_ptr<mtmd_input_chunk> chunk = found->chunk;
        // Its preprocessed pixels were let go: made again, for this encode alone.
        if (!chunk) {
            ImageFacts facts;
            try {
                chunk = preparedImage(found->source, facts);
            } catch (const ImageError& error) {
                return fail(error.what());
            }
            if (standins::run(facts.pixelHash, facts.positions) != found->standIns)
                return fail("its bytes no longer make the image its positions stand for");
        }
        const bool nonCausal = mtmd_decode_use_non_causal(m_vision, chunk.get());
        // llama.cpp asserts on a non-causal batch that does not fit one ubatch.
        if (nonCausal && count > int64_t(llama_n_ubatch(m_context)))
            return fail("it has more positions than the context reads at once");
        const int32_t status = runImageEncoder(chunk.get(), onProgress);
        if (status == encoderDeviceFault)
            return ImageStep::failed; // the device's fault told the reply's end
        if (shouldStop(&run)) {
            if (!m_freeRequested.load())
                qCInfo(lcRuntime, "Stopped by the user during an image's encode");
            return ImageStep::stopped;
        }
        if (status != 0)
            return fail("the encoder failed");
        const float* out = mtmd_get_output_embd(m_vision);
        m_lastEncodedEmbd.assign(out, out + count * width);
        m_lastEncodedRun = found->standIns;
        m_lastEncodedNonCausal = nonCausal;
    }
    const bool nonCausal = m_lastEncodedNonCausal;
    const float* embd = m_lastEncodedEmbd.data();
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
        // Each slice asks for its last position's logits, although only a
        // prompt that ends in an image reads them: a batch with no output at
        // all makes a graph whose output has no rows, which lavapipe's
        // dispatch of it can crash on.
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

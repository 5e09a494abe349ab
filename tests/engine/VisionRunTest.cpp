// A model loaded with its projector: images in prompts, their encode in a
// run, the reply cache across turns, a stop inside an encode, and the
// inputs that must not take the process down.
#include "TestModelWriter.h"
#include "TestModels.h"
#include "support/TempEnv.h"

#include "engine/ImageStandIns.h"
#include "engine/LlamaModel.h"
#include "engine/PromptStore.h"
#include "engine/ReplyImages.h"
#include "engine/ReplyPrompt.h"
#include "engine/VisionImage.h"

#include <QBuffer>
#include <QFile>
#include <QImage>

#include <gtest/gtest.h>

#include <future>

#include <ggml.h>
#include <gguf.h>

using namespace cvn;
using namespace cvn::test;

namespace {

constexpr int64_t kEmbd = 64;
constexpr int64_t kContext = 512;

QString folder()
{
    static const QString path = makeTempFolder(QStringLiteral("vision-run"));
    return path;
}

QString textModel()
{
    static const QString path = [] {
        const QString out = folder() + QStringLiteral("/text.gguf");
        testmodel::RandomSpec spec;
        spec.shape.embd = kEmbd;
        EXPECT_EQ(testmodel::writeRandomModel(out.toStdString(), testmodel::vocabPath(), spec), "");
        return out;
    }();
    return path;
}

QString projector(const QString& name = QStringLiteral("mmproj.gguf"))
{
    const QString out = folder() + QLatin1Char('/') + name;
    if (!QFile::exists(out)) {
        testmodel::ProjectorSpec spec;
        spec.textEmbd = kEmbd;
        EXPECT_EQ(testmodel::writeRandomProjector(out.toStdString(), spec), "");
    }
    return out;
}

std::shared_ptr<LlamaModel> loadWith(const QString& projectorPath)
{
    LlamaModel::LoadExtras extras;
    extras.projectorPath = projectorPath;
    return LlamaModel::load(textModel(), kContext, 0, 2, std::nullopt, extras);
}

using test::png;

uint32_t crc32Of(const QByteArray& bytes)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (const char c : bytes) {
        crc ^= uint8_t(c);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::string words(int count)
{
    std::string text;
    for (int i = 0; i < count; ++i)
        text += " word" + std::to_string(i % 17);
    return text;
}

struct RunResult {
    std::vector<float> logits;
    std::optional<QString> failure;
};

// One run of `text` with `images`, to its end.
RunResult runOnce(LlamaModel& model, const std::string& text, const QList<ChatImage>& images)
{
    RunResult run;
    LlamaModel::TestHooks hooks;
    hooks.afterPrompt = [&](const float* l, int32_t n) { run.logits.assign(l, l + n); };
    model.queue().sync([&] { model.setTestHooks(hooks); });
    SamplingParams params = SamplingParams::defaults();
    params.temperature = 0;
    params.maxTokens = 2;
    std::promise<void> ended;
    GenerationSink sink;
    sink.onPiece = [](const QString&) { return true; };
    sink.onFinished = [&] { ended.set_value(); };
    GenerationHandle handle = model.generate(
        [text, images](const LlamaModel& m, SamplingParams&) { return m.tokenize(text, images); }, params,
        std::move(sink));
    ended.get_future().wait();
    model.queue().sync([] {});
    run.failure = model.lastStreamFailure();
    return run;
}

qsizetype encodes(LogCapture& log)
{
    return log.taken().filter(QStringLiteral("Encoded an image of 4 positions")).size();
}

} // namespace

TEST(VisionRunTest, AnImageIsEncodedOnceAndTheNextTurnRestoresItFromTheCache)
{
    LogCapture log;
    auto store = std::make_shared<PromptStore>(makeTempFolder(QStringLiteral("vision-cache")));
    store->setMemoryBudget(64LL << 20);
    store->setDiskBudget(0);
    const ChatImage red = png(QStringLiteral("red.png"), 40, 30, qRgb(200, 10, 10));
    const std::string first = "Look:" + LlamaModel::imageMarker(0).toStdString() + words(40);
    const std::string second = first + " and then" + words(10);

    const std::shared_ptr<LlamaModel> chat = loadWith(projector());
    ASSERT_TRUE(chat->seesImages()) << chat->projectorFailure().value_or(QString()).toStdString();
    chat->setPromptStore(store);
    EXPECT_FALSE(runOnce(*chat, first, {red}).failure);
    EXPECT_EQ(encodes(log), 1);
    chat->free();

    // The next turn, in a model loaded afresh: the state comes back with
    // the image in it, and reads as a full decode of the same prompt does.
    log.clear();
    const std::shared_ptr<LlamaModel> again = loadWith(projector());
    again->setPromptStore(store);
    const RunResult restored = runOnce(*again, second, {red});
    EXPECT_EQ(encodes(log), 0);
    EXPECT_FALSE(log.taken().filter(QStringLiteral("restored from memory")).isEmpty()) << log.taken().join('\n').toStdString();

    const std::shared_ptr<LlamaModel> fresh = loadWith(projector());
    const RunResult full = runOnce(*fresh, second, {red});
    EXPECT_EQ(encodes(log), 1);
    EXPECT_TRUE(sameUpToRounding(restored.logits, full.logits));

    // Another image in the same place shares nothing past it.
    log.clear();
    const ChatImage blue = png(QStringLiteral("blue.png"), 40, 30, qRgb(10, 10, 200));
    EXPECT_FALSE(runOnce(*again, second, {blue}).failure);
    EXPECT_EQ(encodes(log), 1);
}

TEST(VisionRunTest, AStopDuringAnEncodeEndsTheRunWithoutAFailure)
{
    LogCapture log;
    const std::shared_ptr<LlamaModel> model = loadWith(projector());
    ASSERT_TRUE(model->seesImages());
    const ChatImage image = png(QStringLiteral("a.png"), 20, 20, qRgb(1, 2, 3));
    const std::string text = "See" + LlamaModel::imageMarker(0).toStdString() + " this";
    LlamaModel::TestHooks hooks;
    bool heard = false;
    hooks.duringEncode = [&] {
        heard = true;
        model->requestStop();
    };
    std::vector<float> logits;
    hooks.afterPrompt = [&](const float* l, int32_t n) { logits.assign(l, l + n); };
    model->setTestHooks(hooks);
    std::promise<void> ended;
    GenerationSink sink;
    sink.onFinished = [&] { ended.set_value(); };
    GenerationHandle handle = model->generate(
        [&](const LlamaModel& m, SamplingParams&) { return m.tokenize(text, {image}); }, SamplingParams::defaults(),
        std::move(sink));
    ended.get_future().wait();
    model->queue().sync([] {});
    EXPECT_TRUE(heard);
    EXPECT_FALSE(model->lastStreamFailure());
    EXPECT_TRUE(logits.empty()); // the prompt never finished
    EXPECT_EQ(encodes(log), 0);
    EXPECT_FALSE(log.taken().filter(QStringLiteral("during an image's encode")).isEmpty());

    // The next run encodes it whole.
    model->setTestHooks({});
    EXPECT_FALSE(runOnce(*model, text, {image}).failure);
    EXPECT_EQ(encodes(log), 1);
}

TEST(VisionRunTest, TypedMarkersStayTextAndMarkersAreNumberedAcrossTheConversation)
{
    const std::shared_ptr<LlamaModel> model = loadWith(projector());
    ASSERT_TRUE(model->seesImages());
    const ChatImage image = png(QStringLiteral("a.png"), 20, 20, qRgb(1, 2, 3));
    std::vector<int32_t> tokens;
    model->queue().sync([&] {
        tokens = model->tokenize("typed <__media__> and" + LlamaModel::imageMarker(0).toStdString(), {image});
    });
    EXPECT_EQ(std::count_if(tokens.begin(), tokens.end(), standins::isImage), 4);
    std::vector<int32_t> plain;
    model->queue().sync([&] { plain = model->tokenize(std::string("typed <__media__> and")); });
    EXPECT_TRUE(std::equal(plain.begin(), plain.end(), tokens.begin())); // the typed marker is its text's tokens

    QList<ChatMessage> messages(3);
    messages[0].content = QStringLiteral("no marker");
    messages[0].images = {image};
    messages[1].content = QStringLiteral("a") + LlamaModel::imageMarker(1) + QStringLiteral("b") + LlamaModel::imageMarker(7);
    messages[1].images = {image, image};
    messages[2].content = QStringLiteral("text alone");
    const QList<ChatImage> all = ReplyImages::gather(messages);
    EXPECT_EQ(all.size(), 3);
    EXPECT_EQ(messages[0].content, LlamaModel::imageMarker(0) + QStringLiteral("no marker"));
    // Its second image was placed; its first was not and leads; a marker of
    // an image it lacks goes.
    EXPECT_EQ(messages[1].content, LlamaModel::imageMarker(1) + QStringLiteral("a") + LlamaModel::imageMarker(2) + QStringLiteral("b"));
    EXPECT_EQ(messages[2].content, QStringLiteral("text alone"));
}

TEST(VisionRunTest, APromptOfManyImagesFindsEachOfThemInItsRun)
{
    // More images than the model keeps between prompts, each another.
    const std::shared_ptr<LlamaModel> model = loadWith(projector());
    QList<ChatImage> images;
    std::string text;
    for (int i = 0; i < 24; ++i) {
        images.append(png(QStringLiteral("p%1.png").arg(i), 20, 20, qRgb(10 * i, 5, 200 - 5 * i)));
        text += " picture" + LlamaModel::imageMarker(i).toStdString();
    }
    LogCapture log;
    const RunResult run = runOnce(*model, text, images);
    EXPECT_FALSE(run.failure) << run.failure->toStdString();
    EXPECT_EQ(encodes(log), 24);
}

TEST(VisionRunTest, TheCutNeverSplitsAnImageAndRefusesImagesLargerThanTheContext)
{
    const std::vector<int32_t> image = standins::run(42, 4);
    std::vector<int32_t> tokens{1, 2, 3};
    tokens.insert(tokens.end(), image.begin(), image.end());
    tokens.insert(tokens.end(), {7, 8});
    // A tail of 5 would start inside the image: it keeps the text after it.
    EXPECT_EQ(ReplyPrompt::keepEnds(tokens, 6, 1), (std::vector<int32_t>{1, 7, 8}));
    // A tail of 6 holds it whole.
    std::vector<int32_t> whole{1};
    whole.insert(whole.end(), image.begin(), image.end());
    whole.insert(whole.end(), {7, 8});
    EXPECT_EQ(ReplyPrompt::keepEnds(tokens, 7, 1), whole);
    // A prefix that a cache keeps backs off to the image's start.
    EXPECT_EQ(standins::backOff(tokens, 5), 3);
    EXPECT_EQ(standins::backOff(tokens, 3), 3);
    EXPECT_EQ(standins::backOff(tokens, 7), 7);

    // Images of one message that outgrow the budget: refused, before any encode.
    // Each character a token, and "IMG" three images of 400 positions.
    const auto tokenize = [](const QString& text) {
        std::vector<int32_t> out{1};
        for (qsizetype i = 0; i < text.size(); ++i) {
            if (text.mid(i, 3) != QStringLiteral("IMG")) {
                out.push_back(5);
                continue;
            }
            for (int k = 0; k < 3; ++k) {
                const std::vector<int32_t> run = standins::run(uint64_t(k), 400);
                out.insert(out.end(), run.begin(), run.end());
            }
            i += 2;
        }
        return out;
    };
    QList<ReplyPrompt::Message> messages{{QUuid::createUuid(), {ChatMessage::Role::user, QStringLiteral("IMG look"), {}, {}, {}}}};
    try {
        ReplyPrompt::make(messages, ChatTemplate(), 1280, std::nullopt, tokenize);
        ADD_FAILURE() << "no refusal";
    } catch (const ImageError& error) {
        EXPECT_STREQ(error.what(), "This message's images need 1,200 tokens; the model's context has room for 1,024. "
                                   "Send fewer images or raise the context size.");
    }
}

TEST(VisionRunTest, BadImagesAreRefusedWithASentenceNamingThem)
{
    const auto refusal = [](const ChatImage& image) -> std::string {
        try {
            VisionImage::decode(image);
        } catch (const ImageError& error) {
            return error.what();
        }
        return "accepted";
    };
    // A JPEG cut short near its end, its header and most rows whole.
    QImage photo(256, 256, QImage::Format_RGB32);
    for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 256; ++x)
            photo.setPixel(x, y, qRgb((x * 7 + y * 3) % 256, (x * y) % 256, (x ^ y) % 256));
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    photo.save(&buffer, "JPEG");
    EXPECT_EQ(refusal({QStringLiteral("cut.jpg"), jpeg.left(jpeg.size() * 9 / 10)}),
              "The image \"cut.jpg\" could not be read: it is damaged or not an image.");
    EXPECT_EQ(refusal({QStringLiteral("notes.png"), QByteArray("just some text, not a picture\n")}),
              "The image \"notes.png\" could not be read: it is damaged or not an image.");

    // A PNG header that claims 50,000 x 50,000 pixels, and one of none.
    const auto header = [](uint32_t width, uint32_t height) {
        const auto be32 = [](QByteArray& out, uint32_t v) {
            for (int shift = 24; shift >= 0; shift -= 8)
                out.append(char((v >> shift) & 0xFF));
        };
        QByteArray out("\x89PNG\r\n\x1a\n", 8);
        const auto chunk = [&](const char* type, const QByteArray& data) {
            be32(out, uint32_t(data.size()));
            const QByteArray body = QByteArray(type) + data;
            out.append(body);
            be32(out, crc32Of(body));
        };
        QByteArray ihdr;
        be32(ihdr, width);
        be32(ihdr, height);
        ihdr.append("\x08\x02\x00\x00\x00", 5);
        chunk("IHDR", ihdr);
        chunk("IDAT", QByteArray("\x78\x9c\x03\x00\x00\x00\x00\x01", 8));
        chunk("IEND", {});
        return out;
    };
    EXPECT_EQ(refusal({QStringLiteral("bomb.png"), header(50000, 50000)}),
              "The image \"bomb.png\" is too large: 50000 x 50000 pixels, more than the 64 megapixels an image may have.");
    EXPECT_NE(refusal({QStringLiteral("empty.png"), header(0, 0)}).find("\"empty.png\""), std::string::npos);

    // A large one is scaled down to 2048 on its longer side.
    const VisionImage wide = VisionImage::decode(png(QStringLiteral("wide.png"), 4096, 1024, qRgb(9, 9, 9)));
    EXPECT_EQ(wide.width, 2048);
    EXPECT_EQ(wide.height, 512);
    EXPECT_EQ(wide.rgb.size(), 2048 * 512 * 3);
}

TEST(VisionRunTest, ADamagedProjectorLeavesTheModelReadingText)
{
    QFile good(projector());
    ASSERT_TRUE(good.open(QIODevice::ReadOnly));
    const QByteArray bytes = good.readAll();

    const QString cut = folder() + QStringLiteral("/mmproj-cut.gguf");
    QFile cutFile(cut);
    ASSERT_TRUE(cutFile.open(QIODevice::WriteOnly));
    cutFile.write(bytes.left(bytes.size() * 2 / 3));
    cutFile.close();

    // A feed-forward width that its tensors do not have: mtmd would end the
    // process building its first graph.
    QByteArray reshaped = bytes;
    const QByteArray key("clip.vision.feed_forward_length");
    const qsizetype at = reshaped.indexOf(key);
    ASSERT_GT(at, 0);
    reshaped[at + key.size() + 4] = char(reshaped[at + key.size() + 4] + 1); // after the u32 type
    const QString wrong = folder() + QStringLiteral("/mmproj-wrong.gguf");
    QFile wrongFile(wrong);
    ASSERT_TRUE(wrongFile.open(QIODevice::WriteOnly));
    wrongFile.write(reshaped);
    wrongFile.close();

    for (const auto& [path, why] : {std::pair{cut, "is cut short"},
                                    std::pair{wrong, "does not match its settings (v.blk.0.ffn_up.weight)"}}) {
        SCOPED_TRACE(why);
        const std::shared_ptr<LlamaModel> model = loadWith(path);
        EXPECT_FALSE(model->seesImages());
        ASSERT_TRUE(model->projectorFailure());
        EXPECT_NE(model->projectorFailure()->indexOf(QString::fromUtf8(why)), -1) << model->projectorFailure()->toStdString();
        EXPECT_NE(model->projectorFailure()->indexOf(QStringLiteral("reads text only")), -1);
        EXPECT_FALSE(runOnce(*model, "Hello there", {}).failure);
        EXPECT_THROW(model->tokenize("x", {png(QStringLiteral("a.png"), 4, 4, 0)}), ImageError);
    }
}

TEST(VisionRunTest, AProjectorOfAKindWhosePartsAreNotCheckedIsRefusedBeforeMtmdReadsIt)
{
    // The same parts under another kind's name: mtmd would end the process
    // in its load (Qwen's mergers) or at the first encode (yasa2).
    for (const auto& [kind, why] : {std::pair{"qwen2vl_merger", "(M-RoPE positions)"},
                                    std::pair{"qwen3vl_merger", "(M-RoPE positions)"},
                                    std::pair{"yasa2", "of a kind the app cannot check (yasa2)"}}) {
        SCOPED_TRACE(kind);
        // Its header written anew with the kind's name, its tensors as they were.
        gguf_context* g = gguf_init_from_file(QFile::encodeName(projector()).constData(), {true, nullptr});
        ASSERT_TRUE(g);
        const auto dataAt = qsizetype(gguf_get_data_offset(g));
        gguf_set_val_str(g, "clip.projector_type", kind);
        QByteArray bytes(qsizetype(gguf_get_meta_size(g)), '\0');
        gguf_get_meta_data(g, bytes.data());
        gguf_free(g);
        QFile original(projector());
        ASSERT_TRUE(original.open(QIODevice::ReadOnly));
        bytes += original.readAll().mid(dataAt);
        const QString path = folder() + QStringLiteral("/mmproj-%1.gguf").arg(QString::fromLatin1(kind));
        QFile out(path);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(bytes);
        out.close();

        const std::shared_ptr<LlamaModel> model = loadWith(path);
        EXPECT_FALSE(model->seesImages());
        ASSERT_TRUE(model->projectorFailure());
        EXPECT_NE(model->projectorFailure()->indexOf(QString::fromUtf8(why)), -1) << model->projectorFailure()->toStdString();
        EXPECT_FALSE(runOnce(*model, "Hello there", {}).failure);
    }
}

TEST(VisionRunTest, TheSameImageThreeTimesInOnePromptIsEncodedOnce)
{
    const std::shared_ptr<LlamaModel> model = loadWith(projector());
    const ChatImage image = png(QStringLiteral("same.png"), 30, 20, qRgb(90, 20, 160));
    std::string text;
    for (int i = 0; i < 3; ++i)
        text += " look" + LlamaModel::imageMarker(i).toStdString();
    LogCapture log;
    const RunResult run = runOnce(*model, text, {image, image, image});
    EXPECT_FALSE(run.failure);
    EXPECT_FALSE(run.logits.empty());
    EXPECT_EQ(encodes(log), 1);
}

TEST(VisionRunTest, TooManyImagesOrTooManyPositionsAreRefusedBeforeAnyIsDecoded)
{
    // Not images at all: a decode would be refused with another sentence.
    QList<ChatImage> junk;
    std::string text;
    for (int i = 0; i <= LlamaModel::maxImagesPerPrompt; ++i) {
        junk.append({QStringLiteral("j%1.png").arg(i), QByteArray("not a picture ") + QByteArray::number(i)});
        text += LlamaModel::imageMarker(i).toStdString();
    }
    const auto refusal = [](LlamaModel& model, const std::string& prompt, const QList<ChatImage>& images) {
        std::string why = "accepted";
        model.queue().sync([&] {
            try {
                model.tokenize(prompt, images);
            } catch (const ImageError& error) {
                why = error.what();
            }
        });
        return why;
    };
    const std::shared_ptr<LlamaModel> model = loadWith(projector());
    EXPECT_EQ(refusal(*model, text, junk), "This message has 101 images; at most 100 can be sent at once.");

    // 16 positions an image: 40 of them need more than the context's 512.
    const QString larger = folder() + QStringLiteral("/mmproj-16.gguf");
    testmodel::ProjectorSpec spec;
    spec.textEmbd = kEmbd;
    spec.imageSize = 56;
    ASSERT_EQ(testmodel::writeRandomProjector(larger.toStdString(), spec), "");
    const std::shared_ptr<LlamaModel> sixteen = loadWith(larger);
    ASSERT_TRUE(sixteen->seesImages());
    std::string forty;
    for (int i = 0; i < 40; ++i)
        forty += LlamaModel::imageMarker(i).toStdString();
    EXPECT_EQ(refusal(*sixteen, forty, junk.mid(0, 40)),
              "These images need 640 tokens; the model's context has room for 512. Send fewer images or raise the "
              "context size.");
}

TEST(VisionRunTest, ImagesWhoseBytesTheModelHasSeenAreNotDecodedAgain)
{
    // More than any few kept, each its own; the second prompt holds copies
    // of their bytes, as a client that sends them again each turn does.
    const std::shared_ptr<LlamaModel> model = loadWith(projector());
    QList<ChatImage> images, again;
    std::string text;
    for (int i = 0; i < 20; ++i) {
        images.append(png(QStringLiteral("p%1.png").arg(i), 24, 24, qRgb(12 * i, 40, 255 - 12 * i)));
        again.append({images.back().name, QByteArray(images.back().data.constData(), images.back().data.size())});
        text += " picture" + LlamaModel::imageMarker(i).toStdString();
    }
    LogCapture log;
    std::vector<int32_t> first, second;
    model->queue().sync([&] {
        first = model->tokenize(text, images);
        second = model->tokenize(text, again);
    });
    EXPECT_EQ(first, second);
    EXPECT_EQ(log.taken().filter(QStringLiteral("Read an image of 24 x 24 pixels")).size(), 20);
    // And the run reads each of them, whose pixels it may have let go.
    const RunResult run = runOnce(*model, text, again);
    EXPECT_FALSE(run.failure);
    EXPECT_EQ(encodes(log), 20);
}

TEST(VisionRunTest, FactsStoredByTheSameProjectorAreTakenAndOthersLearntAgain)
{
    const ChatImage image = png(QStringLiteral("kept.png"), 24, 24, qRgb(30, 200, 90));
    const std::string text = " picture" + LlamaModel::imageMarker(0).toStdString();
    const auto reads = [](LogCapture& log) {
        return log.taken().filter(QStringLiteral("Read an image of 24 x 24 pixels")).size();
    };
    const auto tokensAndFacts = [&](LlamaModel& model, const ChatImage& sent) {
        std::pair<std::vector<int32_t>, std::optional<ChatImage::Facts>> out;
        model.queue().sync([&] { out = {model.tokenize(text, {sent}), model.knownFacts(sent)}; });
        return out;
    };
    LogCapture log;
    const std::shared_ptr<LlamaModel> first = loadWith(projector());
    const auto [tokens, learnt] = tokensAndFacts(*first, image);
    ASSERT_TRUE(learnt);
    EXPECT_EQ(learnt->key, first->imageFactsKey());
    EXPECT_EQ(std::tuple(learnt->width, learnt->height, learnt->positions), std::tuple(24, 24, int64_t(4)));
    EXPECT_EQ(reads(log), 1);

    // The same projector loaded again takes them as stored: the same
    // tokens, no decode; the run decodes the image to encode it.
    ChatImage stored = image;
    stored.facts = learnt;
    log.clear();
    const std::shared_ptr<LlamaModel> again = loadWith(projector());
    EXPECT_EQ(tokensAndFacts(*again, stored), std::pair(tokens, learnt));
    EXPECT_EQ(reads(log), 0);
    EXPECT_FALSE(runOnce(*again, text, {stored}).failure);
    EXPECT_EQ(encodes(log), 1);

    // Another projector file, or facts no projector makes, are learnt again.
    const QString copy = folder() + QStringLiteral("/mmproj-copy.gguf");
    ASSERT_TRUE(QFile::exists(copy) || QFile::copy(projector(), copy));
    const std::shared_ptr<LlamaModel> other = loadWith(copy);
    ASSERT_FALSE(other->imageFactsKey().isEmpty());
    EXPECT_NE(other->imageFactsKey(), first->imageFactsKey());
    log.clear();
    const auto [otherTokens, relearnt] = tokensAndFacts(*other, stored);
    EXPECT_EQ(otherTokens, tokens);
    ASSERT_TRUE(relearnt);
    EXPECT_EQ(relearnt->key, other->imageFactsKey());
    EXPECT_EQ(relearnt->pixelHash, learnt->pixelHash);
    EXPECT_EQ(reads(log), 1);
    ChatImage bogus = stored;
    bogus.facts->positions = 0;
    log.clear();
    EXPECT_EQ(tokensAndFacts(*again, bogus).first, tokens);
    EXPECT_EQ(reads(log), 1);
}

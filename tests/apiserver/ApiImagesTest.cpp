// Images sent to the local server in `image_url` parts.

#include "ServedModels.h"
#include "apiserver/ApiMessages.h"
#include "engine/LlamaModel.h"
#include "models/GgufWriter.h"
#include "TestModelWriter.h"

#include <QJsonArray>

#include <gtest/gtest.h>

using namespace cvn;
using namespace cvn::test;

namespace {

// A PNG of one pixel, and the head of a JPEG, as base64.
const QByteArray kPng = "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mNk+M9QDwADhgGAWjR9awAAAABJRU5ErkJggg==";
const QByteArray kJpeg = "/9j/4AAQSkZJRgABAQAAAQABAAD/";

QByteArray imagePart(const QByteArray& url)
{
    return R"({"type":"image_url","image_url":{"url":")" + url + R"("}})";
}

QByteArray withImage(const QByteArray& url, const QByteArray& model = {})
{
    return (model.isEmpty() ? QByteArray("{") : R"({"model":")" + model + "\",")
           + R"("messages":[{"role":"user","content":[{"type":"text","text":"What is it?"},)" + imagePart(url)
           + "]}]}";
}

QString errorOf(const Received& r)
{
    return bodyOf(r).value(QLatin1String("error")).toObject().value(QLatin1String("message")).toString();
}

} // namespace

TEST(ApiServer, ImagesComeAsDataUrisOrBase64AndNothingIsFetched)
{
    api::ReplyAsk ask;
    ASSERT_FALSE(api::readAsk(R"({"messages":[{"role":"user","content":[{"type":"text","text":"Look "},)"
                                  + imagePart("data:image/png;base64," + kPng) + R"(,{"type":"text","text":" and "},)"
                                  + imagePart(kJpeg) + R"(]},{"role":"user","content":[)"
                                  + imagePart("DATA:image/PNG;base64," + kPng.left(40) + "\\n" + kPng.mid(40)) + "]}]}",
                              true, ask));
    ASSERT_EQ(ask.messages.size(), 2);
    const ChatMessage& first = ask.messages[0];
    EXPECT_EQ(first.content, "Look " + LlamaModel::imageMarker(0) + " and " + LlamaModel::imageMarker(1));
    ASSERT_EQ(first.images.size(), 2);
    EXPECT_EQ(first.images[0], (ChatImage{QStringLiteral("image-1.png"), QByteArray::fromBase64(kPng)}));
    EXPECT_EQ(first.images[1], (ChatImage{QStringLiteral("image-2.jpg"), QByteArray::fromBase64(kJpeg)}));
    // Each message numbers its own markers; a wrapped base64 is joined, and a
    // scheme in capitals is the same scheme.
    ASSERT_EQ(ask.messages[1].images.size(), 1);
    EXPECT_EQ(ask.messages[1].content, LlamaModel::imageMarker(0));
    EXPECT_EQ(ask.messages[1].images[0].name, QStringLiteral("image-3.png"));
    EXPECT_EQ(ask.messages[1].images[0].data, first.images[0].data);

    // Each refusal names the part and its reason.
    const std::pair<QByteArray, const char*> refused[] = {
        {"https://example.com/cat.png", "the local server fetches nothing: send the image as a data URI or base64"},
        {"file:///etc/passwd", "the local server fetches nothing"},
        {"data:image/png;base64,iVBOR*w0K", "is not valid base64"},
        {"data:image/png;base64,aGVsbG8gd29ybGQ=", "is not a PNG, JPEG, WebP, GIF or BMP image"},
        {"data:text/plain;base64,aGk=", "is not an image"}};
    for (const auto& [url, reason] : refused) {
        api::ReplyAsk ignored;
        const std::optional<api::ApiError> error = api::readAsk(withImage(url), true, ignored);
        ASSERT_TRUE(error) << url.toStdString();
        EXPECT_EQ(error->status, 400);
        EXPECT_TRUE(error->message.contains(QLatin1String("messages[0].content[1]"))) << error->message.toStdString();
        EXPECT_TRUE(error->message.contains(QLatin1String(reason))) << error->message.toStdString();
    }
}

// The server knows which models see through a projector: it says so in the
// list, and refuses images for the others before anything is loaded. Bodies
// with images may be up to 32 MiB; without one the limit stays 8.
TEST(ApiServer, OnlyModelsWithAProjectorTakeImagesAndTheirBodiesMayBeLarger)
{
    Served s;
    std::atomic<int> loads{0};
    s.session->setLoadHook([&] { ++loads; });
    const auto pngOf = [](qsizetype bytes) {
        QByteArray png = QByteArray::fromBase64(kPng);
        png.resize(bytes, '\0');
        return "data:image/png;base64," + png.toBase64();
    };
    // The one in the slot, one not loaded, and 9 MiB that is nearly all image.
    for (const QByteArray& body : {withImage(pngOf(67)), withImage(pngOf(67), "beta"), withImage(pngOf(27 << 18))}) {
        const Received refused = s.send(s.request("POST", "/v1/chat/completions", body));
        EXPECT_EQ(status(refused), 400);
        EXPECT_EQ(errorOf(refused), QStringLiteral("this model does not take images"));
    }
    EXPECT_EQ(loads, 0);
    const Received plain = s.send(s.request("POST", "/v1/chat/completions",
                                            R"({"messages":[{"role":"user","content":")" + QByteArray(9 << 20, 'a') + "\"}]}"));
    EXPECT_EQ(status(plain), 413);
    EXPECT_TRUE(errorOf(plain).contains(QLatin1String("8 MiB"))) << errorOf(plain).toStdString();
    const Received over = s.send(s.request("POST", "/v1/chat/completions", withImage(pngOf(99 << 18))));
    EXPECT_EQ(status(over), 413);
    EXPECT_TRUE(errorOf(over).contains(QLatin1String("32 MiB"))) << errorOf(over).toStdString();

    const auto inputs = [&](const QByteArray& model) {
        return bodyOf(s.send(s.request("GET", "/v1/models/" + model)))
            .value(QLatin1String("architecture")).toObject().value(QLatin1String("input_modalities")).toArray();
    };
    EXPECT_EQ(inputs("alpha"), QJsonArray({QStringLiteral("text")}));
    // The scripted models are 64 wide: this projector fits both.
    GgufWriter()
        .string("general.architecture", "clip")
        .string("general.type", "mmproj")
        .u32("clip.vision.projection_dim", 64)
        .writeTo(s.folder.path, QStringLiteral("mmproj-alpha-f16.gguf"));
    s.store->reload();
    EXPECT_EQ(inputs("alpha"), QJsonArray({QStringLiteral("text"), QStringLiteral("image")}));
    const QJsonArray listed = bodyOf(s.send(s.request("GET", "/v1/models"))).value(QLatin1String("data")).toArray();
    ASSERT_EQ(listed.size(), 2);
    for (const QJsonValue model : listed)
        EXPECT_EQ(model.toObject().value(QLatin1String("architecture")).toObject().value(QLatin1String("input_modalities")),
                  QJsonArray({QStringLiteral("text"), QStringLiteral("image")}));
}

// Through the whole path: a model with a random projector encodes the image
// it is sent, and the run's refusal of a damaged one reaches the client as a
// 400 with its sentence, not as an empty answer.
TEST(ApiServer, AModelWithAProjectorSeesTheImageAndADamagedOneIsRefused)
{
    Served s;
    s.folder.addRandom(QStringLiteral("seeing"), 2048);
    ASSERT_EQ(testmodel::writeRandomProjector((s.folder.path + QStringLiteral("/mmproj-seeing-f32.gguf")).toStdString(),
                                              testmodel::ProjectorSpec{}),
              "");
    s.store->reload();
    LogCapture log;
    const Received seen = s.send(s.request("POST", "/v1/chat/completions",
                                           withImage("data:image/png;base64," + kPng, "seeing").chopped(1)
                                               + R"(,"max_tokens":2})"));
    ASSERT_EQ(status(seen), 200) << seen.bytes.toStdString();
    {
        QMutexLocker lock(&LogCapture::mutex);
        EXPECT_TRUE(LogCapture::messages.filter(QStringLiteral("Encoded an image of")).size() == 1)
            << LogCapture::messages.join('\n').toStdString();
    }
    QByteArray damaged = QByteArray::fromBase64(kPng);
    damaged.replace(16, 12, QByteArray(12, '\xff'));
    const Received refused = s.send(s.request("POST", "/v1/chat/completions",
                                              withImage("data:image/png;base64," + damaged.toBase64(), "seeing")));
    EXPECT_EQ(status(refused), 400);
    EXPECT_EQ(errorOf(refused),
              QStringLiteral("The image \"image-1.png\" could not be read: it is damaged or not an image."));
}

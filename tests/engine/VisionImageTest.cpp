// Image files as people's cameras and other programs write them, and as a
// hostile sender would: what reaches the encoder, or the sentence that says
// why nothing does.
#include "engine/LlamaModel.h"
#include "engine/VisionImage.h"

#include <QBuffer>
#include <QImage>

#include <gtest/gtest.h>

using namespace cvn;

namespace {

QByteArray encoded(const QImage& image, const char* format, int quality = -1)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    EXPECT_TRUE(image.save(&buffer, format, quality));
    return bytes;
}

std::string refusal(const ChatImage& image)
{
    try {
        VisionImage::decode(image);
    } catch (const ImageError& error) {
        return error.what();
    }
    return "accepted";
}

} // namespace

TEST(VisionImageTest, AnSvgWithAnImageNameIsNeverDrawn)
{
    // It would draw the local file it names into what the model sees.
    const QByteArray svg("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"64\" height=\"64\">"
                         "<rect width=\"64\" height=\"64\" fill=\"red\"/></svg>");
    EXPECT_EQ(refusal({QStringLiteral("drawing.png"), svg}),
              "The image \"drawing.png\" could not be read: it is damaged or not an image.");
}

TEST(VisionImageTest, APhotoOfMoreThan33MegapixelsIsTakenAtTheCap)
{
    // Past Qt's allocation limit at its full size (7000 x 5000 x 4 bytes).
    QImage photo(7000, 5000, QImage::Format_RGB888);
    photo.fill(qRgb(30, 160, 90));
    const VisionImage image = VisionImage::decode({QStringLiteral("phone.jpg"), encoded(photo, "JPEG", 70)});
    EXPECT_EQ(image.width, 2048);
    EXPECT_NEAR(image.height, 1463, 1);
    const auto* middle = reinterpret_cast<const uint8_t*>(image.rgb.constData()) + (700 * 2048 + 1024) * 3;
    EXPECT_NEAR(middle[0], 30, 4);
    EXPECT_NEAR(middle[1], 160, 4);
    EXPECT_NEAR(middle[2], 90, 4);
}

TEST(VisionImageTest, ATranslucent16BitPngKeepsItsColoursWhenScaledDown)
{
    // Scaled to less than half its width, where Qt's 64-bit scaling goes wrong.
    QImage image(5000, 1000, QImage::Format_RGBA64);
    image.fill(QColor::fromRgba64(QRgba64::fromRgba64(0xC800, 0x6400, 0x3200, 0x4000)));
    const VisionImage read = VisionImage::decode({QStringLiteral("deep.png"), encoded(image, "PNG")});
    ASSERT_EQ(read.width, 2048);
    // Straight colours, as the same picture reads at its full size.
    const int expected[] = {200, 100, 50};
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(uint8_t(read.rgb[(200 * 2048 + 1000) * 3 + c]), expected[c], 2) << "channel " << c;
}

TEST(VisionImageTest, AJpegCutShortWithItsEndMarkerPutBackIsRefused)
{
    QImage photo(256, 256, QImage::Format_RGB32);
    for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 256; ++x)
            photo.setPixel(x, y, qRgb((x * 7 + y * 3) % 256, (x * y) % 256, (x ^ y) % 256));
    const QByteArray whole = encoded(photo, "JPEG");
    ASSERT_TRUE(whole.endsWith("\xFF\xD9"));
    EXPECT_NO_THROW(VisionImage::decode({QStringLiteral("whole.jpg"), whole}));
    const QByteArray cut = whole.left(whole.size() * 6 / 10) + QByteArray("\xFF\xD9", 2);
    EXPECT_EQ(refusal({QStringLiteral("cut.jpg"), cut}),
              "The image \"cut.jpg\" could not be read: it is damaged or not an image.");
}

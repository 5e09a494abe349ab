#include "attachments/ImageCheck.h"

#include "attachments/ImageText.h"
#include "platform/ImageSignature.h"

#include <QBuffer>
#include <QImage>
#include <QImageReader>

#include <algorithm>

namespace cvn {

namespace {

// As large as a model is shown an image: a larger photo is decoded straight
// to this size where its format can, so the check costs little memory.
constexpr int checkedSide = 2048;

} // namespace

std::optional<QString> imageRefusal(QByteArrayView bytes, const QString& name)
{
    const QByteArray format = ImageSignature::formatOf(bytes);
    if (format.isEmpty())
        return QStringLiteral("Format not supported: %1 (not a %2 image)").arg(name, ImageSignature::kindsText());
    const QString damaged = QStringLiteral("Couldn't read image: %1 (the file is damaged)").arg(name);
    if (format == "jpeg" && !ImageSignature::jpegEnds(bytes))
        return damaged;
    QByteArray data = bytes.toByteArray();
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, format);
    reader.setAutoDetectImageFormat(false);
    const QSize size = reader.size();
    if (!reader.canRead() || (size.isValid() && size.isEmpty()))
        return damaged;
    if (size.isValid() && int64_t(size.width()) * size.height() > maxImagePixels)
        return QStringLiteral("Image too large: %1 (%2 × %3 pixels, max 64 megapixels)")
            .arg(name)
            .arg(size.width())
            .arg(size.height());
    if (size.isValid() && std::max(size.width(), size.height()) > checkedSide)
        reader.setScaledSize(size.scaled(checkedSide, checkedSide, Qt::KeepAspectRatio));
    QImage image;
    if (reader.read(&image) && !image.isNull())
        return std::nullopt;
    // Qt refuses a picture whose pixels would pass its allocation limit
    // before it reads a row: that picture is whole, only too large.
    const int64_t pixelBytes = size.isValid() ? int64_t(size.width()) * size.height() * 4 : 0;
    if (pixelBytes > int64_t(QImageReader::allocationLimit()) << 20)
        return QStringLiteral("Image too large: %1 (%2 × %3 pixels)").arg(name).arg(size.width()).arg(size.height());
    return damaged;
}

} // namespace cvn

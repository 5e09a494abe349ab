#include "engine/VisionImage.h"

#include "engine/LlamaModel.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QImage>
#include <QImageReader>
#include <QtEndian>

namespace cvn {

namespace {

QString quoted(const ChatImage& image)
{
    return image.name.isEmpty() ? QStringLiteral("The image") : QStringLiteral("The image \"%1\"").arg(image.name);
}

// libjpeg fills the rows of a file cut short with gray and calls it a
// warning, so Qt hands back the half picture. The entropy-coded data never
// holds the end marker (a 0xFF there is followed by 0x00), so a whole file
// has one after its last scan's start.
bool jpegEnds(const QByteArray& data)
{
    const qsizetype scan = data.lastIndexOf(QByteArrayView("\xFF\xDA", 2));
    return scan >= 0 && data.indexOf(QByteArrayView("\xFF\xD9", 2), scan) > scan;
}

} // namespace

VisionImage VisionImage::decode(const ChatImage& image)
{
    QByteArray bytes = image.data;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setAutoTransform(true);
    const QString unreadable = QStringLiteral("%1 could not be read: it is damaged or not an image.").arg(quoted(image));
    if (!reader.canRead())
        throw ImageError(unreadable.toStdString());
    if (reader.format() == "jpeg" && !jpegEnds(bytes))
        throw ImageError(unreadable.toStdString());
    const QSize claimed = reader.size();
    if (claimed.isValid()) {
        if (claimed.isEmpty())
            throw ImageError(QStringLiteral("%1 has no pixels.").arg(quoted(image)).toStdString());
        if (int64_t(claimed.width()) * claimed.height() > maxPixels)
            throw ImageError(QStringLiteral("%1 is too large: %2 x %3 pixels, more than the 64 megapixels an "
                                            "image may have.")
                                 .arg(quoted(image))
                                 .arg(claimed.width())
                                 .arg(claimed.height())
                                 .toStdString());
    }
    // Qt's own allocation limit stays as a second guard for a header that
    // gave no size.
    QImage decoded;
    if (!reader.read(&decoded) || decoded.isNull())
        throw ImageError(unreadable.toStdString());
    if (decoded.width() < 1 || decoded.height() < 1)
        throw ImageError(QStringLiteral("%1 has no pixels.").arg(quoted(image)).toStdString());
    if (std::max(decoded.width(), decoded.height()) > maxSide)
        decoded = decoded.scaled(maxSide, maxSide, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    decoded = decoded.convertToFormat(QImage::Format_RGB888);

    VisionImage out;
    out.width = decoded.width();
    out.height = decoded.height();
    const qsizetype row = qsizetype(out.width) * 3;
    out.rgb.resize(row * out.height);
    for (int y = 0; y < out.height; ++y)
        std::memcpy(out.rgb.data() + row * y, decoded.constScanLine(y), size_t(row));
    QCryptographicHash sha(QCryptographicHash::Sha256);
    uint32_t size[2] = {qToLittleEndian(uint32_t(out.width)), qToLittleEndian(uint32_t(out.height))};
    sha.addData(QByteArrayView(reinterpret_cast<const char*>(size), sizeof size));
    sha.addData(out.rgb);
    out.hash = qFromLittleEndian<uint64_t>(sha.result().constData());
    return out;
}

} // namespace cvn

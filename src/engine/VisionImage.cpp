#include "engine/VisionImage.h"

#include "engine/LlamaModel.h"
#include "platform/ImageSignature.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QImage>
#include <QImageReader>
#include <QtEndian>

#include <csetjmp>
#include <cstdio>
#include <new>

#include <jpeglib.h>

namespace cvn {

namespace {

QString quoted(const ChatImage& image)
{
    return image.name.isEmpty() ? QStringLiteral("The image") : QStringLiteral("The image \"%1\"").arg(image.name);
}

[[noreturn]] void refuse(const QString& sentence)
{
    throw ImageError(sentence.toStdString());
}

// libjpeg fills the rows of a file cut short with gray and calls it a
// warning, so Qt hands back the half picture; a cut file with an end marker
// put back passes any look at its last bytes. So the scan is read through
// once, at an eighth of the size (the entropy-coded data is read whole all
// the same), and any warning on the way refuses it.
struct JpegErrors {
    jpeg_error_mgr base;
    std::jmp_buf fatal;
};

void jpegFatal(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<JpegErrors*>(info->err)->fatal, 1);
}

// Counts the warnings as libjpeg's own does, and writes nothing.
void jpegQuiet(j_common_ptr info, int level)
{
    if (level < 0)
        ++info->err->num_warnings;
}

bool jpegReadsWhole(const QByteArray& data)
{
    jpeg_decompress_struct info{};
    JpegErrors errors{};
    info.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = jpegFatal;
    errors.base.emit_message = jpegQuiet;
    // Nothing with a destructor lives past the setjmp: libjpeg's own pool
    // holds the row.
    if (setjmp(errors.fatal)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(data.constData()), static_cast<unsigned long>(data.size()));
    if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    info.scale_num = 1;
    info.scale_denom = 8;
    info.buffered_image = FALSE;
    jpeg_start_decompress(&info);
    JSAMPARRAY rows = (*info.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&info), JPOOL_IMAGE,
                                                info.output_width * JDIMENSION(info.output_components), 1);
    while (info.output_scanline < info.output_height)
        jpeg_read_scanlines(&info, rows, 1);
    jpeg_finish_decompress(&info);
    const bool whole = errors.base.num_warnings == 0;
    jpeg_destroy_decompress(&info);
    return whole;
}

VisionImage packed(const QImage& decoded)
{
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

VisionImage read(const ChatImage& image)
{
    const QString unreadable = QStringLiteral("%1 could not be read: it is damaged or not an image.").arg(quoted(image));
    // Qt would read any format it has a plugin for, SVG among them, which
    // draws the local files it names into the picture.
    const QByteArray format = VisionImage::formatOf(image.data);
    if (format.isEmpty())
        refuse(unreadable);
    QByteArray bytes = image.data;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, format);
    reader.setDecideFormatFromContent(false);
    reader.setAutoTransform(true);
    if (!reader.canRead())
        refuse(unreadable);
    if (format == "jpeg" && !jpegReadsWhole(bytes))
        refuse(unreadable);
    const QSize claimed = reader.size();
    const QString tooLarge = QStringLiteral("%1 is too large: %2 x %3 pixels, more than the 64 megapixels an "
                                            "image may have.")
                                 .arg(quoted(image))
                                 .arg(claimed.width())
                                 .arg(claimed.height());
    if (claimed.isValid()) {
        if (claimed.isEmpty())
            refuse(QStringLiteral("%1 has no pixels.").arg(quoted(image)));
        if (int64_t(claimed.width()) * claimed.height() > VisionImage::maxPixels)
            refuse(tooLarge);
    }
    // A decoder that scales as it reads (JPEG, WebP) makes the capped size
    // straight away: a phone's 48 MP photo never takes its full size in
    // memory, nor meets Qt's allocation limit. Qt's PNG reader takes the
    // option too, but reads whole and scales as below goes wrong.
    const bool scalesWhileReading =
        (format == "jpeg" || format == "webp") && reader.supportsOption(QImageIOHandler::ScaledSize);
    if (claimed.isValid() && std::max(claimed.width(), claimed.height()) > VisionImage::maxSide && scalesWhileReading)
        reader.setScaledSize(claimed.scaled(VisionImage::maxSide, VisionImage::maxSide, Qt::KeepAspectRatio));
    QImage decoded;
    if (!reader.read(&decoded) || decoded.isNull()) {
        // Qt's allocation limit is the one left for a decoder that reads
        // at full size, and for a header that gave no size.
        const int64_t limit = int64_t(QImageReader::allocationLimit()) << 20;
        if (claimed.isValid() && limit > 0 && int64_t(claimed.width()) * claimed.height() * 4 > limit)
            refuse(QStringLiteral("%1 is too large: %2 x %3 pixels, more than can be read at once.")
                       .arg(quoted(image))
                       .arg(claimed.width())
                       .arg(claimed.height()));
        refuse(unreadable);
    }
    if (decoded.width() < 1 || decoded.height() < 1)
        refuse(QStringLiteral("%1 has no pixels.").arg(quoted(image)));
    // To RGB before any scaling: Qt scales a translucent image
    // premultiplied, and a 16-bit one then reads back with the wrong colours.
    decoded = decoded.convertToFormat(QImage::Format_RGB888);
    if (std::max(decoded.width(), decoded.height()) > VisionImage::maxSide)
        decoded = decoded.scaled(VisionImage::maxSide, VisionImage::maxSide, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                      .convertToFormat(QImage::Format_RGB888);
    if (decoded.isNull())
        throw std::bad_alloc();
    return packed(decoded);
}

} // namespace

QByteArray VisionImage::formatOf(const QByteArray& data)
{
    return ImageSignature::formatOf(data);
}

VisionImage VisionImage::decode(const ChatImage& image)
{
    try {
        return read(image);
    } catch (const std::bad_alloc&) {
        throw ImageMemoryError(
            QStringLiteral("%1 could not be read: there is not enough memory for it.").arg(quoted(image)).toStdString());
    }
}

} // namespace cvn

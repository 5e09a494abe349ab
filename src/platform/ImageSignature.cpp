#include "platform/ImageSignature.h"

#include <cstdint>

namespace cvn {

QByteArray ImageSignature::formatOf(QByteArrayView bytes)
{
    if (bytes.startsWith("\x89PNG\r\n\x1a\n"))
        return "png";
    if (bytes.startsWith("\xff\xd8\xff"))
        return "jpeg";
    if (bytes.startsWith("GIF87a") || bytes.startsWith("GIF89a"))
        return "gif";
    if (bytes.size() >= 12 && bytes.startsWith("RIFF") && bytes.sliced(8, 4) == "WEBP")
        return "webp";
    // "BM" alone begins plenty of text: the size of its info header must be
    // one that a bitmap has.
    if (bytes.startsWith("BM") && bytes.size() >= 18) {
        const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
        const uint32_t header = b[14] | b[15] << 8 | b[16] << 16 | uint32_t(b[17]) << 24;
        for (const uint32_t known : {12u, 40u, 52u, 56u, 64u, 108u, 124u})
            if (header == known)
                return "bmp";
    }
    return {};
}

bool ImageSignature::jpegEnds(QByteArrayView bytes)
{
    const qsizetype scan = bytes.lastIndexOf(QByteArrayView("\xFF\xDA", 2));
    return scan >= 0 && bytes.indexOf(QByteArrayView("\xFF\xD9", 2), scan) > scan;
}

QString ImageSignature::mimeTypeOf(QByteArrayView bytes)
{
    const QByteArray format = formatOf(bytes);
    return format.isEmpty() ? QString() : QStringLiteral("image/") + QString::fromLatin1(format);
}

} // namespace cvn

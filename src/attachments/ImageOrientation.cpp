// The EXIF orientation reader: a walk over JPEG segments, PNG chunks or WebP
// chunks to the TIFF block, every offset checked against the real size.
#include "attachments/ImageText.h"

namespace cvn {

namespace {

// Markers with NUL bytes in them: as plain string literals they would end
// at the first NUL.
constexpr QByteArrayView exifHeader("Exif\0\0", 6);
constexpr QByteArrayView tiffLittle("II*\0", 4);
constexpr QByteArrayView tiffBig("MM\0*", 4);

uint32_t readUnsigned(QByteArrayView bytes, int64_t offset, int width, bool littleEndian)
{
    if (offset < 0 || width > bytes.size() || offset > bytes.size() - width)
        return 0;
    uint32_t value = 0;
    for (int i = 0; i < width; ++i) {
        const auto byte = uint8_t(bytes[offset + (littleEndian ? width - 1 - i : i)]);
        value = (value << 8) | byte;
    }
    return value;
}

// Orientation tag of a TIFF structure (the body of every Exif block), 0 when
// it has none.
uint32_t tiffOrientation(QByteArrayView tiff)
{
    if (tiff.startsWith(exifHeader))
        tiff = tiff.sliced(6);
    bool little;
    if (tiff.startsWith(tiffLittle))
        little = true;
    else if (tiff.startsWith(tiffBig))
        little = false;
    else
        return 0;
    const int64_t ifd = readUnsigned(tiff, 4, 4, little);
    const int64_t count = readUnsigned(tiff, ifd, 2, little);
    for (int64_t i = 0; i < count; ++i) {
        const int64_t entry = ifd + 2 + i * 12;
        if (entry + 12 > tiff.size())
            return 0;
        if (readUnsigned(tiff, entry, 2, little) != 0x0112)
            continue;
        const uint32_t type = readUnsigned(tiff, entry + 2, 2, little);
        if (type == 3) // SHORT, stored in the first two bytes of the value
            return readUnsigned(tiff, entry + 8, 2, little);
        if (type == 4) // LONG, as some writers use
            return readUnsigned(tiff, entry + 8, 4, little);
        return 0;
    }
    return 0;
}

uint32_t jpegOrientation(QByteArrayView jpeg)
{
    int64_t p = 2;
    while (p + 4 <= jpeg.size()) {
        if (uint8_t(jpeg[p]) != 0xFF)
            return 0;
        const uint8_t marker = uint8_t(jpeg[p + 1]);
        if (marker == 0xFF) { // fill byte
            ++p;
            continue;
        }
        if (marker == 0xD9 || marker == 0xDA) // end of image, start of scan
            return 0;
        if ((marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) { // no length
            p += 2;
            continue;
        }
        const int64_t length = readUnsigned(jpeg, p + 2, 2, false);
        if (length < 2 || p + 2 + length > jpeg.size())
            return 0;
        if (marker == 0xE1) {
            const QByteArrayView body = jpeg.sliced(p + 4, length - 2);
            if (body.startsWith(exifHeader)) {
                if (uint32_t value = tiffOrientation(body))
                    return value;
            }
        }
        p += 2 + length;
    }
    return 0;
}

uint32_t pngOrientation(QByteArrayView png)
{
    int64_t p = 8;
    while (p + 12 <= png.size()) {
        const int64_t length = readUnsigned(png, p, 4, false);
        const QByteArrayView type = png.sliced(p + 4, 4);
        if (length > png.size() - p - 12)
            return 0;
        if (type == "eXIf")
            return tiffOrientation(png.sliced(p + 8, length));
        if (type == "IEND")
            return 0;
        p += 12 + length;
    }
    return 0;
}

uint32_t webpOrientation(QByteArrayView webp)
{
    int64_t p = 12;
    while (p + 8 <= webp.size()) {
        const int64_t length = readUnsigned(webp, p + 4, 4, true);
        if (length > webp.size() - p - 8)
            return 0;
        if (webp.sliced(p, 4) == "EXIF")
            return tiffOrientation(webp.sliced(p + 8, length));
        p += 8 + length + (length & 1); // chunks are padded to even sizes
    }
    return 0;
}

} // namespace

uint32_t imageOrientation(QByteArrayView image)
{
    uint32_t value = 0;
    if (image.startsWith("\xFF\xD8"))
        value = jpegOrientation(image);
    else if (image.startsWith("\x89PNG\r\n\x1A\n"))
        value = pngOrientation(image);
    else if (image.size() >= 12 && image.startsWith("RIFF") && image.sliced(8, 4) == "WEBP")
        value = webpOrientation(image);
    return value >= 1 && value <= 8 ? value : 1;
}

} // namespace cvn

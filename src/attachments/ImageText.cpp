// Text recognition over tesseract and leptonica, and the EXIF orientation
// reader; the only file that knows either library.
#include "attachments/ImageText.h"

#include "attachments/AttachmentText.h"

#include <allheaders.h>
#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

#include <QStringList>

#include <cstdlib>
#include <memory>
#include <mutex>

namespace cvn {

namespace {

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
    if (tiff.startsWith("Exif\0\0"))
        tiff = tiff.sliced(6);
    bool little;
    if (tiff.startsWith("II*\0"))
        little = true;
    else if (tiff.startsWith("MM\0*"))
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
            if (body.startsWith("Exif\0\0")) {
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

struct PixDeleter {
    void operator()(Pix* pix) const { pixDestroy(&pix); }
};
using PixPtr = std::unique_ptr<Pix, PixDeleter>;

// The picture turned as its orientation asks, so that text stands upright.
PixPtr upright(PixPtr pix, uint32_t orientation)
{
    auto turn = [](PixPtr p, int quads) { return PixPtr(pixRotateOrth(p.get(), quads)); };
    switch (orientation) {
    case 2: return PixPtr(pixFlipLR(nullptr, pix.get()));
    case 3: return turn(std::move(pix), 2);
    case 4: return PixPtr(pixFlipTB(nullptr, pix.get()));
    case 5: pix = turn(std::move(pix), 1); return pix ? PixPtr(pixFlipLR(nullptr, pix.get())) : nullptr;
    case 6: return turn(std::move(pix), 1);
    case 7: pix = turn(std::move(pix), 1); return pix ? PixPtr(pixFlipTB(nullptr, pix.get())) : nullptr;
    case 8: return turn(std::move(pix), 3);
    default: return pix;
    }
}

void prepareLibraries()
{
    static std::once_flag once;
    std::call_once(once, [] {
        // Each recognition already runs on a pool thread of its own; OpenMP
        // threads inside it would only compete with the others.
        setenv("OMP_THREAD_LIMIT", "1", 0);
        setMsgSeverity(L_SEVERITY_NONE); // leptonica's complaints about bad files
    });
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

std::optional<QString> recognizeImageText(const QString& path)
{
    prepareLibraries();
    const std::optional<QByteArray> bytes = readAttachmentFile(path);
    if (!bytes)
        return std::nullopt;
    const auto* data = reinterpret_cast<const l_uint8*>(bytes->constData());
    const auto size = size_t(bytes->size());
    l_int32 format = 0, width = 0, height = 0, bitsPerSample = 0, samples = 0, colormap = 0;
    if (pixReadHeaderMem(data, size, &format, &width, &height, &bitsPerSample, &samples, &colormap) != 0)
        return std::nullopt;
    if (width < 1 || height < 1 || int64_t(width) * int64_t(height) > maxImagePixels)
        return std::nullopt;
    PixPtr pix(pixReadMem(data, size));
    if (!pix)
        return std::nullopt;
    pix = upright(std::move(pix), imageOrientation(*bytes));
    if (!pix)
        return std::nullopt;

    tesseract::TessBaseAPI api;
    api.SetVariable("debug_file", "/dev/null");
    if (api.Init(nullptr, "eng") != 0)
        return std::nullopt;
    api.SetImage(pix.get());
    if (api.Recognize(nullptr) != 0)
        return std::nullopt;

    QStringList lines;
    std::unique_ptr<tesseract::ResultIterator> it(api.GetIterator());
    if (it) {
        do {
            std::unique_ptr<char[]> utf8(it->GetUTF8Text(tesseract::RIL_TEXTLINE));
            if (!utf8)
                continue;
            QString line = QString::fromUtf8(utf8.get());
            qsizetype end = line.size();
            while (end > 0 && (line[end - 1] == u'\n' || line[end - 1].isSpace()))
                --end;
            line.truncate(end);
            if (!line.isEmpty())
                lines.append(line);
        } while (it->Next(tesseract::RIL_TEXTLINE));
    }
    api.End();
    return lines.join(QLatin1Char('\n'));
}

} // namespace cvn

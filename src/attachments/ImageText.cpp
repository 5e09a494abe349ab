// Text recognition over tesseract and leptonica; the only file that knows
// either library.
#include "attachments/ImageText.h"

#include "attachments/AttachmentText.h"

#include <allheaders.h>
#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

#include <QStringList>

#include <memory>
#include <mutex>

namespace cvn {

namespace {

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
    // No OMP_THREAD_LIMIT here: the OpenMP runtime reads it once when it is
    // loaded, and the same runtime runs llama.cpp's threads.
    std::call_once(once, [] {
        setMsgSeverity(L_SEVERITY_NONE); // leptonica's complaints about bad files
    });
}

} // namespace

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
            while (end > 0 && line[end - 1].isSpace())
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

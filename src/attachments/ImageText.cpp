// Text recognition over tesseract and leptonica; the only file that knows
// either library.
#include "platform/Utf8Decoder.h"
#include "attachments/ImageText.h"

#include "attachments/AttachmentText.h"

#include <allheaders.h>
#include <tesseract/baseapi.h>
#include <tesseract/ocrclass.h>
#include <tesseract/resultiterator.h>

#include <QStringList>

#include <algorithm>
#include <cmath>
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

// The picture scaled down to at most maxRecognitionPixels, or as it is when
// it holds no more. Two-colour pictures become grey, so that thin strokes
// are averaged rather than dropped.
PixPtr atMostRecognitionSize(PixPtr pix)
{
    const int width = pixGetWidth(pix.get());
    const int height = pixGetHeight(pix.get());
    const int64_t pixels = int64_t(width) * height;
    if (pixels <= maxRecognitionPixels)
        return pix;
    // Leptonica rounds each side to the nearest pixel; a pixel less on the
    // shorter side keeps both sides from rounding up past the limit.
    const auto scale = float(std::sqrt(double(maxRecognitionPixels) / double(pixels)) - 1.0 / std::min(width, height));
    return PixPtr(pixGetDepth(pix.get()) == 1 ? pixScaleToGray(pix.get(), scale) : pixScale(pix.get(), scale, scale));
}

// Asked by the recogniser between words.
bool shouldCancel(void* data, int)
{
    return (*static_cast<const ReadingStop*>(data))();
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

std::optional<QString> recognizeImageText(const QString& path, const ReadingStop& givenStop, QSize* recognisedSize)
{
    if (recognisedSize)
        *recognisedSize = QSize();
    const ReadingStop stop = givenStop ? givenStop : readingDeadline();
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
    pix = atMostRecognitionSize(std::move(pix));
    if (pix)
        pix = upright(std::move(pix), imageOrientation(*bytes));
    if (!pix)
        return std::nullopt;

    tesseract::TessBaseAPI api;
    api.SetVariable("debug_file", "/dev/null");
    if (api.Init(nullptr, "eng") != 0)
        return std::nullopt;
    // The library reads the whole picture as one block of text unless told
    // otherwise, where its command-line tool finds the page's layout first:
    // beside a photograph or noise, one block drowns the words in guesses.
    api.SetPageSegMode(tesseract::PSM_AUTO);
    api.SetImage(pix.get());
    if (recognisedSize)
        *recognisedSize = QSize(pixGetWidth(pix.get()), pixGetHeight(pix.get()));
    // Recognition begins with a layout analysis that never asks the monitor:
    // a stop that came while the picture was decoded is seen here, before it.
    if (stop())
        return std::nullopt;
    tesseract::ETEXT_DESC monitor;
    monitor.cancel = &shouldCancel;
    monitor.cancel_this = const_cast<ReadingStop*>(&stop);
    // A cancelled recognition fails; should it finish the last word anyway,
    // its text is as unwanted.
    if (api.Recognize(&monitor) != 0 || stop())
        return std::nullopt;

    QStringList lines;
    std::unique_ptr<tesseract::ResultIterator> it(api.GetIterator());
    if (it) {
        do {
            std::unique_ptr<char[]> utf8(it->GetUTF8Text(tesseract::RIL_TEXTLINE));
            if (!utf8)
                continue;
            QString line = Utf8Decoder::decode(utf8.get());
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

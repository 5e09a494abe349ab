#include "engine/VisionImage.h"

#include "engine/LlamaModel.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QImage>
#include <QImageReader>
#include <QtEndian>

#include <list>
#include <mutex>
#include <optional>

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

// A prompt is tokenized several times on its way (each turn alone for the
// cut, then whole), and every turn of a chat sends its images again: the
// last few decoded images are kept, so a photo is decoded once rather than
// at every call. Keyed by the file's bytes, which the turns share.
struct DecodedCache {
    static constexpr size_t maxEntries = 8;
    static constexpr qsizetype maxBytes = 96LL << 20;

    std::mutex lock;
    std::list<std::pair<QByteArray, VisionImage>> entries; // newest first

    std::optional<VisionImage> find(const QByteArray& data)
    {
        std::lock_guard guard(lock);
        for (auto it = entries.begin(); it != entries.end(); ++it) {
            if (it->first.isSharedWith(data) || it->first == data) {
                entries.splice(entries.begin(), entries, it);
                return entries.front().second;
            }
        }
        return std::nullopt;
    }
    void keep(const QByteArray& data, const VisionImage& image)
    {
        std::lock_guard guard(lock);
        entries.emplace_front(data, image);
        qsizetype bytes = 0;
        for (auto it = entries.begin(); it != entries.end();) {
            bytes += it->second.rgb.size();
            const auto at = size_t(std::distance(entries.begin(), it));
            if (at > 0 && (at >= maxEntries || bytes > maxBytes))
                it = entries.erase(it);
            else
                ++it;
        }
    }
};

DecodedCache& decodedCache()
{
    static DecodedCache cache;
    return cache;
}

} // namespace

VisionImage VisionImage::decode(const ChatImage& image)
{
    if (std::optional<VisionImage> known = decodedCache().find(image.data))
        return *std::move(known);
    VisionImage out = decodeUncached(image);
    decodedCache().keep(image.data, out);
    return out;
}

VisionImage VisionImage::decodeUncached(const ChatImage& image)
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

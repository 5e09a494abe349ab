#include "attachments/ZipReader.h"

#include <zlib.h>

#include <limits>

namespace cvn {

namespace {

constexpr uint32_t endOfDirectorySignature = 0x06054B50;
constexpr uint32_t centralEntrySignature = 0x02014B50;
constexpr uint32_t localHeaderSignature = 0x04034B50;
constexpr int64_t endRecordSize = 22;
constexpr int64_t maxCommentSize = 65535;
constexpr int64_t centralEntrySize = 46;
constexpr int64_t localHeaderSize = 30;

// DEFLATE cannot expand data by more than about 1032:1 (a 258-byte match in
// two bits); the slack covers the block headers of tiny streams.
constexpr int64_t maxDeflateRatio = 1032;
constexpr int64_t deflateSlack = 1024;

// Whether [offset, offset + count) lies inside `length`; written so that
// nothing overflows whatever the archive declares.
bool fits(int64_t length, int64_t offset, int64_t count)
{
    return offset >= 0 && count >= 0 && offset <= length && count <= length - offset;
}

} // namespace

uint16_t readU16LE(QByteArrayView bytes, int64_t offset)
{
    if (!fits(bytes.size(), offset, 2))
        return 0;
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data()) + offset;
    return uint16_t(p[0] | (p[1] << 8));
}

uint32_t readU32LE(QByteArrayView bytes, int64_t offset)
{
    if (!fits(bytes.size(), offset, 4))
        return 0;
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data()) + offset;
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

std::optional<int64_t> zipFindEndOfCentralDirectory(QByteArrayView bytes)
{
    const int64_t length = bytes.size();
    if (length < endRecordSize)
        return std::nullopt;
    const int64_t lowest = std::max<int64_t>(0, length - endRecordSize - maxCommentSize);
    for (int64_t p = length - endRecordSize; p >= lowest; --p) {
        if (readU32LE(bytes, p) == endOfDirectorySignature)
            return p;
    }
    return std::nullopt;
}

std::optional<QByteArray> inflateRawDeflate(QByteArrayView compressed, int64_t size)
{
    if (size < 1)
        return QByteArray();
    if (size > maxZipEntryBytes || size > maxDeflateRatio * int64_t(compressed.size()) + deflateSlack)
        return std::nullopt;

    QByteArray out(qsizetype(size), Qt::Uninitialized);
    z_stream stream {};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK)
        return std::nullopt;
    // zlib counts in uInt; both sides are far below its range here except the
    // input, which is fed in slices.
    const auto* in = reinterpret_cast<const Bytef*>(compressed.data());
    int64_t inLeft = compressed.size();
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = uInt(size);
    int status = Z_OK;
    while (status == Z_OK) {
        if (stream.avail_in == 0 && inLeft > 0) {
            const auto slice = uInt(std::min<int64_t>(inLeft, std::numeric_limits<uInt>::max()));
            stream.next_in = const_cast<Bytef*>(in);
            stream.avail_in = slice;
            in += slice;
            inLeft -= slice;
        }
        if (stream.avail_out == 0)
            break;
        // Z_BUF_ERROR (no progress: the input ran out) ends the loop too.
        status = inflate(&stream, Z_NO_FLUSH);
    }
    const bool ended = status == Z_STREAM_END;
    const bool filled = stream.avail_out == 0;
    inflateEnd(&stream);
    // A stream that still had output when the buffer was full is accepted,
    // cut to the declared size; one that ends short, or fails, is not.
    if (!filled || (!ended && status != Z_OK && status != Z_BUF_ERROR))
        return std::nullopt;
    return out;
}

std::optional<QByteArray> zipEntryData(const QString& name, QByteArrayView archive)
{
    const int64_t length = archive.size();
    const std::optional<int64_t> end = zipFindEndOfCentralDirectory(archive);
    if (!end)
        return std::nullopt;
    const int entryCount = readU16LE(archive, *end + 10);
    int64_t p = readU32LE(archive, *end + 16);
    // Compared as bytes, so no entry name is decoded on the way.
    const QByteArray wanted = name.toUtf8();

    bool found = false;
    uint16_t method = 0;
    int64_t compressedSize = 0;
    int64_t uncompressedSize = 0;
    int64_t localOffset = 0;
    for (int i = 0; i < entryCount; ++i) {
        if (!fits(length, p, centralEntrySize) || readU32LE(archive, p) != centralEntrySignature)
            return std::nullopt;
        const int64_t nameLength = readU16LE(archive, p + 28);
        const int64_t extraLength = readU16LE(archive, p + 30);
        const int64_t commentLength = readU16LE(archive, p + 32);
        if (!fits(length, p + centralEntrySize, nameLength))
            return std::nullopt;
        if (archive.sliced(p + centralEntrySize, nameLength) == wanted) {
            found = true;
            method = readU16LE(archive, p + 10);
            compressedSize = readU32LE(archive, p + 20);
            uncompressedSize = readU32LE(archive, p + 24);
            localOffset = readU32LE(archive, p + 42);
            break;
        }
        p += centralEntrySize + nameLength + extraLength + commentLength;
    }
    if (!found)
        return std::nullopt;

    if (!fits(length, localOffset, localHeaderSize) || readU32LE(archive, localOffset) != localHeaderSignature)
        return std::nullopt;
    const int64_t start = localOffset + localHeaderSize + readU16LE(archive, localOffset + 26)
        + readU16LE(archive, localOffset + 28);
    if (!fits(length, start, compressedSize))
        return std::nullopt;
    const QByteArrayView data = archive.sliced(start, compressedSize);
    switch (method) {
    case 0:
        // The central size must agree: a stored entry cannot change length.
        if (uncompressedSize != compressedSize)
            return std::nullopt;
        return data.toByteArray();
    case 8:
        return inflateRawDeflate(data, uncompressedSize);
    default:
        return std::nullopt;
    }
}

} // namespace cvn

#include "platform/NativePath.h"

#include "platform/Utf8Decoder.h"

namespace cvn {

namespace {

constexpr char16_t kFirstEscape = 0xDC80;
constexpr char16_t kLastEscape = 0xDCFF;

std::string_view view(QByteArrayView bytes)
{
    return {bytes.data(), size_t(bytes.size())};
}

} // namespace

QString pathFromNative(QByteArrayView bytes)
{
    QString path;
    path.reserve(bytes.size());
    qsizetype validFrom = 0;
    qsizetype i = 0;
    while (i < bytes.size()) {
        const qsizetype length = Utf8Decoder::wellFormedLength(bytes.sliced(i));
        if (length > 0) {
            i += length;
            continue;
        }
        path += Utf8Decoder::decode(view(bytes.sliced(validFrom, i - validFrom)));
        path += QChar(char16_t(0xDC00 + static_cast<unsigned char>(bytes[i])));
        validFrom = ++i;
    }
    // Not QString::fromUtf8: it would drop a name's leading U+FEFF as a
    // byte-order mark.
    path += Utf8Decoder::decode(view(bytes.sliced(validFrom)));
    return path;
}

QByteArray nativePath(const QString& path)
{
    QByteArray bytes;
    bytes.reserve(path.size());
    qsizetype validFrom = 0;
    for (qsizetype i = 0; i < path.size(); ++i) {
        const char16_t unit = path[i].unicode();
        if (QChar::isHighSurrogate(unit) && i + 1 < path.size() && QChar::isLowSurrogate(path[i + 1].unicode())) {
            ++i; // a pair: a character of its own, never an escaped byte
            continue;
        }
        if (const std::optional<unsigned char> byte = escapedByte(unit)) {
            bytes += QStringView(path).sliced(validFrom, i - validFrom).toUtf8();
            bytes += char(*byte);
            validFrom = i + 1;
        }
    }
    bytes += QStringView(path).sliced(validFrom).toUtf8();
    return bytes;
}

std::optional<unsigned char> escapedByte(char16_t unit)
{
    if (unit < kFirstEscape || unit > kLastEscape)
        return std::nullopt;
    return static_cast<unsigned char>(unit - 0xDC00);
}

} // namespace cvn

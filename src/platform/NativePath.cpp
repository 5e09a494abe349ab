#include "platform/NativePath.h"

namespace cvn {

namespace {

constexpr char16_t kFirstEscape = 0xDC80;
constexpr char16_t kLastEscape = 0xDCFF;

// The length of the well-formed UTF-8 sequence at the start of `bytes`
// (which is not empty), or 0 when it is not one: the byte ranges of the
// Unicode standard's table 3-7, so overlong forms, surrogates and code
// points above U+10FFFF are all refused.
qsizetype sequenceLength(QByteArrayView bytes)
{
    const auto at = [&](qsizetype i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char lead = at(0);
    if (lead < 0x80)
        return 1;
    qsizetype length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (bytes.size() < length || at(1) < low || at(1) > high)
        return 0;
    for (qsizetype i = 2; i < length; ++i) {
        if ((at(i) & 0xC0) != 0x80)
            return 0;
    }
    return length;
}

} // namespace

QString pathFromNative(QByteArrayView bytes)
{
    QString path;
    path.reserve(bytes.size());
    qsizetype validFrom = 0;
    qsizetype i = 0;
    while (i < bytes.size()) {
        const qsizetype length = sequenceLength(bytes.sliced(i));
        if (length > 0) {
            i += length;
            continue;
        }
        path += QString::fromUtf8(bytes.sliced(validFrom, i - validFrom));
        path += QChar(char16_t(0xDC00 + static_cast<unsigned char>(bytes[i])));
        validFrom = ++i;
    }
    path += QString::fromUtf8(bytes.sliced(validFrom));
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

#include "platform/Utf8Decoder.h"

namespace cvn {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

// Sequence length for a lead byte, or 0 when it cannot start a sequence.
int sequenceLength(unsigned char b)
{
    if (b < 0x80)
        return 1;
    if (b >= 0xC2 && b <= 0xDF)
        return 2;
    if (b >= 0xE0 && b <= 0xEF)
        return 3;
    if (b >= 0xF0 && b <= 0xF4)
        return 4;
    return 0;
}

// The allowed range of the first continuation byte after `lead`
// (excludes overlongs, surrogates and code points above U+10FFFF).
bool firstContinuationOk(unsigned char lead, unsigned char b)
{
    switch (lead) {
    case 0xE0: return b >= 0xA0 && b <= 0xBF;
    case 0xED: return b >= 0x80 && b <= 0x9F;
    case 0xF0: return b >= 0x90 && b <= 0xBF;
    case 0xF4: return b >= 0x80 && b <= 0x8F;
    default: return b >= 0x80 && b <= 0xBF;
    }
}

// UTF-16 units written directly: QString::fromUcs4 takes a lone U+FEFF for
// a byte-order mark and drops it, and a decoder may change invalid bytes only.
void appendCodePoint(QString& out, char32_t cp)
{
    if (QChar::requiresSurrogates(cp)) {
        out.append(QChar(QChar::highSurrogate(cp)));
        out.append(QChar(QChar::lowSurrogate(cp)));
    } else {
        out.append(QChar(char16_t(cp)));
    }
}

// Decodes `data`; returns how many bytes at the end form an incomplete but
// valid-so-far sequence (left undecoded when `holdTail` is set).
qsizetype decodeInto(QString& out, const unsigned char* data, qsizetype n, bool holdTail)
{
    qsizetype i = 0;
    while (i < n) {
        const unsigned char lead = data[i];
        const int len = sequenceLength(lead);
        if (len == 1) {
            out.append(QChar(char16_t(lead)));
            ++i;
            continue;
        }
        if (len == 0) {
            out.append(QChar(kReplacement));
            ++i;
            continue;
        }
        char32_t cp = lead & (0xFF >> (len + 1));
        int k = 1;
        bool broken = false;
        for (; k < len; ++k) {
            if (i + k >= n) {
                // Ran out of bytes inside a sequence that is valid so far.
                if (holdTail)
                    return n - i;
                out.append(QChar(kReplacement));
                return 0;
            }
            const unsigned char b = data[i + k];
            const bool ok = (k == 1) ? firstContinuationOk(lead, b) : (b >= 0x80 && b <= 0xBF);
            if (!ok) {
                broken = true;
                break;
            }
            cp = (cp << 6) | (b & 0x3F);
        }
        if (broken) {
            out.append(QChar(kReplacement));
            i += k; // the maximal subpart; the offending byte is read again
            continue;
        }
        appendCodePoint(out, cp);
        i += len;
    }
    return 0;
}

} // namespace

QString Utf8Decoder::push(std::string_view bytes)
{
    m_pending.append(bytes.data(), qsizetype(bytes.size()));
    QString out;
    out.reserve(m_pending.size());
    const qsizetype held = decodeInto(out, reinterpret_cast<const unsigned char*>(m_pending.constData()),
                                      m_pending.size(), true);
    m_pending = m_pending.right(held);
    return out;
}

qsizetype Utf8Decoder::wellFormedLength(QByteArrayView bytes)
{
    if (bytes.isEmpty())
        return 0;
    const auto at = [&](qsizetype i) { return static_cast<unsigned char>(bytes[i]); };
    const int length = sequenceLength(at(0));
    if (length == 0 || bytes.size() < length || (length > 1 && !firstContinuationOk(at(0), at(1))))
        return 0;
    for (qsizetype i = 2; i < length; ++i) {
        if (at(i) < 0x80 || at(i) > 0xBF)
            return 0;
    }
    return length;
}

QString Utf8Decoder::decode(std::string_view bytes)
{
    QString out;
    out.reserve(qsizetype(bytes.size()));
    decodeInto(out, reinterpret_cast<const unsigned char*>(bytes.data()), qsizetype(bytes.size()), false);
    return out;
}

} // namespace cvn

#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <string_view>

namespace cvn {

// Streaming UTF-8 decoder for text that arrives in arbitrary byte slices.
//
// Each push() returns the text of the longest complete prefix of everything
// received so far. Only an incomplete but so far valid trailing sequence (at
// most three bytes) is held back for the next push. Invalid bytes become
// U+FFFD, one per maximal ill-formed subpart, and never block later text.
class Utf8Decoder {
public:
    QString push(std::string_view bytes);

    // Bytes held back, waiting for the rest of their character.
    const QByteArray& pending() const { return m_pending; }

    // Drops the held-back bytes.
    void reset() { m_pending.clear(); }

    // Decodes a whole buffer; an incomplete sequence at the end becomes one
    // U+FFFD.
    static QString decode(std::string_view bytes);

    // The length of the well-formed UTF-8 sequence at the start of `bytes`,
    // or 0 when none starts there (an empty view, a stray continuation byte,
    // an overlong form, a surrogate, a code point above U+10FFFF, or a
    // sequence cut short).
    static qsizetype wellFormedLength(QByteArrayView bytes);

private:
    QByteArray m_pending;
};

} // namespace cvn

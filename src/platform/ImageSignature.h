#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

namespace cvn {

// The kinds of image the program takes, told by the signature their bytes
// start with rather than by a file's name or a sender's word: Qt reads more
// (SVG among them, which opens the local files it names), so every decode
// of an image from outside is held to these.
struct ImageSignature {
    // Qt's format name of the image `bytes` hold ("png", "jpeg", "gif",
    // "webp" or "bmp"); empty for anything else.
    static QByteArray formatOf(QByteArrayView bytes);
    // Its MIME type ("image/png", ...); empty for anything else.
    static QString mimeTypeOf(QByteArrayView bytes);
    // The kinds, as a sentence names them.
    static QString kindsText() { return QStringLiteral("PNG, JPEG, WebP, GIF or BMP"); }
    // Whether JPEG bytes end their last scan: libjpeg fills the rows of a
    // file cut short with gray and calls it a warning, so Qt hands back the
    // half picture. The entropy-coded data never holds the end marker (a
    // 0xFF there is followed by 0x00), so a whole file has one after its
    // last scan's start.
    static bool jpegEnds(QByteArrayView bytes);
};

} // namespace cvn

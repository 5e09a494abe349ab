#pragma once

// An attached image made ready for a vision encoder: decoded by Qt (EXIF
// orientation applied, WebP through the image-formats plugin), checked
// against the pixel cap before anything is allocated, scaled down past the
// longest side the encoders are shown, and packed as RGB. Only the formats
// whose signature the bytes carry are decoded: PNG, JPEG, WebP, GIF and BMP.
// Plain functions of the bytes, callable on any thread.

#include "engine/ChatMessage.h"

#include <QByteArray>
#include <QString>

#include <cstdint>

namespace cvn {

struct VisionImage {
    // More pixels than this, by the file's own header, is refused unread: a
    // small file can claim a huge picture.
    static constexpr int64_t maxPixels = 64LL * 1000 * 1000;
    // A longer side is scaled down to this, its aspect kept.
    static constexpr int maxSide = 2048;
    // How the pixels and their hash are made from the bytes: raised with
    // any change to it, so that the image facts stored with a chat before
    // (LlamaModel::imageFactsKey) are learnt again rather than trusted.
    static constexpr int pixelsVersion = 1;

    int width = 0;
    int height = 0;
    QByteArray rgb; // width * height * 3 bytes, rows packed
    // A hash of the pixels and the size: equal images, whatever their
    // files, have equal ones.
    uint64_t hash = 0;

    // Throws ImageError (engine/LlamaModel.h) with the user's sentence:
    // "too large" where a limit refused it, a lack of memory where an
    // allocation failed, "damaged or not an image" for the rest.
    static VisionImage decode(const ChatImage& image);

    // The Qt format name ("png", "jpeg", "webp", "gif", "bmp") whose
    // signature the bytes start with; empty for any other.
    static QByteArray formatOf(const QByteArray& data);
};

} // namespace cvn

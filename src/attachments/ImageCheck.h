#pragma once

#include <QByteArrayView>
#include <QString>

#include <optional>

namespace cvn {

// Why an image's bytes cannot be sent, as the toast says it ("Format not
// supported: ...", "Image too large: ...", "Couldn't read image: ..."), or
// nothing when they can: they are one of the kinds ImageSignature names
// (decoded as that kind alone, never as whatever Qt would guess), claim at
// most maxImagePixels, and decode whole. An image that passes here is one
// the model can be shown later, so a broken file never reaches a chat.
// Decodes the picture at most 2,048 pixels on its longer side; slow for a
// large photo, so the stager asks it on its background pool.
std::optional<QString> imageRefusal(QByteArrayView bytes, const QString& name);

} // namespace cvn

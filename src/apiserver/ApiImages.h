#pragma once

// The images a request's messages carry, as `image_url` content parts. Only
// the image itself is taken, as a data URI or plain base64: the server runs
// for programs on this computer and fetches nothing on their behalf. The
// bytes are checked to be an image by their first bytes; their pixels are
// decoded where a model sees them.

#include "apiserver/ApiMessages.h"

#include <QJsonObject>
#include <QString>

#include <optional>

namespace cvn::api {

// The sentence a request with images for a model that sees none is refused with.
inline const QString kTakesNoImages = QStringLiteral("this model does not take images");

// Reads the `image_url` part `part`, found at `where` (e.g.
// "messages[0].content[1]"), into `image`, named "image-N.EXT" after its
// number `number` in the request and the kind of image its bytes are.
std::optional<ApiError> readImagePart(const QJsonObject& part, const QString& where, int number, ChatImage& image);

// Whether any message of the ask carries an image.
bool hasImages(const ReplyAsk& ask);

} // namespace cvn::api

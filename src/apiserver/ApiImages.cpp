#include "apiserver/ApiImages.h"

#include "platform/ImageSignature.h"

#include <QJsonValue>
#include <QUrl>


namespace cvn::api {

namespace {

ApiError refused(const QString& message)
{
    return ApiError{400, message, QStringLiteral("invalid_request_error"), QStringLiteral("messages"), {}};
}

// The file extension of the kind of image `bytes` holds, by its signature;
// empty for anything else.
QString imageKind(const QByteArray& bytes)
{
    const QByteArray format = ImageSignature::formatOf(bytes);
    return format == "jpeg" ? QStringLiteral("jpg") : QString::fromLatin1(format);
}

// Strict base64, standard or URL-safe alphabet; lines wrapped by tools such
// as base64(1) are joined first.
std::optional<QByteArray> fromBase64(QByteArray text)
{
    text.removeIf([](char c) { return c == '\n' || c == '\r' || c == ' ' || c == '\t'; });
    if (text.isEmpty())
        return std::nullopt;
    const bool urlSafe = text.contains('-') || text.contains('_');
    QByteArray::FromBase64Result decoded = QByteArray::fromBase64Encoding(
        text, (urlSafe ? QByteArray::Base64UrlEncoding : QByteArray::Base64Encoding)
                  | QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return std::nullopt;
    return std::move(decoded.decoded);
}

} // namespace

std::optional<ApiError> readImagePart(const QJsonObject& part, const QString& where, int number, ChatImage& image)
{
    const QJsonValue url = part.value(QLatin1String("image_url")).toObject().value(QLatin1String("url"));
    if (!url.isString() || url.toString().isEmpty())
        return refused(QStringLiteral("The image at %1 has no 'image_url' with a 'url'.").arg(where));
    // Read as Latin-1: a base64 text is ASCII, and anything else is refused
    // below by its characters.
    const QByteArray text = url.toString().toLatin1();

    QByteArray encoded;
    if (text.left(5).toLower() == "data:") { // a scheme's case does not count
        const qsizetype comma = text.indexOf(',');
        const QByteArray head = comma < 0 ? text : text.left(comma);
        const QByteArray mime = head.mid(5).split(';').first().trimmed().toLower();
        if (!mime.startsWith("image/"))
            return refused(QStringLiteral("The image at %1 is not an image: its data URI says '%2'.")
                               .arg(where, QString::fromLatin1(mime.isEmpty() ? "text/plain" : mime)));
        if (comma < 0 || !head.toLower().endsWith(";base64"))
            return refused(QStringLiteral("The image at %1 must be a base64 data URI (data:%2;base64,...).")
                               .arg(where, QString::fromLatin1(mime)));
        encoded = text.mid(comma + 1);
    } else if (text.contains(':')) {
        // A scheme, which base64 never holds: http(s), file and the like.
        const QString scheme = QUrl(url.toString()).scheme();
        return refused(
            QStringLiteral("The image at %1 is a %2 URL, and the local server fetches nothing: send the image as "
                           "a data URI or base64.")
                .arg(where, scheme.isEmpty() ? QStringLiteral("non-data") : scheme));
    } else {
        encoded = text;
    }

    const std::optional<QByteArray> bytes = fromBase64(encoded);
    if (!bytes)
        return refused(QStringLiteral("The image at %1 is not valid base64.").arg(where));
    const QString kind = imageKind(*bytes);
    if (kind.isEmpty())
        return refused(QStringLiteral("The image at %1 is not a PNG, JPEG, WebP, GIF or BMP image.").arg(where));
    image = ChatImage{QStringLiteral("image-%1.%2").arg(number).arg(kind), *bytes};
    return std::nullopt;
}

bool hasImages(const ReplyAsk& ask)
{
    for (const ChatMessage& message : ask.messages)
        if (!message.images.isEmpty())
            return true;
    return false;
}

} // namespace cvn::api

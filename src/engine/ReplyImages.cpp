#include "engine/ReplyImages.h"

#include "engine/LlamaModel.h"

#include <QRegularExpression>

namespace cvn {

QString ReplyImages::replaceMarkers(const QString& content, const std::function<QString(int)>& replace)
{
    // imageMarker(k) with its index cut off, as a pattern for any index.
    const QString sample = LlamaModel::imageMarker(0);
    const QString prefix = sample.left(sample.size() - 4);
    static const QRegularExpression marker(QRegularExpression::escape(prefix) + QStringLiteral("(\\d{1,6})__>"));
    QString out;
    qsizetype from = 0;
    for (auto it = marker.globalMatch(content); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        out += QStringView(content).mid(from, match.capturedStart() - from);
        from = match.capturedEnd();
        out += replace(match.captured(1).toInt());
    }
    out += QStringView(content).mid(from);
    return out;
}

QList<ChatImage> ReplyImages::gather(QList<ChatMessage>& messages)
{
    QList<ChatImage> all;
    for (ChatMessage& message : messages) {
        const auto first = int(all.size());
        QList<bool> placed(message.images.size(), false);
        // A marker of an image the message lacks is dropped: it would stand
        // for another message's image once renumbered.
        const QString content = replaceMarkers(message.content, [&](int index) {
            if (index >= message.images.size())
                return QString();
            placed[index] = true;
            return LlamaModel::imageMarker(first + index);
        });
        QString missing;
        for (qsizetype k = 0; k < message.images.size(); ++k)
            if (!placed[k])
                missing += LlamaModel::imageMarker(first + int(k));
        message.content = missing + content;
        all += message.images;
    }
    return all;
}

} // namespace cvn

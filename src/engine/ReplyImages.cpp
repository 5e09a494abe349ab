#include "engine/ReplyImages.h"

#include "engine/LlamaModel.h"

#include <QRegularExpression>

namespace cvn {

QList<ChatImage> ReplyImages::gather(QList<ChatMessage>& messages)
{
    QList<ChatImage> all;
    // imageMarker(k) with its index cut off, as a pattern for any index.
    const QString sample = LlamaModel::imageMarker(0);
    const QString prefix = sample.left(sample.size() - 4);
    const QRegularExpression marker(QRegularExpression::escape(prefix) + QStringLiteral("(\\d{1,6})__>"));
    for (ChatMessage& message : messages) {
        const auto first = int(all.size());
        QList<bool> placed(message.images.size(), false);
        QString content;
        qsizetype from = 0;
        for (auto it = marker.globalMatch(message.content); it.hasNext();) {
            const QRegularExpressionMatch match = it.next();
            const int index = match.captured(1).toInt();
            content += QStringView(message.content).mid(from, match.capturedStart() - from);
            from = match.capturedEnd();
            // A marker of an image the message lacks is dropped: it would
            // stand for another message's image once renumbered.
            if (index < message.images.size()) {
                content += LlamaModel::imageMarker(first + index);
                placed[index] = true;
            }
        }
        content += QStringView(message.content).mid(from);
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

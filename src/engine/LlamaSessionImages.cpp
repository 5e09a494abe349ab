#include "engine/LlamaSessionImages.h"

#include "engine/LlamaModel.h"
// The block format alone (inline constants): the chat's messages are
// written in it, and the engine takes the blocks of images back out.
#include "storage/AttachmentBlocks.h"

#include <algorithm>
#include <utility>

namespace cvn::SessionImages {

namespace {

QString blockName(QString name)
{
    return name.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
}

// Renumbers each message's markers to the conversation's places and puts
// the missing ones at its start; returns the conversation's images.
QList<ChatImage> gatherMessages(QList<ChatMessage>& messages)
{
    QList<ChatImage> all;
    for (ChatMessage& message : messages) {
        const qsizetype base = all.size();
        QString missing;
        // From the last down, so that no marker renumbered upwards is
        // taken for one still to renumber.
        for (qsizetype k = message.images.size() - 1; k >= 0; --k) {
            const QString own = LlamaModel::imageMarker(int(k));
            const QString placed = LlamaModel::imageMarker(int(base + k));
            if (message.content.contains(own))
                message.content.replace(own, placed);
            else
                missing.prepend(placed);
        }
        message.content.prepend(missing);
        all += message.images;
    }
    return all;
}

} // namespace

QString withoutImageBlocks(const QString& content, const QList<ChatImage>& images)
{
    using namespace AttachmentBlocks;
    if (images.isEmpty())
        return content;
    QStringList names;
    for (const ChatImage& image : images)
        names.append(blockName(image.name));
    QString kept;
    qsizetype rest = 0;
    while (QStringView(content).sliced(rest).startsWith(headerPrefix)) {
        const qsizetype nameStart = rest + headerPrefix.size();
        const qsizetype nameEnd = content.indexOf(headerEnd, nameStart);
        if (nameEnd < 0)
            break;
        const qsizetype body = nameEnd + headerEnd.size();
        qsizetype next = -1;
        if (const qsizetype end = content.indexOf(endLine, body); end >= 0)
            next = end + endLine.size();
        else if (const qsizetype cut = content.indexOf(truncationMarker, body); cut >= 0)
            next = cut + truncationMarker.size();
        if (next < 0)
            break;
        if (!names.contains(content.sliced(nameStart, nameEnd - nameStart)))
            kept += content.sliced(rest, next - rest);
        rest = next;
    }
    return kept + content.sliced(rest);
}

void fitForModel(QList<ChatMessage>& messages, bool seesImages)
{
    for (ChatMessage& message : messages) {
        if (message.images.isEmpty())
            continue;
        if (seesImages)
            message.content = withoutImageBlocks(message.content, message.images);
        else
            message.images.clear();
    }
}

void fitForModel(QList<ReplyPrompt::Message>& messages, bool seesImages)
{
    for (ReplyPrompt::Message& message : messages) {
        if (message.message.images.isEmpty())
            continue;
        if (seesImages)
            message.message.content = withoutImageBlocks(message.message.content, message.message.images);
        else
            message.message.images.clear();
    }
}

bool anyImages(const QList<ChatMessage>& messages)
{
    return std::any_of(messages.begin(), messages.end(),
                       [](const ChatMessage& message) { return !message.images.isEmpty(); });
}

QList<ChatImage> gather(QList<ReplyPrompt::Message>& messages)
{
    QList<ChatMessage> plain;
    plain.reserve(messages.size());
    for (const ReplyPrompt::Message& message : messages)
        plain.append(message.message);
    QList<ChatImage> images = gatherMessages(plain);
    for (qsizetype i = 0; i < messages.size(); ++i)
        messages[i].message = std::move(plain[i]);
    return images;
}

Marked markedIn(const QString& text, const QList<ChatImage>& images)
{
    struct Found {
        qsizetype at;
        qsizetype length;
        qsizetype image;
    };
    std::vector<Found> found;
    for (qsizetype i = 0; i < images.size(); ++i) {
        const QString marker = LlamaModel::imageMarker(int(i));
        if (const qsizetype at = text.indexOf(marker); at >= 0)
            found.push_back({at, marker.size(), i});
    }
    if (found.empty())
        return {text, {}};
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) { return a.at < b.at; });
    Marked marked;
    qsizetype from = 0;
    for (const Found& f : found) {
        marked.text += QStringView(text).sliced(from, f.at - from);
        marked.text += LlamaModel::imageMarker(int(marked.images.size()));
        marked.images.append(images[f.image]);
        from = f.at + f.length;
    }
    marked.text += QStringView(text).sliced(from);
    return marked;
}

ReplyPrompt::Tokenizer tokenizer(const LlamaModel& model, const QList<ChatImage>& images)
{
    if (images.isEmpty())
        return [&model](const QString& text) { return model.tokenize(text.toStdString()); };
    return [&model, images](const QString& text) {
        const Marked marked = markedIn(text, images);
        if (marked.images.isEmpty())
            return model.tokenize(text.toStdString());
        return model.tokenize(marked.text.toStdString(), marked.images);
    };
}

} // namespace cvn::SessionImages

#include "engine/LlamaSessionImages.h"

#include "engine/LlamaModel.h"
#include "engine/ReplyImages.h"
// The chat's messages are written in the block format; the engine takes
// the blocks of images back out.
#include "turn/AttachmentBlocks.h"

#include <algorithm>
#include <utility>

namespace cvn::SessionImages {

namespace {

QString blockName(QString name)
{
    return name.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
}

} // namespace

QString withoutImageBlocks(const QString& content, const QList<ChatImage>& images)
{
    if (images.isEmpty())
        return content;
    QStringList names;
    for (const ChatImage& image : images)
        names.append(blockName(image.name));
    AttachmentBlocks::Split split = AttachmentBlocks::split(content);
    split.blocks.removeIf([&](const AttachmentBlocks::Block& block) { return names.contains(block.name); });
    return AttachmentBlocks::join(split.blocks, split.text);
}

QString unreadableNote(const ChatImage& image)
{
    return QStringLiteral("[The image \"%1\" could not be read.]").arg(blockName(image.name));
}

namespace {

// The images of an earlier message that the model can read; the others
// leave it, each marker of theirs becoming their note (or nothing, where
// their block stays), and the markers of the rest numbered afresh.
void dropUnreadable(ChatMessage& message, const LlamaModel& model)
{
    QList<ChatImage> kept;
    QList<int> newIndex;
    QString notes;
    QStringList blockNames;
    for (const AttachmentBlocks::Block& block : AttachmentBlocks::split(message.content).blocks)
        blockNames.append(block.name);
    for (const ChatImage& image : message.images) {
        if (!model.imageFailure(image)) {
            newIndex.append(int(kept.size()));
            kept.append(image);
            continue;
        }
        newIndex.append(-1);
        if (!blockNames.contains(blockName(image.name)))
            notes += unreadableNote(image) + QLatin1Char('\n');
    }
    if (kept.size() == message.images.size())
        return;
    const QString content = ReplyImages::replaceMarkers(message.content, [&](int index) {
        return index < newIndex.size() && newIndex[index] >= 0 ? LlamaModel::imageMarker(newIndex[index]) : QString();
    });
    message.content = notes + content;
    message.images = kept;
}

} // namespace

void fitForModel(QList<ReplyPrompt::Message>& messages, bool seesImages, const LlamaModel* model)
{
    qsizetype newest = messages.size() - 1;
    while (newest >= 0 && messages[newest].message.role != ChatMessage::Role::user)
        --newest;
    for (qsizetype i = 0; i < messages.size(); ++i) {
        ChatMessage& message = messages[i].message;
        if (message.images.isEmpty())
            continue;
        if (!seesImages) {
            message.images.clear();
            continue;
        }
        if (model && i < newest)
            dropUnreadable(message, *model);
        message.content = withoutImageBlocks(message.content, message.images);
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
    QList<ChatImage> images = ReplyImages::gather(plain);
    for (qsizetype i = 0; i < messages.size(); ++i)
        messages[i].message = std::move(plain[i]);
    return images;
}

QHash<QUuid, QList<ChatImage>> learntFacts(const LlamaModel& model, const QList<ReplyPrompt::Message>& messages)
{
    QHash<QUuid, QList<ChatImage>> learnt;
    for (const ReplyPrompt::Message& message : messages) {
        QList<ChatImage> images = message.message.images;
        bool changed = false;
        for (ChatImage& image : images) {
            const std::optional<ChatImage::Facts> known = model.knownFacts(image);
            if (known && known != image.facts) {
                image.facts = known;
                changed = true;
            }
        }
        if (changed)
            learnt.insert(message.id, std::move(images));
    }
    return learnt;
}

ReplyPrompt::Tokenizer tokenizer(const LlamaModel& model, const QList<ChatImage>& images)
{
    if (images.isEmpty())
        return [&model](const QString& text) { return model.tokenize(text.toStdString()); };
    // Any part of the prompt (a message alone, the prompt after its oldest
    // turns were left out) marks some of them by their place in the list.
    return [&model, images](const QString& text) { return model.tokenize(text.toStdString(), images); };
}

} // namespace cvn::SessionImages

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
    QList<ChatImage> images = ReplyImages::gather(plain);
    for (qsizetype i = 0; i < messages.size(); ++i)
        messages[i].message = std::move(plain[i]);
    return images;
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

#pragma once

// What a reply's prompt makes of the images in its messages, for the model
// that answers it. A chat's user message carries the OCR text of each image
// as an attachment block in its content, and the image itself beside it: a
// model that sees images gets the image, and the block named after it leaves
// the content; a model that does not keeps the blocks, and the images go.
// Plain functions; the tokenizer runs where the model's tokenizer may run
// (its queue).

#include "engine/ChatMessage.h"
#include "engine/ReplyPrompt.h"

#include <QList>
#include <QString>

namespace cvn {

class LlamaModel;

namespace SessionImages {

// `content` without its leading attachment blocks that are named like one
// of `images` (CR and LF in a name read as blanks, as the blocks write them).
QString withoutImageBlocks(const QString& content, const QList<ChatImage>& images);

// Every message as a model that does or does not see images takes it.
void fitForModel(QList<ReplyPrompt::Message>& messages, bool seesImages);
void fitForModel(QList<ChatMessage>& messages, bool seesImages);

// Whether any message carries an image.
bool anyImages(const QList<ChatMessage>& messages);

// Each message's images marked in its content by their place in the whole
// conversation (LlamaModel::imageMarker), where it marks none at its start;
// the conversation's images in that order.
QList<ChatImage> gather(QList<ReplyPrompt::Message>& messages);

// The text with the markers of `images` (by their place in that list) that
// it holds numbered afresh from 0 in their order in the text, and the images
// they mark in that order: any part of a prompt, a message alone or the
// prompt after its oldest turns were left out, as the model tokenizes it.
struct Marked {
    QString text;
    QList<ChatImage> images;
};
Marked markedIn(const QString& text, const QList<ChatImage>& images);

// The tokenizer of a prompt whose markers name `images`: text alone where
// it marks none. What tokenizing an image throws (ImageError) leaves it.
ReplyPrompt::Tokenizer tokenizer(const LlamaModel& model, const QList<ChatImage>& images);

} // namespace SessionImages

} // namespace cvn

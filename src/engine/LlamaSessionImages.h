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

#include <QHash>
#include <QList>
#include <QString>
#include <QUuid>

namespace cvn {

class LlamaModel;

namespace SessionImages {

// `content` without its leading attachment blocks that are named like one
// of `images` (CR and LF in a name read as blanks, as the blocks write them).
QString withoutImageBlocks(const QString& content, const QList<ChatImage>& images);

// Every message as a model that does or does not see images takes it.
// With `model` (on its queue), an image of a message before the newest
// user message that the model cannot read goes as its attachment block, or
// a short note where it has none: one bad image does not fail every later
// reply of its chat.
void fitForModel(QList<ReplyPrompt::Message>& messages, bool seesImages, const LlamaModel* model = nullptr);

// The note that stands for an image that could not be read and left no text.
QString unreadableNote(const ChatImage& image);

// Whether any message carries an image.
bool anyImages(const QList<ChatMessage>& messages);

// ReplyImages::gather over the messages of a reply.
QList<ChatImage> gather(QList<ReplyPrompt::Message>& messages);

// What `model` learnt of the messages' images that their stored facts
// lack (none stored, or another projector's): for each message with such
// an image, by its bubble, its whole image list with the facts the model
// knows put in. An image the model never learnt is left as it was; none
// is decoded here. On the model's queue, once its prompt is made.
QHash<QUuid, QList<ChatImage>> learntFacts(const LlamaModel& model, const QList<ReplyPrompt::Message>& messages);

// The tokenizer of a prompt whose markers name `images`: text alone where
// it marks none. What tokenizing an image throws (ImageError) leaves it.
ReplyPrompt::Tokenizer tokenizer(const LlamaModel& model, const QList<ChatImage>& images);

} // namespace SessionImages

} // namespace cvn

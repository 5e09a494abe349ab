#pragma once

// A conversation's images as one list for the prompt. In a message's
// content, the k-th image of that message may stand where its text puts
// LlamaModel::imageMarker(k); a message with images but no marker for some
// has them at its start. gather() renumbers each message's markers to the
// image's place in the whole conversation (the list it returns, which
// LlamaModel::tokenize takes with the rendered prompt) and puts the missing
// ones first in their message.

#include "engine/ChatMessage.h"

#include <QList>

#include <functional>

namespace cvn {

class ReplyImages {
public:
    static QList<ChatImage> gather(QList<ChatMessage>& messages);
    // `content` with each LlamaModel::imageMarker(k) in it replaced by
    // `replace(k)`.
    static QString replaceMarkers(const QString& content, const std::function<QString(int)>& replace);
};

} // namespace cvn

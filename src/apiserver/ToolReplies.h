#pragma once

// The reply to a request with tools read back into what the API sends: its
// content, its reasoning and the calls it makes, as llama.cpp's chat code
// parses the model's own format. Whole, or while it streams as the deltas
// the official clients join.

#include "engine/ChatMessage.h"
#include "engine/ServedRequest.h"

#include <QJsonObject>
#include <QList>
#include <QString>

#include <memory>

namespace cvn::api {

class ToolReplyReader {
public:
    explicit ToolReplyReader(const ReplySyntax& syntax);
    ~ToolReplyReader();

    struct Message {
        QString content;
        QString reasoning;
        QList<ToolCall> calls;
    };
    // A whole reply. Text that does not follow the format is content.
    Message read(const QString& text);

    // A streamed reply, its next pieces: the chunk deltas they add to what
    // was sent. A call goes out with its id and name once, then its
    // arguments as they grow.
    QList<QJsonObject> feed(const QString& pieces);
    // Once the reply is whole: its last deltas.
    QList<QJsonObject> finish();
    bool madeCalls() const;

private:
    struct State;
    std::unique_ptr<State> d;
};

} // namespace cvn::api

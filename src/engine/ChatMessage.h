#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>
#include <optional>

namespace cvn {

// A function call the assistant made: its id, the function's name, and its
// arguments as JSON text, as the OpenAI chat API carries them.
struct ToolCall {
    QString id;
    QString name;
    QString arguments;

    friend bool operator==(const ToolCall&, const ToolCall&) = default;
};

// An image sent with a message: the file's name as attached and its bytes
// as stored (PNG, JPEG, WebP, ...), decoded only where a model sees it.
struct ChatImage {
    // What a prompt needs of the image for one projector, as a model that
    // decoded it learnt it (LlamaModel::imageFactsKey): stored with the
    // image, so that a model with the same key lays out its positions
    // without decoding it again.
    struct Facts {
        QString key; // the projector and pixel preparation that learnt them
        uint64_t pixelHash = 0;
        int width = 0;
        int height = 0;
        int64_t positions = 0;

        friend bool operator==(const Facts&, const Facts&) = default;
    };

    QString name;
    QByteArray data;
    std::optional<Facts> facts; // none until a model has learnt them

    friend bool operator==(const ChatImage&, const ChatImage&) = default;
};

// One message of a conversation as the prompt renderer sees it. The window's
// chats use the first three roles and the content alone; a request through
// the local server may also carry an assistant's tool calls and the tools'
// results (role tool, answering the call `toolCallId`).
struct ChatMessage {
    enum class Role { system, user, assistant, tool };

    Role role = Role::user;
    QString content;
    QList<ToolCall> toolCalls; // assistant only
    QString toolCallId; // tool only
    // Images that a model with a projector sees in place of their attachment
    // blocks in `content` (user only); a model without one reads the blocks.
    QList<ChatImage> images;

    friend bool operator==(const ChatMessage&, const ChatMessage&) = default;
};

} // namespace cvn

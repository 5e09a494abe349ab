#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

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
    QString name;
    QByteArray data;

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

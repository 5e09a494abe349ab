#pragma once

#include <QString>

namespace cvn {

// One message of a conversation as the prompt renderer sees it.
struct ChatMessage {
    enum class Role { system, user, assistant };

    Role role = Role::user;
    QString content;

    friend bool operator==(const ChatMessage&, const ChatMessage&) = default;
};

} // namespace cvn

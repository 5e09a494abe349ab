#pragma once

// Turns as the session hands them to the chat history, for the storage
// tests: a new id each, completed unless a state is given.

#include "engine/Turn.h"

namespace cvn::test {

inline Turn userTurn(const QString& content)
{
    Turn turn;
    turn.role = ChatMessage::Role::user;
    turn.content = content;
    return turn;
}

inline Turn replyTurn(const QString& content, Turn::State state = Turn::State::complete())
{
    Turn turn;
    turn.role = ChatMessage::Role::assistant;
    turn.content = content;
    turn.state = state;
    return turn;
}

} // namespace cvn::test

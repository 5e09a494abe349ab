#pragma once

// Turns as the session hands them to the chat history, for the storage
// tests: a new id each, completed unless a state is given.

#include "engine/Turn.h"
#include "storage/ChatHistory.h"

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

// A file at `path` holding one stored exchange, closed again as after a
// clean quit (no -wal or -shm left); the chat's id.
inline int64_t storeExchange(const QString& path, const QString& question, const QString& reply)
{
    ChatDatabase db{path};
    ChatStore store(db);
    ChatHistory history(db, store);
    history.persist({userTurn(question), replyTurn(reply)}, QStringLiteral("m"));
    return history.chatId();
}

} // namespace cvn::test

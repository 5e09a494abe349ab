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

// Images as a user message carries them: a PNG holding every byte value,
// a JPEG whose bytes spell a word that search must not find, a file of
// unknown kind and an empty one, sent in that order.
inline QList<ChatImage> sampleImages()
{
    QByteArray png("\x89PNG\r\n\x1a\n", 8);
    for (int i = 0; i < 256; ++i)
        png.append(char(i));
    return {{QStringLiteral("chart.png"), png},
            {QString::fromUtf8("ph\u00f6to 1.jpg"), QByteArray("\xFF\xD8\xFF\xE0zebra\0crossing", 19)},
            {QStringLiteral("raw.bin"), QByteArray("not an image", 12)},
            {QStringLiteral("empty.png"), QByteArray()}};
}

inline Turn imageTurn(const QString& content, const QList<ChatImage>& images = sampleImages())
{
    Turn turn = userTurn(content);
    turn.images = images;
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

// The row the list shows for chat `id`, or, when it shows none, a row
// naming no stored chat.
inline ChatStore::Row rowOf(const ChatStore& store, int64_t id)
{
    for (const ChatStore::Row& row : store.rows()) {
        if (row.id == id)
            return row;
    }
    ChatStore::Row none;
    none.id = id;
    none.createdAt = -1;
    return none;
}

// The created_at of the chat stored under `id` now (0 without one).
inline int64_t createdAtOf(const ChatDatabase& db, int64_t id)
{
    std::optional<ChatDatabase::ChatIdentity> identity;
    db.readChatIdentity(id, &identity);
    return identity ? identity->createdAt : 0;
}

// Opens the chat stored under `id` now, as a click on its row does; no
// turns when there is none.
inline QList<Turn> openStored(ChatHistory& history, const ChatDatabase& db, int64_t id)
{
    return history.load(id, createdAtOf(db, id)).value_or(QList<Turn>());
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

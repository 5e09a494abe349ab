#pragma once

// One chat as it leaves the database and comes back: the record, its JSON
// object, its Markdown document, and reading it from and adding it to a
// ChatDatabase. The window's export and import and the cvn-chats tool all go
// through here (and through ChatTransfer, which walks many chats).
//
// The JSON object of a chat:
//   { "format": "corvanthelis-chat", "version": 1, "title", "pinned",
//     "council", "councilOn", "createdAt", "updatedAt", "model",
//     "instructions" (left out by files written before chats had them),
//     "messages": [ { "role", "text", "createdAt", "model", "reasoning",
//                     "reasoningDurationMs",
//                     "attachments": [ { "name", "kind", "text", "truncated" } ],
//                     "images": [ { "name", "data" } ] } ] }
// Times are whole seconds since 1970, durations milliseconds. "updatedAt",
// "model", "instructions", "reasoning" and "reasoningDurationMs" are null where the row has
// none. A user message's attachment blocks are taken out of its text into
// "attachments", and put back in front of it on import, so the stored text
// comes back exactly. "images" holds the files sent with a message, each
// as a base64 data URI typed by its bytes' signature
// ("data:image/png;base64,...", else application/octet-stream); on import
// only a PNG, JPEG, WebP, GIF or BMP by its bytes, of at most
// largestImageBytes, is taken, and a chat with another is refused whole. A
// message without images leaves it out, and a chat with none is written as version
// 1, as before images were kept, while one with images is version 2, so
// that a program that cannot keep them refuses the chat instead of quietly
// dropping its images.
//
// Every function here is synchronous; those taking a ChatDatabase run on the
// thread that owns it.

#include "turn/AttachmentBlocks.h"
#include "storage/ChatDatabase.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QTimeZone>

#include <cstdint>
#include <optional>

namespace cvn::ChatArchive {

inline const QString formatName = QStringLiteral("corvanthelis-chat");
inline constexpr int formatVersion = 2;
// The most characters (grapheme clusters) a chat's instructions hold, as the
// instructions dialog lets them be typed. A file whose chat holds more is
// refused rather than cut: the file is left to be mended, and nothing of the
// instructions is lost without a word.
inline constexpr qsizetype longestInstructions = 20'000;
// The largest image a file's chat may hold: as large as the composer lets
// an attachment be.
inline constexpr int64_t largestImageBytes = 52'428'800;

struct Attachment {
    QString name;
    QString kind; // "image" or "document", by the name's extension
    QString text; // what was read from the file and sent
    bool truncated = false;

    friend bool operator==(const Attachment&, const Attachment&) = default;
};

struct Message {
    QString role = QStringLiteral("user"); // "user" or "assistant"
    QString text;                           // without the attachment blocks
    int64_t createdAt = 0;
    std::optional<QString> model; // the model (or council member) that wrote it
    std::optional<QString> reasoning;
    std::optional<int64_t> reasoningDurationMs;
    QList<Attachment> attachments;
    QList<ChatImage> images; // a user message's, in the order they were sent

    friend bool operator==(const Message&, const Message&) = default;
};

struct Chat {
    QString title;
    bool pinned = false;
    bool council = false;   // holds council replies
    bool councilOn = false; // the council switch
    int64_t createdAt = 0;
    std::optional<int64_t> updatedAt;
    std::optional<QString> model;
    std::optional<QString> instructions; // the chat's own, which win over the model's
    QList<Message> messages;

    friend bool operator==(const Chat&, const Chat&) = default;
};

QJsonObject toJson(const Chat& chat);
// The chat an object holds, or nothing with `error` saying what is wrong
// (a missing field, a wrong type, another format, a newer version,
// instructions longer than the dialog takes, an image that is larger than
// an attachment may be or of a kind the program does not take).
std::optional<Chat> fromJson(const QJsonObject& object, QString* error);

// A document for people: the title as a heading, the creation time, then
// each message with who wrote it and when, its text as written, its
// reasoning in a <details> block, its attachments and its images by name.
// Times are shown in `zone`.
QString markdown(const Chat& chat, const QTimeZone& zone = QTimeZone::systemTimeZone());

// Which stored chat: its id, and its creation time where known, since a
// freed id goes to the next chat created.
struct Key {
    int64_t id = 0;
    std::optional<int64_t> createdAt;
};
// Every stored chat, oldest first; nothing when they cannot be read.
std::optional<QList<Key>> chatKeys(ChatDatabase& db);
// The stored chat under `key`; nothing when it cannot be read or no such
// chat is stored (`gone` then tells which).
std::optional<Chat> read(ChatDatabase& db, const Key& key, bool* gone = nullptr);

enum class Added {
    added,
    duplicate, // a chat with the same creation time, title and messages is stored
    notWritten // the database cannot be written now; nothing was
};
// Adds the chat under a new id with everything it holds, in one
// transaction, unless the same chat is stored already.
Added add(ChatDatabase& db, const Chat& chat);

} // namespace cvn::ChatArchive

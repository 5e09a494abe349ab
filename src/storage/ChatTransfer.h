#pragma once

// Exporting and importing many chats a step at a time, so that the window
// can show progress and cancel between two chats, and the cvn-chats tool can
// run the same steps in a loop. Each step is one chat.
//
// Threads: the thread that owns the ChatDatabase (the window's main thread),
// which also means a step never waits long: the database's own busy timeout.

#include "storage/ChatArchive.h"

#include <QFile>
#include <QSaveFile>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>

namespace cvn {

// Whether a path may name a stream (a pipe, a FIFO, a terminal, /dev/stdin or
// /dev/stdout) rather than a regular file. The window's file dialogs never
// need one, and opening a FIFO waits for its other end, so only the cvn-chats
// tool takes them.
enum class Streams { refused, accepted };

// Writes chats into one file: Markdown or JSON for one chat, JSON Lines (one
// chat's object a line) for many. The file is written beside its place and
// takes its name only in finish(), so a cancelled or failed export leaves
// whatever was there before. A stream, where accepted, is written as it goes.
class ChatExport {
public:
    enum class Format { markdown, json, jsonLines };

    ChatExport(ChatDatabase& db, const QString& path, Format format, QList<ChatArchive::Key> chats,
               Streams streams = Streams::refused);

    // Whether `path` is written in place as a stream: something that exists
    // and is no regular file, or a name of an open file descriptor
    // (/dev/stdout, /dev/fd/N, /proc/self/fd/N), which may be a regular file
    // but must not be replaced.
    static bool isStream(const QString& path);

    // Writes the next chat; false once none is left or a fault stopped the
    // export (error() then says which). A chat deleted since the list was
    // read is left out, and so is a newer chat that took its id.
    bool step();
    // Every chat written: the file takes its name. False with error() when
    // a step failed or the file cannot be written.
    bool finish();

    qsizetype done() const { return m_next; }
    qsizetype total() const { return m_chats.size(); }
    // The chats written so far.
    qsizetype written() const { return m_written; }
    const QString& error() const { return m_error; }

    // Every chat of the database, for an export of all of them; nothing
    // (with `error`) when they cannot be read.
    static std::optional<QList<ChatArchive::Key>> allChats(ChatDatabase& db, QString* error);

private:
    bool fail(const QString& error);

    ChatDatabase& m_db;
    Format m_format;
    QList<ChatArchive::Key> m_chats;
    qsizetype m_next = 0;
    qsizetype m_written = 0;
    std::unique_ptr<QFileDevice> m_file; // a QSaveFile, or a QFile for a stream
    QString m_error;
};

// Reads chats from a JSON Lines file, or from one chat's JSON document (a
// file whose first line is a lone "{"), and adds each that is not stored
// already. The file is read a line at a time, from its start to its end
// without seeking, so a stream serves where accepted. A line that does not
// hold a chat stops the import there, with its number: the chats before it
// stay added, and nothing of it is written. A database that cannot be written
// stops it too, unless another program's lock is all that keeps it.
class ChatImport {
public:
    enum class Step {
        added,    // a chat was added, or skipped as already stored
        waiting,  // another program holds the database's lock: the same chat is tried again at the next step
        finished, // the whole file is read
        failed,   // error() says why, and fault() where
    };
    enum class Fault {
        none,
        file,     // the file cannot be opened; error() says why
        line,     // error() starts with the line: "line 3: ..."
        database, // the database cannot be written; error() says why
    };

    ChatImport(ChatDatabase& db, const QString& path, Streams streams = Streams::refused);

    Step step();

    int added() const { return m_added; }
    int skipped() const { return m_skipped; }
    // How far into the file, in bytes, for progress.
    int64_t position() const;
    int64_t size() const { return m_size; }
    // What went wrong, with the line, e.g. "line 3: missing field \"title\"".
    const QString& error() const { return m_error; }
    Fault fault() const { return m_fault; }

private:
    Step fail(const QString& error, Fault fault = Fault::line);
    // The next chat of the file into m_pending; false at its end or a fault.
    bool readNext();
    // The rest of the file as one chat's document, after `head`, the lines
    // read before it.
    Step readDocument(const QByteArray& head);

    ChatDatabase& m_db;
    QFile m_file;
    int64_t m_size = 0;
    int m_line = 0;
    bool m_started = false;
    bool m_atEnd = false;
    bool m_failed = false;
    Fault m_fault = Fault::none;
    QByteArray m_head; // the blank lines before the first chat
    std::optional<ChatArchive::Chat> m_pending;
    int m_added = 0;
    int m_skipped = 0;
    QString m_error;
};

} // namespace cvn

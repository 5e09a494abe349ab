#pragma once

#include <QList>
#include <QString>

// The attachment blocks at the start of a stored user message. A sent
// message carries each file's text ahead of the typed text:
//
//   "[Attached file: " name "]\n" text "\n[End file]\n\n" ... typed text
//
// and a block cut to the prompt's budget ends with the truncation marker
// instead of the end line. Stored messages depend on this format, so it has
// one home below the engine and storage: the composer writes it, the chat
// archive takes it apart and puts it together again, and the engine drops
// an image's block from a prompt.
namespace cvn::AttachmentBlocks {

inline const QString headerPrefix = QStringLiteral("[Attached file: ");
inline const QString headerEnd = QStringLiteral("]\n");
inline const QString endLine = QStringLiteral("\n[End file]\n\n");
inline const QString truncationMarker = QStringLiteral("\n[...attachment text truncated to fit context...]\n");

struct Block {
    QString name;
    QString text;           // the file's text as it was sent
    bool truncated = false; // ends with the truncation marker, not the end line

    friend bool operator==(const Block&, const Block&) = default;
};

struct Split {
    QList<Block> blocks; // the leading blocks, in order
    QString text;        // the rest of the message
};

// Splits a message into its leading blocks and the rest. A block that does
// not close (no "]" and LF after the name, or neither an end line nor the
// truncation marker after it) stays part of the text. join(split(m)) == m
// for every message m.
Split split(const QString& message);

// The message that split() took apart.
QString join(const QList<Block>& blocks, const QString& text);

} // namespace cvn::AttachmentBlocks

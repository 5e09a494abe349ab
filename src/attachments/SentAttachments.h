#pragma once

#include "attachments/StagedAttachment.h"
#include "attachments/ToastKind.h"

#include <QList>
#include <QString>

#include <cstdint>
#include <optional>

// The attachment blocks inside a user message, in both directions. A sent
// message stores each file's text ahead of the typed text:
//
//   "[Attached file: " name "]\n" text "\n[End file]\n\n" ... typed text
//
// with the blocks cut to a budget and followed by the truncation marker when
// they are too long. Stored messages depend on this format.
namespace cvn {

// The message prompt for the staged files and the typed text, or nothing
// when there is nothing to send. Without files the typed text comes back as
// it is. Files without text are left out, each with an error toast; when
// nothing remains and nothing was typed, an error toast and nothing. The
// blocks are cut to (contextTokens − 2000) × 3 user-perceived characters (at
// least 1000), followed by the truncation marker and an info toast. CR and
// LF in a file name become blanks in its header, so the message always
// parses back. `toast` is called synchronously. The files whose ids are in
// `shownAsImages` go to a model that sees them as images: one without text
// is then sent all the same, without a block and without a toast.
std::optional<QString> composePrompt(const QList<StagedAttachment>& staged, const QString& text,
                                     int64_t contextTokens, const ToastHandler& toast,
                                     const QList<QUuid>& shownAsImages = {});

namespace SentAttachments {

// One attached file name under a sent message.
struct File {
    QString name;
    friend bool operator==(const File&, const File&) = default;
};

struct Parsed {
    QList<File> files; // names of the leading attachment blocks, in order
    QString text; // the rest of the message
};

// Splits a stored user message into its leading attachment blocks and the
// remaining text. A block that does not close (no "]" and LF after the name,
// or neither an end line nor the truncation marker after it) stays part of
// the text.
Parsed parse(const QString& text);

} // namespace SentAttachments

} // namespace cvn

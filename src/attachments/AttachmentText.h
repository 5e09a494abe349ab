#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

// Reading the text of one staged file. Every function here is synchronous,
// reads the file system and changes nothing; the stager calls them on a
// background thread. Files come from the user's disk: they may be huge,
// malformed, hostile or not files at all, and a bad one only ever gives no
// text.
namespace cvn {

// The largest file that may be staged or read, that size itself included.
inline constexpr int64_t maxAttachmentBytes = 52'428'800;

// The longest text an attachment gives, in user-perceived characters.
inline constexpr qsizetype maxAttachmentCharacters = 8000;

// The lower-case extensions of attachments: "pdf", "docx", "txt", "md" for
// documents (false), "png", "jpg", "jpeg", "webp" for images (true).
const QStringList& attachmentExtensions(bool images);

// Whether a file name's extension, in any case, is in that list.
bool hasAttachmentExtension(const QString& name, bool images);

// The whole content of a regular file of at most maxAttachmentBytes (so a
// file that grows while it is read is refused too); nothing for a missing,
// unreadable or non-regular file (a FIFO, a device, a folder).
std::optional<QByteArray> readAttachmentFile(const QString& path);

// The text of a text file's bytes, by the first rule that fits:
// 1. strict UTF-8, a leading BOM dropped;
// 2. UTF-32 or UTF-16 by their BOM;
// 3. Windows-1252, only when the bytes hold no NUL and no control byte other
//    than TAB, LF, FF and CR (so random binary data is not taken for text);
// otherwise nothing.
std::optional<QString> decodeAttachmentText(QByteArrayView bytes);

// The text of one attachment, at most maxAttachmentCharacters, or nothing
// when the file gives none. Images go through text recognition; otherwise
// the lower-cased extension chooses: "pdf", "docx", "txt" and "md"; any other
// gives nothing. A text of only white space gives nothing; a longer one is
// cut to its first characters, never trimmed.
std::optional<QString> extractAttachmentText(const QString& path, bool isImage);

// What attaching a file gives: its text as extractAttachmentText gives it,
// and the token estimate estimateAttachmentTokens makes from that text. A
// text file is read and decoded once for both.
struct AttachmentReading {
    std::optional<QString> text;
    int64_t approxTokens = 0;
};
AttachmentReading readAttachment(const QString& path, bool isImage);

// The text of a PDF, page by page, each page's text followed by one LF
// (pages without text are skipped); reading stops once more than
// maxAttachmentCharacters were collected. Nothing when the document cannot
// be opened or is locked. Implemented over poppler.
std::optional<QString> pdfDocumentText(const QString& path);

} // namespace cvn

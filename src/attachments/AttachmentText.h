#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
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

// How long the reading of one file may take: PDF pages and text recognition
// give up after it, as a hostile file can keep either busy for hours.
inline constexpr std::chrono::seconds attachmentReadingTime {30};

// Asked again and again while a file is read, from the reading thread; true
// once the reading should give up, because its time is up or nobody wants
// its result any more. Once it said true it must keep saying it.
using ReadingStop = std::function<bool()>;

// The stop of one reading: true from attachmentReadingTime after this call
// on, and as soon as `cancelled` (when given) is set, by any thread.
ReadingStop readingDeadline(std::shared_ptr<const std::atomic<bool>> cancelled = {});

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
// cut to its first characters, never trimmed. `stop` bounds the reading of
// PDF files and images; without one, readingDeadline() does.
std::optional<QString> extractAttachmentText(const QString& path, bool isImage, const ReadingStop& stop = {});

// What attaching a file gives: its text as extractAttachmentText gives it,
// and the token estimate estimateAttachmentTokens makes from that text. A
// text file is read and decoded once for both. An image is first checked by
// imageRefusal (ImageCheck.h): one that cannot be sent gives the sentence
// saying why in `refusal`, and nothing else.
struct AttachmentReading {
    std::optional<QString> text;
    int64_t approxTokens = 0;
    std::optional<QString> refusal;
};
AttachmentReading readAttachment(const QString& path, bool isImage, const ReadingStop& stop = {});

// The most pages of a PDF that are read, and the most pages in a row without
// text after which reading gives up: a document of thousands of pages of
// drawings is not worth minutes.
inline constexpr int maxPdfPages = 500;
inline constexpr int maxPdfPagesWithoutText = 50;

// The text of a PDF, page by page, each page's text followed by one LF
// (pages without text are skipped). Reading stops, keeping what it has,
// once more than maxAttachmentCharacters were collected, after maxPdfPages
// pages, after maxPdfPagesWithoutText pages in a row without text, or when
// `stop` says so (by default readingDeadline()): it is asked between pages
// and every few drawing operations inside one, and the page it stops in
// adds nothing. Nothing when the document cannot be opened or is locked.
// `pagesRead`, when given, receives the number of pages begun. Implemented
// over poppler's core.
std::optional<QString> pdfDocumentText(const QString& path, const ReadingStop& stop = {}, int* pagesRead = nullptr);

} // namespace cvn

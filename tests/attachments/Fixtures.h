#pragma once

// Files made at test time for the attachment readers: ZIP archives (sound or
// deliberately broken), minimal PDFs, pictures with text, and plain files.

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

namespace cvn::test {

// One entry of a generated ZIP archive. The overrides produce broken or
// hostile archives.
struct ZipEntry {
    QString name;
    QByteArray data;
    uint16_t method = 8; // 0 stored, 8 DEFLATE; others are written as stored bytes
    bool dataDescriptor = false; // local sizes 0, sizes after the data (flag 0x08)
    std::optional<uint32_t> declaredSize; // central uncompressed size instead of the real one
    std::optional<QByteArray> payload; // written instead of the (compressed) data
};

struct ZipOptions {
    QByteArray comment; // end record comment (at most 65,535 bytes)
    QByteArray trailing; // bytes after the end record, outside the comment
    std::optional<uint16_t> entryCount; // declared entry count
    std::optional<uint32_t> directoryOffset; // declared central directory offset
};

QByteArray rawDeflate(const QByteArray& data);
QByteArray zipArchive(const QList<ZipEntry>& entries, const ZipOptions& options = {});

// A DOCX archive whose word/document.xml holds one w:p per line.
QByteArray docxWithParagraphs(const QStringList& paragraphs);

// A PDF with one page per element, each page holding its lines in 12 pt
// Helvetica. A page of no lines holds only a drawn rectangle (no text).
QByteArray pdfWithPages(const QList<QStringList>& pages);

// A PDF of `pages` pages that all draw one content stream, compressed with
// FlateDecode, with 12 pt Helvetica as /F1: a small file whose pages each
// take as long as the stream is to draw.
QByteArray pdfSharingContent(int pages, const QByteArray& content);

// White 800×200 picture with the lines in 40 px DejaVu Sans, black.
QImage pictureWithText(const QStringList& lines);

// JPEG bytes of the image with an Exif APP1 segment holding the orientation.
QByteArray jpegWithOrientation(const QImage& image, uint16_t orientation);

// Writes bytes to a file in a new temporary folder; returns its path.
QString writeTempFile(const QString& name, const QByteArray& bytes);

// Makes a sparse file of zeros of that size in the folder (a new temporary
// one when empty); returns its path, or empty text when it cannot be made.
QString sparseFile(const QString& name, int64_t size, const QString& folder = {});

} // namespace cvn::test

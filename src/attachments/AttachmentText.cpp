#include "attachments/AttachmentText.h"

#include "attachments/DocxText.h"
#include "attachments/ImageCheck.h"
#include "attachments/ImageText.h"
#include "attachments/TokenEstimate.h"
#include "attachments/ZipReader.h"
#include "platform/RegularFile.h"
#include "platform/Unicode.h"
#include "storage/ChatArchive.h"

#include <QFileInfo>
#include <QStringDecoder>

#include <algorithm>

namespace cvn {

// An imported chat's images are held to what the composer attaches.
static_assert(maxAttachmentBytes == ChatArchive::largestImageBytes);

namespace {

// Windows-1252 in 0x80..0x9F; 0 marks the five bytes the code page leaves
// undefined, which are refused like control bytes.
constexpr char16_t windows1252High[32] = {
    0x20AC, 0, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0, 0x017D, 0,
    0, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0, 0x017E, 0x0178,
};

std::optional<QString> decodeWith(QStringConverter::Encoding encoding, QByteArrayView bytes)
{
    // Stateless: an incomplete sequence at the end is an error, not held back.
    QStringDecoder decoder(encoding, QStringConverter::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

std::optional<QString> decodeWindows1252(QByteArrayView bytes)
{
    QString text(bytes.size(), Qt::Uninitialized);
    char16_t* out = reinterpret_cast<char16_t*>(text.data());
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto byte = uint8_t(bytes[i]);
        if (byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\f' && byte != '\r')
            return std::nullopt;
        if (byte == 0x7F)
            return std::nullopt;
        char16_t c = byte;
        if (byte >= 0x80 && byte < 0xA0) {
            c = windows1252High[byte - 0x80];
            if (c == 0)
                return std::nullopt;
        }
        out[i] = c;
    }
    return text;
}

std::optional<QString> docxText(const QString& path)
{
    std::optional<QByteArray> xml;
    {
        const std::optional<QByteArray> archive = readAttachmentFile(path);
        if (!archive)
            return std::nullopt;
        xml = zipEntryData(QStringLiteral("word/document.xml"), *archive);
    } // the archive is freed before the XML is parsed
    if (!xml)
        return std::nullopt;
    return docxDocumentText(*xml, maxAttachmentCharacters);
}

std::optional<QString> plainText(const QString& path)
{
    const std::optional<QByteArray> bytes = readAttachmentFile(path);
    if (!bytes)
        return std::nullopt;
    return decodeAttachmentText(*bytes);
}

bool isPlainTextExtension(const QString& extension)
{
    return extension == u"txt" || extension == u"md";
}

// What an attachment keeps of a file's text: nothing for none or white space
// alone, else its first characters.
std::optional<QString> attachmentTextOf(const std::optional<QString>& text)
{
    if (!text || std::all_of(text->cbegin(), text->cend(), [](QChar c) { return c.isSpace(); }))
        return std::nullopt;
    return prefixCharacters(maxAttachmentCharacters, *text);
}

} // namespace

ReadingStop readingDeadline(std::shared_ptr<const std::atomic<bool>> cancelled)
{
    const auto deadline = std::chrono::steady_clock::now() + attachmentReadingTime;
    return [deadline, cancelled = std::move(cancelled)] {
        return (cancelled && cancelled->load(std::memory_order_relaxed))
            || std::chrono::steady_clock::now() >= deadline;
    };
}

const QStringList& attachmentExtensions(bool images)
{
    static const QStringList documents = {QStringLiteral("pdf"), QStringLiteral("docx"), QStringLiteral("txt"),
                                          QStringLiteral("md")};
    static const QStringList pictures = {QStringLiteral("png"), QStringLiteral("jpg"), QStringLiteral("jpeg"),
                                         QStringLiteral("webp")};
    return images ? pictures : documents;
}

bool hasAttachmentExtension(const QString& name, bool images)
{
    return attachmentExtensions(images).contains(QFileInfo(name).suffix().toLower());
}

std::optional<QByteArray> readAttachmentFile(const QString& path)
{
    RegularFile file;
    if (!file.open(path) || file.size() > maxAttachmentBytes)
        return std::nullopt;
    // Read to the end rather than trusting the size: the file may be growing.
    // One byte past the limit is enough to know it is too large.
    QByteArray bytes(qsizetype(file.size()), Qt::Uninitialized);
    int64_t done = file.readAt(0, bytes.data(), bytes.size());
    if (done < 0)
        return std::nullopt;
    constexpr int64_t chunk = 1 << 20;
    while (done == bytes.size()) {
        const int64_t room = std::min<int64_t>(chunk, maxAttachmentBytes + 1 - done);
        if (room <= 0)
            return std::nullopt;
        bytes.resize(qsizetype(done + room));
        const int64_t got = file.readAt(done, bytes.data() + done, room);
        if (got < 0)
            return std::nullopt;
        done += got;
        if (got < room)
            break;
    }
    if (done > maxAttachmentBytes)
        return std::nullopt;
    bytes.truncate(qsizetype(done));
    return bytes;
}

std::optional<QString> decodeAttachmentText(QByteArrayView bytes)
{
    if (std::optional<QString> text = decodeWith(QStringConverter::Utf8, bytes))
        return text;
    // UTF-32LE's BOM begins with UTF-16LE's, so it is tried first. The marks
    // hold NUL bytes, hence the explicit lengths.
    if (bytes.startsWith(QByteArrayView("\xFF\xFE\0\0", 4)))
        return decodeWith(QStringConverter::Utf32LE, bytes);
    if (bytes.startsWith(QByteArrayView("\0\0\xFE\xFF", 4)))
        return decodeWith(QStringConverter::Utf32BE, bytes);
    if (bytes.startsWith("\xFF\xFE"))
        return decodeWith(QStringConverter::Utf16LE, bytes);
    if (bytes.startsWith("\xFE\xFF"))
        return decodeWith(QStringConverter::Utf16BE, bytes);
    return decodeWindows1252(bytes);
}

std::optional<QString> extractAttachmentText(const QString& path, bool isImage, const ReadingStop& stop)
{
    const QString extension = QFileInfo(path).suffix().toLower();
    std::optional<QString> text;
    if (isImage)
        text = recognizeImageText(path, stop);
    else if (extension == u"pdf")
        text = pdfDocumentText(path, stop);
    else if (extension == u"docx")
        text = docxText(path);
    else if (isPlainTextExtension(extension))
        text = plainText(path);
    return attachmentTextOf(text);
}

AttachmentReading readAttachment(const QString& path, bool isImage, const ReadingStop& stop)
{
    if (!isImage && isPlainTextExtension(QFileInfo(path).suffix().toLower())) {
        // One read and one decoding for both: the estimate counts the whole
        // text, the attachment keeps its first characters.
        const std::optional<QString> whole = plainText(path);
        return {attachmentTextOf(whole), estimateWholeTextTokens(path, whole.value_or(QString()))};
    }
    if (isImage) {
        const std::optional<QByteArray> bytes = readAttachmentFile(path);
        const QString name = QFileInfo(path).fileName();
        if (!bytes)
            return {std::nullopt, 0, QStringLiteral("Couldn't open file: ") + name};
        if (std::optional<QString> refusal = imageRefusal(*bytes, name))
            return {std::nullopt, 0, std::move(refusal)};
    }
    std::optional<QString> text = extractAttachmentText(path, isImage, stop);
    const int64_t tokens = estimateAttachmentTokens(path, text.value_or(QString()));
    return {std::move(text), tokens};
}

} // namespace cvn

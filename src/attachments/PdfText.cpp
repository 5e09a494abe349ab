// pdfDocumentText over poppler's core; the only file that knows poppler. The
// core rather than poppler-cpp, because only the core lets a page's drawing
// be interrupted: one page of a hostile file can keep it busy for minutes.
#include "platform/Utf8Decoder.h"
#include "attachments/AttachmentText.h"

#include "platform/Unicode.h"

#include <GlobalParams.h>
#include <PDFDoc.h>
#include <Stream.h>
#include <TextOutputDev.h>

#include <memory>
#include <string>

namespace cvn {

namespace {

// Poppler reports every oddity of a damaged file; a user's PDF is not ours
// to complain about.
void ignorePopplerError(ErrorCategory, Goffset, const char*) {}

// Asked by poppler every few operations of a page.
bool shouldAbort(void* data)
{
    return (*static_cast<const ReadingStop*>(data))();
}

void appendText(void* stream, const char* text, int length)
{
    static_cast<std::string*>(stream)->append(text, size_t(length));
}

} // namespace

std::optional<QString> pdfDocumentText(const QString& path, const ReadingStop& givenStop, int* pagesRead)
{
    const ReadingStop stop = givenStop ? givenStop : readingDeadline();
    int begun = 0;
    struct Report {
        int& begun;
        int* pagesRead;
        ~Report()
        {
            if (pagesRead)
                *pagesRead = begun;
        }
    } report {begun, pagesRead};

    // Read through our own guarded reader rather than poppler's file loader,
    // which would block on a FIFO and read a file of any size. Poppler keeps
    // a pointer into `bytes`, so it must outlive the document.
    std::optional<QByteArray> bytes = readAttachmentFile(path);
    if (!bytes)
        return std::nullopt;
    // Poppler's global settings live while any document does.
    const GlobalParamsIniter popplerGlobals(ignorePopplerError);
    // The document owns the stream, not the bytes.
    PDFDoc document(new MemStream(bytes->constData(), 0, bytes->size(), Object(objNull)), GooString(""), GooString(""));
    // A document that needs a password is open but locked: no text either.
    if (!document.isOk())
        return std::nullopt;

    QString text;
    qsizetype characters = 0;
    int withoutText = 0;
    const int pages = document.getNumPages();
    for (int i = 0; i < pages && characters <= maxAttachmentCharacters; ++i) {
        if (begun == maxPdfPages || withoutText == maxPdfPagesWithoutText || stop())
            break;
        if (!document.getPage(i + 1))
            continue;
        ++begun;
        // Text in reading order, neither raw nor laid out physically.
        std::string utf8;
        TextOutputDev output(&appendText, &utf8, false, 0, false);
        document.displayPage(&output, i + 1, 72, 72, 0, false, true, false, &shouldAbort,
                             const_cast<ReadingStop*>(&stop));
        // Poppler ends a page cut short as any other; its text is partial.
        if (stop())
            break;
        QString pageText = Utf8Decoder::decode(utf8);
        // Poppler ends each page with a line end and a form feed; the page
        // gets exactly one LF instead.
        qsizetype end = pageText.size();
        while (end > 0 && (pageText[end - 1] == u'\f' || pageText[end - 1] == u'\n' || pageText[end - 1] == u'\r'))
            --end;
        if (end == 0) {
            ++withoutText;
            continue;
        }
        withoutText = 0;
        pageText.truncate(end);
        pageText.append(QLatin1Char('\n'));
        characters += GraphemeIndex(pageText).size();
        text += pageText;
    }
    return text;
}

} // namespace cvn

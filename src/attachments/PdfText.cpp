// pdfDocumentText over poppler-cpp; the only file that knows poppler.
#include "attachments/AttachmentText.h"

#include "platform/Unicode.h"

#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-page.h>

#include <memory>
#include <mutex>

namespace cvn {

namespace {

// Poppler reports every oddity of a damaged file on stderr; a user's PDF is
// not ours to complain about.
void silencePoppler()
{
    static std::once_flag once;
    std::call_once(once, [] { poppler::set_debug_error_function([](const std::string&, void*) {}, nullptr); });
}

} // namespace

std::optional<QString> pdfDocumentText(const QString& path)
{
    silencePoppler();
    // Read through our own guarded reader rather than poppler's file loader,
    // which would block on a FIFO and read a file of any size. Poppler keeps
    // a pointer into `bytes`, so it must outlive the document.
    std::optional<QByteArray> bytes = readAttachmentFile(path);
    if (!bytes)
        return std::nullopt;
    std::unique_ptr<poppler::document> document(
        poppler::document::load_from_raw_data(bytes->constData(), int(bytes->size())));
    if (!document || document->is_locked())
        return std::nullopt;

    QString text;
    qsizetype characters = 0;
    const int pages = document->pages();
    for (int i = 0; i < pages && characters <= maxAttachmentCharacters; ++i) {
        std::unique_ptr<poppler::page> page(document->create_page(i));
        if (!page)
            continue;
        const poppler::byte_array utf8 = page->text(poppler::rectf(), poppler::page::non_raw_non_physical_layout).to_utf8();
        QString pageText = QString::fromUtf8(utf8.data(), qsizetype(utf8.size()));
        // Poppler ends each page with a line end and a form feed; the page
        // gets exactly one LF instead.
        qsizetype end = pageText.size();
        while (end > 0 && (pageText[end - 1] == u'\f' || pageText[end - 1] == u'\n' || pageText[end - 1] == u'\r'))
            --end;
        if (end == 0)
            continue;
        pageText.truncate(end);
        pageText.append(QLatin1Char('\n'));
        characters += GraphemeIndex(pageText).size();
        text += pageText;
    }
    return text;
}

} // namespace cvn

// libFuzzer target: the DOCX road from archive bytes to text, and the XML
// reader alone. Besides the sanitizers, checks that no entry comes out larger
// than DEFLATE could expand the archive to.
#include "attachments/DocxText.h"
#include "attachments/ZipReader.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const QByteArrayView input(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    // Bit 1 reads only until a few characters are collected, as extraction
    // does with its limit.
    const qsizetype enough = data[0] & 2 ? 20 : -1;
    if (data[0] & 1) {
        (void)cvn::docxDocumentText(input, enough);
        return 0;
    }
    const QString name = QStringLiteral("word/document.xml");
    const std::optional<QByteArray> entry = cvn::zipEntryData(name, input);
    if (!entry)
        return 0;
    // No entry may come out larger than the data could expand to.
    if (entry->size() > cvn::maxZipEntryBytes || entry->size() > 1032 * input.size() + 1024)
        std::abort();
    (void)cvn::docxDocumentText(*entry, enough);
    return 0;
}

#include "attachments/DocxText.h"

#include "platform/Unicode.h"

#include <QStringList>
#include <QXmlStreamReader>

#include <algorithm>
#include <vector>

namespace cvn {

std::optional<QString> docxDocumentText(QByteArrayView xml, qsizetype enoughCharacters, qsizetype* elementsRead)
{
    // Fed in slices: given the whole part at once, the reader would decode
    // all of it to UTF-16 up front, twice the size of a part of up to 128 MiB.
    QXmlStreamReader reader;
    qsizetype fed = 0;
    const auto feed = [&] {
        constexpr qsizetype slice = 1 << 20;
        if (fed >= xml.size())
            return false;
        const qsizetype n = std::min(slice, xml.size() - fed);
        reader.addData(QByteArray::fromRawData(xml.data() + fed, n));
        fed += n;
        return true;
    };
    feed();
    // Names arrive with their prefix ("w:p"), whatever the namespace
    // declarations say, as the documents are matched by prefix.
    reader.setNamespaceProcessing(false);

    QStringList paragraphs;
    // Text of the open paragraphs, innermost last.
    std::vector<QString> open;
    int textDepth = 0;
    int depth = 0;
    qsizetype elements = 0;
    const auto finish = [&](std::optional<QString> result) {
        if (elementsRead)
            *elementsRead = elements;
        return result;
    };
    // Characters of the finished paragraphs, a lower bound for the joined
    // text (the LFs between them only add characters, bar one CR LF pair
    // each), and whether any of them is not white space.
    qsizetype characters = 0;
    bool anyText = false;
    while (true) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (reader.error() == QXmlStreamReader::PrematureEndOfDocumentError && feed())
            continue;
        if (reader.hasError())
            return finish(std::nullopt);
        if (reader.atEnd())
            break;
        switch (token) {
        case QXmlStreamReader::StartElement: {
            ++elements;
            // The reader keeps every open element, and we a string for each
            // open paragraph: millions of nested ones would take gigabytes.
            if (++depth > maxDocxDepth)
                return finish(std::nullopt);
            const QStringView name = reader.qualifiedName();
            if (name == u"w:p")
                open.emplace_back();
            else if (name == u"w:t")
                ++textDepth;
            break;
        }
        case QXmlStreamReader::EndElement: {
            --depth;
            const QStringView name = reader.qualifiedName();
            if (name == u"w:p" && !open.empty()) {
                paragraphs.append(std::move(open.back()));
                open.pop_back();
                if (enoughCharacters >= 0) {
                    const QString& done = paragraphs.constLast();
                    characters += GraphemeIndex(done).size();
                    anyText = anyText || std::any_of(done.cbegin(), done.cend(), [](QChar c) { return !c.isSpace(); });
                    if (anyText && characters > enoughCharacters)
                        return finish(paragraphs.join(QLatin1Char('\n')));
                }
            } else if (name == u"w:t" && textDepth > 0) {
                --textDepth;
            }
            break;
        }
        case QXmlStreamReader::Characters:
            if (textDepth > 0 && !open.empty())
                open.back().append(reader.text());
            break;
        default:
            break;
        }
    }
    return finish(paragraphs.join(QLatin1Char('\n')));
}

} // namespace cvn

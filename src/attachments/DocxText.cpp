#include "attachments/DocxText.h"

#include <QStringList>
#include <QXmlStreamReader>

#include <vector>

namespace cvn {

std::optional<QString> docxDocumentText(QByteArrayView xml)
{
    QXmlStreamReader reader(QByteArray::fromRawData(xml.data(), xml.size()));
    // Names arrive with their prefix ("w:p"), whatever the namespace
    // declarations say, as the documents are matched by prefix.
    reader.setNamespaceProcessing(false);

    QStringList paragraphs;
    // Text of the open paragraphs, innermost last.
    std::vector<QString> open;
    int textDepth = 0;
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartElement: {
            const QStringView name = reader.qualifiedName();
            if (name == u"w:p")
                open.emplace_back();
            else if (name == u"w:t")
                ++textDepth;
            break;
        }
        case QXmlStreamReader::EndElement: {
            const QStringView name = reader.qualifiedName();
            if (name == u"w:p" && !open.empty()) {
                paragraphs.append(std::move(open.back()));
                open.pop_back();
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
    if (reader.hasError())
        return std::nullopt;
    return paragraphs.join(QLatin1Char('\n'));
}

} // namespace cvn

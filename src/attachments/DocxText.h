#pragma once

#include <QByteArrayView>
#include <QString>

#include <optional>

namespace cvn {

// Far deeper than word processors nest their elements, tables in tables and
// text boxes included.
inline constexpr int maxDocxDepth = 256;

// The text of a DOCX main document part ("word/document.xml"): the text of
// its w:t elements, one line per w:p paragraph (an empty paragraph gives an
// empty line), lines joined with LF. Runs join without a separator; tabs,
// breaks and text outside w:t give nothing.
//
// A paragraph nested inside another (a text box) becomes its own line, and
// the outer paragraph keeps the text around it: the inner line comes first,
// then the outer one when it ends.
//
// Nothing when the XML does not parse, including entity expansion beyond
// the XML reader's limit, and when elements nest deeper than maxDocxDepth:
// reading stops at the first element too deep, so a hostile part of
// millions of nested elements costs no more memory than this depth.
// Pure; safe on any thread.
//
// With `enoughCharacters` of 0 or more, reading stops once the finished
// paragraphs hold more than that many user-perceived characters, at least
// one of them not white space: the rest of the document is neither read nor
// checked. The first `enoughCharacters` characters of the result are the
// same as without the limit, for any well-formed document.
//
// `elementsRead`, when given, receives the number of start tags read.
std::optional<QString> docxDocumentText(QByteArrayView xml, qsizetype enoughCharacters = -1,
                                        qsizetype* elementsRead = nullptr);

} // namespace cvn

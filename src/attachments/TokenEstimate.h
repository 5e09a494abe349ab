#pragma once

#include <QString>

#include <cstdint>

namespace cvn {

// The estimated tokens of one attached file, from the length of its text in
// UTF-16 code units and a divisor by extension (3.9 for .txt and .md, 2.4
// for .json, 1.75 for .csv and .tsv, else 4), × 1.8 when more than 30% of the
// units are Cyrillic. `text` is the extracted text (empty when none); for a
// text file it is cut short, so the whole file is read (through the
// attachment guards) and counted when it is longer. Without text the file's
// size ÷ 8 stands in; a PDF or DOCX whose text is under a twentieth of its
// size counts at least size ÷ 8. Reads the file system; safe on any thread.
int64_t estimateAttachmentTokens(const QString& path, const QString& text);

// The same estimate when `text` is already the file's whole text (a text
// file read and decoded by the caller): only the file's size is read.
int64_t estimateWholeTextTokens(const QString& path, const QString& text);

} // namespace cvn

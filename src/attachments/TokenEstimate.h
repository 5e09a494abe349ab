#pragma once

#include <QString>

#include <cstdint>

namespace cvn {

// Tokens of `text` on the safe side, for when no tokenizer is at hand.
// Characters that UTF-8 writes in one or two bytes count `charactersPerToken`
// UTF-16 units to a token, × 1.8 when more than 30% of them are Cyrillic.
// Wider ones count as tokenizers without a piece for them write them, about
// byte by byte: the rest of the Basic Multilingual Plane (CJK ideographs,
// kana, hangul, symbols) wideCharacterTokens each, characters beyond it
// (emoji, mathematical letters) astralCharacterTokens each.
inline constexpr int64_t wideCharacterTokens = 2;
inline constexpr int64_t astralCharacterTokens = 4;
int64_t estimateTextTokens(const QString& text, double charactersPerToken);

// The estimated tokens of one attached file: estimateTextTokens of its text
// with a divisor by extension (3.9 for .txt and .md, 2.4 for .json, 1.75
// for .csv and .tsv, else 4). `text` is the extracted text (empty when
// none); for a text file it is cut short, so the whole file is read
// (through the attachment guards) and counted when it is longer. Without
// text the file's size ÷ 8 stands in, but an image counts 0 (it goes as
// its positions, which the stager counts); a PDF or DOCX whose text is under a
// twentieth of its size counts at least size ÷ 8. Reads the file system;
// safe on any thread.
int64_t estimateAttachmentTokens(const QString& path, const QString& text);

// The same estimate when `text` is already the file's whole text (a text
// file read and decoded by the caller): only the file's size is read.
int64_t estimateWholeTextTokens(const QString& path, const QString& text);

} // namespace cvn

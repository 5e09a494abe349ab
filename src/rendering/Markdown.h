#pragma once

#include <QString>

#include <optional>
#include <variant>
#include <vector>

// A small line-oriented Markdown reader of our own: fenced code, headings,
// bullet and numbered lists, pipe tables, quotes and paragraphs, with code
// spans and "*"/"_" emphasis inline. Links, images, rules, HTML and nesting
// stay literal text (indentation is ignored, so nested lists come out flat).
//
// Everything counts user-perceived characters (grapheme clusters), so a
// marker followed by a combining mark is no marker. Lines end at LF; one CR
// before it (or at the very end) is dropped, so CR LF text reads like LF text.
//
// Pure functions on values: callable from any thread, never throw, and every
// input, however malformed, gives a block list (possibly empty). The cost is
// linear in the text's length.
namespace cvn::Markdown {

// One inline run; a code span may also carry the emphasis around it.
struct Span {
    QString text;
    bool bold = false;
    bool italic = false;
    bool code = false;

    bool operator==(const Span&) const = default;
};

using Spans = std::vector<Span>;

enum class Alignment { leading, center, trailing };

struct Paragraph {
    Spans spans;
    bool operator==(const Paragraph&) const = default;
};

// level is 1 to 6.
struct Heading {
    int level = 1;
    Spans spans;
    bool operator==(const Heading&) const = default;
};

// One span list per item; at least one item.
struct Bullet {
    std::vector<Spans> items;
    bool operator==(const Bullet&) const = default;
};

struct NumberedItem {
    QString marker; // the digits as written and ".", e.g. "12." or "三."
    Spans spans;
    bool operator==(const NumberedItem&) const = default;
};

// Markers are kept as written, never renumbered; at least one item.
struct Numbered {
    std::vector<NumberedItem> items;
    bool operator==(const Numbered&) const = default;
};

// All the quote's lines as one span list.
struct Quote {
    Spans spans;
    bool operator==(const Quote&) const = default;
};

// language is absent when the fence line names none; text is the lines
// between the fences joined with "\n", as written.
struct Code {
    std::optional<QString> language;
    QString text;
    bool operator==(const Code&) const = default;
};

// header, alignments and every row have the same number of columns.
struct Table {
    std::vector<Spans> header;
    std::vector<Alignment> alignments;
    std::vector<std::vector<Spans>> rows;
    bool operator==(const Table&) const = default;
};

using Block = std::variant<Paragraph, Heading, Bullet, Numbered, Quote, Code, Table>;

// The blocks of a whole message, in source order.
std::vector<Block> parse(const QString& source);

// The spans of the inline text of one paragraph, heading, item or cell.
Spans parseInline(const QString& text);

} // namespace cvn::Markdown

#pragma once

#include <QString>
#include <QStringView>

#include <utility>
#include <vector>

namespace cvn {

// Unicode character properties of one code point, from ICU where Qt's own
// tables fall short (QChar::isNumber misses CJK numerals such as 三).
bool isAlphabetic(char32_t c);      // the Alphabetic property
bool hasNumericType(char32_t c);    // any numeric type: digits, ², ½, 三, ...
bool isSpaceSeparatorOrTab(char32_t c);

// The user-perceived characters (extended grapheme clusters) of one text,
// found once so that callers can walk, compare and slice them by index.
//
// The index keeps a view of the text: the text must outlive the index and
// must not change while it is in use. Cluster i covers the UTF-16 code units
// [offset(i), offset(i + 1)); offset(size()) is the text's length.
//
// Text whose code units all lie below U+0300 (Latin, punctuation, controls)
// needs no segmentation library: there every unit is a cluster of its own
// except CR LF, which is one. Only the stretches around code units from
// U+0300 up go through QTextBoundaryFinder, so a mostly-ASCII reply with a
// few accents or emoji stays on the cheap road.
class GraphemeIndex {
public:
    GraphemeIndex() = default;
    explicit GraphemeIndex(QStringView text);

    QStringView text() const { return m_text; }
    qsizetype size() const { return m_count; }

    qsizetype offset(qsizetype i) const { return m_offsets.empty() ? i : m_offsets[size_t(i)]; }
    qsizetype length(qsizetype i) const { return offset(i + 1) - offset(i); }

    // Cluster i, and the clusters [from, to), as views into the text.
    QStringView at(qsizetype i) const { return m_text.sliced(offset(i), length(i)); }
    QStringView slice(qsizetype from, qsizetype to) const
    {
        return m_text.sliced(offset(from), offset(to) - offset(from));
    }

    // Whether cluster i is exactly the single code unit c (so "-" followed by
    // a combining mark is not "-").
    bool isChar(qsizetype i, char16_t c) const
    {
        if (m_offsets.empty())
            return m_text[i].unicode() == c;
        const qsizetype at = m_offsets[size_t(i)];
        return m_offsets[size_t(i) + 1] - at == 1 && m_text[at].unicode() == c;
    }

    // The first code point of cluster i.
    char32_t firstCodePoint(qsizetype i) const
    {
        const char16_t first = m_text[offset(i)].unicode();
        return QChar::isHighSurrogate(first) && length(i) > 1 ? surrogatePair(i) : first;
    }

    // Whether cluster i is one space separator (category Zs) or a tab.
    bool isSpace(qsizetype i) const
    {
        if (length(i) != 1)
            return false;
        // ASCII inline: this runs for every character a parser looks at.
        const char16_t c = m_text[offset(i)].unicode();
        return c < 0x80 ? c == u' ' || c == u'\t' : isSpaceSeparatorOrTab(c);
    }

    // Whether cluster i is a line end: LF, or the CR LF pair.
    bool isLineEnd(qsizetype i) const
    {
        const qsizetype at = offset(i);
        const qsizetype n = length(i);
        return (n == 1 && m_text[at] == u'\n') || (n == 2 && m_text[at] == u'\r' && m_text[at + 1] == u'\n');
    }

    // The clusters [from, to) without the spaces (as isSpace) at either end.
    std::pair<qsizetype, qsizetype> trimmed(qsizetype from, qsizetype to) const
    {
        while (from < to && isSpace(from))
            ++from;
        while (to > from && isSpace(to - 1))
            --to;
        return {from, to};
    }

    // The first line end at or after cluster `from`, or size().
    qsizetype nextLineEnd(qsizetype from) const;

private:
    char32_t surrogatePair(qsizetype i) const;

    QStringView m_text;
    qsizetype m_count = 0;
    // Empty when every code unit is its own cluster; else size() + 1 entries.
    std::vector<qsizetype> m_offsets;
};

// Whether user-perceived characters end at `at` in `text` whatever comes
// before or after the two code points around it: both are of kinds that
// never join a neighbour, so no rule joins them and no chain of joins (emoji
// sequences, flag pairs) runs through either. True at either end. Counting
// the characters of a stretch cut at such places gives the same as counting
// them inside the whole text.
bool isSettledBoundary(QStringView text, qsizetype at);

// Whether the text is one code point among 0-9, A-F, a-f and their fullwidth
// forms.
bool isHexDigitCharacter(QStringView cluster);

// The text without leading and trailing space separators (category Zs) and
// tabs; line feeds and carriage returns stay. Whole characters are removed,
// never part of one, so a space that carries a combining mark stays.
QStringView trimSpaces(QStringView text);

// The first n user-perceived characters of the text, or the whole text when
// it has n or fewer; nothing for n of 0 or less.
QString prefixCharacters(qsizetype n, const QString& text);

} // namespace cvn

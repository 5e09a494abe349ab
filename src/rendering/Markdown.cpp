#include "rendering/Markdown.h"

#include "platform/Unicode.h"

namespace cvn::Markdown {

namespace {

// Characters [begin, end) of an indexed text; positions passed to the
// members are relative to begin.
struct Chars {
    const GraphemeIndex* index = nullptr;
    qsizetype begin = 0;
    qsizetype end = 0;

    qsizetype size() const { return end - begin; }
    bool isEmpty() const { return begin == end; }
    bool is(qsizetype i, char16_t c) const { return index->isChar(begin + i, c); }
    bool isSpace(qsizetype i) const { return index->isSpace(begin + i); }
    char32_t codePoint(qsizetype i) const { return index->firstCodePoint(begin + i); }
    Chars mid(qsizetype from, qsizetype to) const { return {index, begin + from, begin + to}; }
    Chars from(qsizetype from) const { return mid(from, size()); }
    QStringView view() const { return index->slice(begin, end); }
    QString toString() const { return view().toString(); }

    bool contains(char16_t c) const
    {
        for (qsizetype k = 0; k < size(); ++k)
            if (is(k, c))
                return true;
        return false;
    }
};

Chars trimmed(Chars text)
{
    const auto [from, to] = text.index->trimmed(text.begin, text.end);
    return {text.index, from, to};
}

// --- Inline --------------------------------------------------------------

// The first index at or after start where `length` copies of `marker`
// (1 or 2) begin, or -1.
qsizetype findRun(Chars text, char16_t marker, qsizetype length, qsizetype start)
{
    for (qsizetype k = start; k + length <= text.size(); ++k)
        if (text.is(k, marker) && (length == 1 || text.is(k + 1, marker)))
            return k;
    return -1;
}

// The first later occurrence of the same marker closes, with no rules on
// flanking; emphasis content is parsed again with the outer flags carried
// in. Content never holds its own closing marker, so the depth is bounded
// (at most "**", "__", "*", "_") and every level scans its range once.
void parseInlineInto(Chars text, Spans& out, bool bold, bool italic)
{
    const qsizetype n = text.size();
    qsizetype plainFrom = 0;
    const auto flush = [&](qsizetype to) {
        if (to > plainFrom)
            out.push_back({text.mid(plainFrom, to).toString(), bold, italic, false});
    };

    qsizetype i = 0;
    while (i < n) {
        if (text.is(i, u'`')) {
            const qsizetype close = findRun(text, u'`', 1, i + 1);
            if (close >= 0) {
                flush(i);
                out.push_back({text.mid(i + 1, close).toString(), bold, italic, true});
                i = plainFrom = close + 1;
                continue;
            }
        } else if (text.is(i, u'*') || text.is(i, u'_')) {
            const char16_t marker = text.is(i, u'*') ? u'*' : u'_';
            const qsizetype length = i + 1 < n && text.is(i + 1, marker) ? 2 : 1;
            const qsizetype contentFrom = i + length;
            const qsizetype close = findRun(text, marker, length, contentFrom);
            if (close > contentFrom) {
                flush(i);
                parseInlineInto(text.mid(contentFrom, close), out, bold || length == 2, italic || length == 1);
                i = plainFrom = close + length;
                continue;
            }
        }
        ++i;
    }
    flush(n);
}

Spans parseInlineChars(Chars text)
{
    Spans spans;
    parseInlineInto(text, spans, false, false);
    return spans;
}

// --- Line tests (all on trimmed lines) -----------------------------------

// The fence character ("`" before "~") when the line opens with three of
// them, else 0.
char16_t fenceMarker(Chars line)
{
    for (const char16_t c : {u'`', u'~'})
        if (line.size() >= 3 && line.is(0, c) && line.is(1, c) && line.is(2, c))
            return c;
    return 0;
}

bool closesFence(Chars line, char16_t marker)
{
    if (fenceMarker(line) == 0)
        return false;
    for (qsizetype k = 0; k < line.size(); ++k)
        if (!line.is(k, marker))
            return false;
    return true;
}

struct HeadingLine {
    int level = 0;
    Chars text;
};

std::optional<HeadingLine> parseHeading(Chars line)
{
    qsizetype hashes = 0;
    while (hashes < line.size() && hashes <= 6 && line.is(hashes, u'#'))
        ++hashes;
    if (hashes == 0 || hashes > 6 || hashes == line.size() || !line.is(hashes, u' '))
        return std::nullopt;
    return HeadingLine{int(hashes), trimmed(line.from(hashes))};
}

bool isBulletLine(Chars line)
{
    return line.size() >= 2 && (line.is(0, u'-') || line.is(0, u'*') || line.is(0, u'+')) && line.is(1, u' ');
}

struct NumberedLine {
    Chars marker;
    Chars text;
};

// Up to nine characters with a Unicode numeric type (so "三" and "٣" count),
// then ". ". At least one digit: a line starting ". " is no item.
std::optional<NumberedLine> parseNumberedItem(Chars line)
{
    constexpr qsizetype maxDigits = 9;
    qsizetype digits = 0;
    while (digits < line.size() && digits <= maxDigits && hasNumericType(line.codePoint(digits)))
        ++digits;
    if (digits == 0 || digits > maxDigits || digits + 1 >= line.size() || !line.is(digits, u'.')
        || !line.is(digits + 1, u' '))
        return std::nullopt;
    return NumberedLine{line.mid(0, digits + 1), line.from(digits + 2)};
}

// One table cell, trimmed: a slice of the line, or, when it holds a
// backslash, its own text with the escapes resolved.
struct Cell {
    Chars chars;
    std::optional<QString> unescaped;

    QStringView view() const { return unescaped ? QStringView(*unescaped) : chars.view(); }
    Spans spans() const { return unescaped ? parseInline(*unescaped) : parseInlineChars(chars); }
};

QString unescapedCell(Chars cell)
{
    QString text;
    for (qsizetype k = 0; k < cell.size(); ++k) {
        if (cell.is(k, u'\\') && ++k == cell.size())
            break;
        text += cell.index->at(cell.begin + k);
    }
    return trimSpaces(text).toString();
}

// The cells of a row, or nothing when the line holds no "|". One outer "|"
// is dropped on each side before escapes are read, so a row ending "\|"
// loses that pipe.
std::optional<std::vector<Cell>> splitTableRow(Chars line)
{
    if (!line.contains(u'|'))
        return std::nullopt;
    qsizetype from = 0;
    qsizetype to = line.size();
    if (line.is(from, u'|'))
        ++from;
    if (to > from && line.is(to - 1, u'|'))
        --to;

    std::vector<Cell> cells;
    qsizetype cellFrom = from;
    bool escaped = false;
    for (qsizetype k = from;; ++k) {
        if (k == to || line.is(k, u'|')) {
            const Chars cell = line.mid(cellFrom, k);
            if (escaped)
                cells.push_back({cell, unescapedCell(cell)});
            else
                cells.push_back({trimmed(cell), std::nullopt});
            if (k == to)
                break;
            cellFrom = k + 1;
            escaped = false;
        } else if (line.is(k, u'\\')) {
            escaped = true;
            if (k + 1 < to)
                ++k;
        }
    }
    return cells;
}

bool mayBeAlignmentRow(Chars line)
{
    bool dash = false;
    for (qsizetype k = 0; k < line.size(); ++k) {
        if (line.is(k, u'-'))
            dash = true;
        else if (!line.is(k, u'|') && !line.is(k, u':') && !line.is(k, u'\\') && !line.isSpace(k))
            return false;
    }
    return dash;
}

std::optional<std::vector<Alignment>> parseAlignmentRow(Chars line)
{
    if (!mayBeAlignmentRow(line))
        return std::nullopt;
    const auto cells = splitTableRow(line);
    if (!cells)
        return std::nullopt;
    std::vector<Alignment> alignments;
    alignments.reserve(cells->size());
    for (const Cell& cellText : *cells) {
        // Cells hold only "-", ":", "|" and spaces here, each a character of
        // its own, so code units are characters.
        const QStringView cell = cellText.view();
        const bool leadingColon = cell.startsWith(u':');
        const bool trailingColon = cell.endsWith(u':');
        QStringView dashes = cell;
        if (leadingColon)
            dashes = dashes.sliced(1);
        if (trailingColon && cell.size() >= 2)
            dashes.chop(1);
        if (dashes.isEmpty() || dashes.count(u'-') != dashes.size())
            return std::nullopt;
        alignments.push_back(leadingColon && trailingColon ? Alignment::center
                                 : trailingColon           ? Alignment::trailing
                                                           : Alignment::leading);
    }
    return alignments;
}

std::vector<Spans> parseCells(const std::vector<Cell>& cells, size_t columns)
{
    std::vector<Spans> parsed(columns);
    for (size_t c = 0; c < columns && c < cells.size(); ++c)
        parsed[c] = cells[c].spans();
    return parsed;
}

// --- Blocks ---------------------------------------------------------------

class BlockReader {
public:
    explicit BlockReader(const QString& source)
        : m_index(source)
    {
        m_lines.reserve(size_t(source.count(u'\n')) + 1);
        for (qsizetype lineFrom = 0;;) {
            const qsizetype end = m_index.nextLineEnd(lineFrom);
            qsizetype lineTo = end;
            // A CR LF pair is one character and the line end; a lone CR at
            // the very end is dropped the same way.
            if (end == m_index.size() && lineTo > lineFrom && m_index.isChar(lineTo - 1, u'\r'))
                --lineTo;
            const Chars inner = trimmed({&m_index, lineFrom, lineTo});
            m_lines.push_back({lineFrom, lineTo, inner.begin, inner.end});
            if (end == m_index.size())
                break;
            lineFrom = end + 1;
        }
    }

    std::vector<Block> read()
    {
        std::vector<Block> blocks;
        size_t i = 0;
        while (i < m_lines.size())
            i = readBlock(i, blocks);
        return blocks;
    }

private:
    size_t lineCount() const { return m_lines.size(); }
    Chars trimmedLine(size_t i) const { return {&m_index, m_lines[i].trimmedFrom, m_lines[i].trimmedTo}; }
    Chars rawLine(size_t i) const { return {&m_index, m_lines[i].from, m_lines[i].to}; }

    struct TableStart {
        std::vector<Cell> header;
        std::vector<Alignment> alignments;
    };

    std::optional<TableStart> tableAt(size_t i) const
    {
        if (i + 1 >= lineCount())
            return std::nullopt;
        auto alignments = parseAlignmentRow(trimmedLine(i + 1));
        if (!alignments)
            return std::nullopt;
        auto header = splitTableRow(trimmedLine(i));
        if (!header || header->size() != alignments->size())
            return std::nullopt;
        return TableStart{std::move(*header), std::move(*alignments)};
    }

    // Inline spans of several trimmed lines joined by one space; a single
    // line is parsed in place.
    Spans joinedSpans(const std::vector<Chars>& texts) const
    {
        if (texts.size() == 1)
            return parseInlineChars(texts.front());
        QString joined;
        for (size_t t = 0; t < texts.size(); ++t) {
            if (t > 0)
                joined += u' ';
            joined += texts[t].view();
        }
        return parseInline(joined);
    }

    // Reads the block that starts at line i, appends it and returns the
    // first line it did not take.
    size_t readBlock(size_t i, std::vector<Block>& blocks) const
    {
        const Chars line = trimmedLine(i);
        if (const char16_t marker = fenceMarker(line))
            return readCode(i, marker, blocks);
        if (line.isEmpty())
            return i + 1;
        if (const auto heading = parseHeading(line)) {
            blocks.push_back(Heading{heading->level, parseInlineChars(heading->text)});
            return i + 1;
        }
        if (isBulletLine(line)) {
            Bullet bullet;
            for (; i < lineCount() && isBulletLine(trimmedLine(i)); ++i)
                bullet.items.push_back(parseInlineChars(trimmedLine(i).from(2)));
            blocks.push_back(std::move(bullet));
            return i;
        }
        if (parseNumberedItem(line)) {
            Numbered numbered;
            for (; i < lineCount(); ++i) {
                const auto item = parseNumberedItem(trimmedLine(i));
                if (!item)
                    break;
                numbered.items.push_back({item->marker.toString(), parseInlineChars(item->text)});
            }
            blocks.push_back(std::move(numbered));
            return i;
        }
        if (auto table = tableAt(i))
            return readTable(i, std::move(*table), blocks);
        if (line.is(0, u'>')) {
            std::vector<Chars> texts;
            for (; i < lineCount() && !trimmedLine(i).isEmpty() && trimmedLine(i).is(0, u'>'); ++i)
                texts.push_back(trimmed(trimmedLine(i).from(1)));
            blocks.push_back(Quote{joinedSpans(texts)});
            return i;
        }
        std::vector<Chars> texts{line};
        for (++i; i < lineCount() && !endsParagraph(i); ++i)
            texts.push_back(trimmedLine(i));
        blocks.push_back(Paragraph{joinedSpans(texts)});
        return i;
    }

    bool endsParagraph(size_t i) const
    {
        const Chars line = trimmedLine(i);
        return line.isEmpty() || fenceMarker(line) || parseHeading(line) || isBulletLine(line)
            || parseNumberedItem(line) || line.is(0, u'>') || tableAt(i);
    }

    size_t readCode(size_t i, char16_t marker, std::vector<Block>& blocks) const
    {
        Code code;
        const Chars language = trimmed(trimmedLine(i).from(3));
        if (!language.isEmpty())
            code.language = language.toString();
        const size_t first = i + 1;
        size_t end = first;
        while (end < lineCount() && !closesFence(trimmedLine(end), marker))
            ++end;
        if (end > first) {
            code.text.reserve(m_index.offset(m_lines[end - 1].to) - m_index.offset(m_lines[first].from));
            for (size_t k = first; k < end; ++k) {
                if (k > first)
                    code.text += u'\n';
                code.text += rawLine(k).view();
            }
        }
        blocks.push_back(std::move(code));
        return end < lineCount() ? end + 1 : end;
    }

    size_t readTable(size_t i, TableStart start, std::vector<Block>& blocks) const
    {
        const size_t columns = start.header.size();
        Table table;
        table.header = parseCells(start.header, columns);
        table.alignments = std::move(start.alignments);
        size_t end = i + 2;
        while (end < lineCount() && trimmedLine(end).contains(u'|'))
            ++end;
        table.rows.reserve(end - i - 2);
        for (size_t k = i + 2; k < end; ++k)
            table.rows.push_back(parseCells(*splitTableRow(trimmedLine(k)), columns));
        blocks.push_back(std::move(table));
        return end;
    }

    GraphemeIndex m_index;
    struct Line {
        qsizetype from, to;               // without its line end
        qsizetype trimmedFrom, trimmedTo; // the same, trimmed
    };
    std::vector<Line> m_lines;
};

} // namespace

std::vector<Block> parse(const QString& source)
{
    return BlockReader(source).read();
}

Spans parseInline(const QString& text)
{
    const GraphemeIndex index(text);
    return parseInlineChars({&index, 0, index.size()});
}

} // namespace cvn::Markdown

#include "rendering/LineWrap.h"

#include <QPlainTextEdit>
#include <QTextBoundaryFinder>
#include <QTextDocument>
#include <QTextOption>

#include <algorithm>
#include <vector>

namespace cvn::LineWrap {

namespace {

// A word up to this long is left to the word mode even when it is wider than
// the line: measuring it once more per line costs little.
constexpr int kShortWord = 64;

// White space that ends a word; a no-break space joins its neighbours.
bool endsWord(QChar c)
{
    return c.isSpace() && c.decompositionTag() != QChar::NoBreak;
}

// Whether some run of characters between white space is longer than
// kShortWord; only then can a word be too long for the word mode.
bool hasLongWord(const QString& text)
{
    int run = 0;
    for (const QChar c : text) {
        run = endsWord(c) ? 0 : run + 1;
        if (run > kShortWord)
            return true;
    }
    return false;
}

// The positions after the first where Qt may end a line, in order: its line
// break opportunities, every white space (a word ends before it) and the end
// of the text. Finding more than Qt does only costs time, never a break.
std::vector<int> breakPositions(const QString& text)
{
    std::vector<int> positions;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Line, text);
    qsizetype next = finder.toNextBoundary();
    for (qsizetype at = 1; at < text.size(); ++at) {
        while (next != -1 && next < at)
            next = finder.toNextBoundary();
        if (next == at || text[at].isSpace())
            positions.push_back(int(at));
    }
    positions.push_back(int(text.size()));
    return positions;
}

// Walks a position list forward: the first position at or after `at`, for
// `at` that never decreases between calls.
class BreakCursor {
public:
    explicit BreakCursor(const std::vector<int>& positions) : m_positions(positions) {}

    int atOrAfter(int at)
    {
        while (m_index + 1 < m_positions.size() && m_positions[m_index] < at)
            ++m_index;
        return m_positions[m_index];
    }

private:
    const std::vector<int>& m_positions;
    size_t m_index = 0;
};

} // namespace

Work layOut(QTextLayout& layout, qreal width, const std::function<void(QTextLine&)>& place)
{
    const QString text = layout.text();
    const int length = int(text.size());
    const std::vector<int> breaks = hasLongWord(text) ? breakPositions(text) : std::vector<int>{};
    BreakCursor wordEnds(breaks);
    BreakCursor lineEnds(breaks);

    // Qt reads the wrap mode afresh for every line it lays out.
    QTextOption option = layout.textOption();
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    auto useMode = [&](QTextOption::WrapMode mode) {
        if (option.wrapMode() == mode)
            return;
        option.setWrapMode(mode);
        layout.setTextOption(option);
    };

    Work work;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        const int from = line.textStart();
        bool inLongWord = false;
        if (!breaks.empty() && from < length) {
            const int wordEnd = wordEnds.atOrAfter(from + 1);
            if (wordEnd - from > kShortWord) {
                useMode(QTextOption::WrapAnywhere);
                line.setLineWidth(width);
                const int end = from + line.textLength();
                work.scanned += end - from + 1;
                // When the word goes on for at least another line's worth, it
                // is wider than this line, and the word mode would give up on
                // it and break it anywhere: at this very place.
                inLongWord = wordEnd - end >= std::max(end - from, kShortWord);
                if (!inLongWord)
                    useMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
            }
        }
        if (!inLongWord) {
            line.setLineWidth(width);
            const int end = from + line.textLength();
            // The word mode measures up to the end of the word that did not
            // fit; a line that ends inside a word was measured a second time.
            if (breaks.empty()) {
                work.scanned += std::min(length, end + kShortWord) - from;
            } else {
                const int atEnd = end >= length ? length : lineEnds.atOrAfter(end);
                const int rejected = atEnd > end ? atEnd : (end >= length ? length : lineEnds.atOrAfter(end + 1));
                work.scanned += rejected - from + (atEnd > end ? end - from : 0);
            }
        }
        place(line);
        ++work.lines;
    }
    layout.endLayout();
    useMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    return work;
}

bool hasOverlongRun(QStringView text, qsizetype limit)
{
    qsizetype runStart = 0;
    for (qsizetype at = 0; at <= text.size(); ++at) {
        if (at < text.size() && !endsWord(text[at]))
            continue;
        const QStringView run = text.mid(runStart, at - runStart);
        runStart = at + 1;
        if (run.size() <= limit)
            continue;
        QTextBoundaryFinder finder(QTextBoundaryFinder::Line, run);
        qsizetype previous = 0;
        for (qsizetype next = finder.toNextBoundary(); next != -1; next = finder.toNextBoundary()) {
            if (next - previous > limit)
                return true;
            previous = next;
        }
    }
    return false;
}

void wrapEditorFor(QPlainTextEdit* editor, QStringView text)
{
    const QTextOption::WrapMode wrap = hasOverlongRun(text, longestWrappedRun)
        ? QTextOption::WrapAnywhere
        : QTextOption::WrapAtWordBoundaryOrAnywhere;
    if (editor->wordWrapMode() != wrap)
        editor->setWordWrapMode(wrap);
}

void followOverlongRuns(QPlainTextEdit* editor)
{
    const auto follow = [editor] { wrapEditorFor(editor, editor->document()->toRawText()); };
    // contentsChange comes before the document lays the change out.
    QObject::connect(editor->document(), &QTextDocument::contentsChange, editor, follow);
    follow();
}

} // namespace cvn::LineWrap

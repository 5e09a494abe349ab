#include "rendering/LineWrap.h"

#include <QPlainTextEdit>
#include <QTextBoundaryFinder>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextOption>

#include <algorithm>
#include <memory>
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

// How near a change RunTracker trusts a break it finds inside a run that had
// none before: a break this close may come from the change itself.
constexpr qsizetype kContext = 4;

// The runs of `text` between white space, as [start, end) in order, given to
// `each` until it returns false.
template <typename Fn>
void forEachRun(QStringView text, Fn&& each)
{
    qsizetype runStart = 0;
    for (qsizetype at = 0; at <= text.size(); ++at) {
        if (at < text.size() && !endsWord(text[at]))
            continue;
        if (at > runStart && !each(runStart, at))
            return;
        runStart = at + 1;
    }
}

// The line break opportunities of one run without white space, 0 and its
// end included, in order.
std::vector<qsizetype> runBreaks(QStringView run)
{
    std::vector<qsizetype> breaks{0};
    QTextBoundaryFinder finder(QTextBoundaryFinder::Line, run);
    for (qsizetype next = finder.toNextBoundary(); next != -1; next = finder.toNextBoundary())
        if (next > breaks.back())
            breaks.push_back(next);
    if (breaks.back() != run.size())
        breaks.push_back(run.size());
    return breaks;
}

// The over-long runs of `text` as [start, end), in order, given to `each`
// until it returns false.
template <typename Fn>
void forEachOverlongRun(QStringView text, qsizetype limit, Fn&& each)
{
    forEachRun(text, [&](qsizetype start, qsizetype end) {
        if (end - start <= limit)
            return true;
        const std::vector<qsizetype> breaks = runBreaks(text.sliced(start, end - start));
        for (size_t i = 1; i < breaks.size(); ++i) {
            if (breaks[i] - breaks[i - 1] > limit && !each(start + breaks[i - 1], start + breaks[i]))
                return false;
        }
        return true;
    });
}

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
    bool found = false;
    forEachOverlongRun(text, limit, [&](qsizetype, qsizetype) { return !(found = true); });
    return found;
}

Runs overlongRuns(QStringView text, qsizetype limit)
{
    Runs runs;
    forEachOverlongRun(text, limit, [&](qsizetype start, qsizetype end) {
        runs.emplace_back(start, end);
        return true;
    });
    return runs;
}

TextChange fitChange(qsizetype position, qsizetype removed, qsizetype added, qsizetype oldLength,
                     qsizetype newLength)
{
    TextChange change{position, std::min(removed, oldLength - position), std::min(added, newLength - position)};
    if (change.at < 0 || change.removed < 0 || change.added < 0
        || oldLength - change.removed + change.added != newLength)
        change = {0, oldLength, newLength};
    return change;
}

QString rawText(QTextDocument* document, qsizetype from, qsizetype to)
{
    QTextCursor cursor(document);
    cursor.setPosition(int(from));
    cursor.setPosition(int(to), QTextCursor::KeepAnchor);
    return cursor.selectedText();
}

qsizetype RunTracker::change(qsizetype position, qsizetype removed, qsizetype added, qsizetype newLength,
                             const Reader& read)
{
    const TextChange fitted = fitChange(position, removed, added, m_length, newLength);
    const qsizetype at = fitted.at;
    removed = fitted.removed;
    added = fitted.added;
    const qsizetype delta = added - removed;

    // Runs clear of the change stay (those after it move); the ones it
    // touches are found again below. Of those, the outermost ends tell
    // whether a run found at the edge of what is read goes on beyond it.
    Runs runs;
    Runs after;
    qsizetype outerStart = -1;
    qsizetype outerEnd = -1;
    for (const auto& [start, end] : m_runs) {
        if (end < at) {
            runs.emplace_back(start, end);
        } else if (start > at + removed) {
            after.emplace_back(start + delta, end + delta);
        } else {
            outerStart = outerStart < 0 ? start : std::min(outerStart, start);
            outerEnd = std::max(outerEnd, end >= at + removed ? end + delta : at + added);
        }
    }

    const qsizetype from = std::max<qsizetype>(0, at - m_limit - 1);
    const qsizetype to = std::min(newLength, at + added + m_limit + 1);
    const bool goesOnLeft = outerStart >= 0 && outerStart < from;
    const bool goesOnRight = outerEnd > to;
    const QString window = read(from, to);
    forEachRun(window, [&](qsizetype runStart, qsizetype runEnd) {
        const qsizetype start = from + runStart;
        const qsizetype end = from + runEnd;
        const bool openLeft = goesOnLeft && start == from;
        const bool openRight = goesOnRight && end == to;
        if (end < at || start > at + added || (end - start <= m_limit && !openLeft && !openRight))
            return true;
        const std::vector<qsizetype> breaks = runBreaks(QStringView(window).sliced(runStart, runEnd - runStart));
        // A break found in unchanged text of a run that had none there comes
        // from reading the run without its start (or end): it is not one.
        std::vector<qsizetype> real{start};
        for (size_t i = 1; i + 1 < breaks.size(); ++i) {
            const qsizetype place = start + breaks[i];
            if ((openLeft && place < at - kContext) || (openRight && place > at + added + kContext))
                continue;
            real.push_back(place);
        }
        real.push_back(end);
        if (openLeft)
            real.front() = outerStart;
        if (openRight)
            real.back() = outerEnd;
        for (size_t i = 1; i < real.size(); ++i) {
            if (real[i] - real[i - 1] > m_limit && real[i - 1] <= at + added && real[i] >= at)
                runs.emplace_back(real[i - 1], real[i]);
        }
        return true;
    });
    runs.insert(runs.end(), after.begin(), after.end());
    std::sort(runs.begin(), runs.end());
    runs.erase(std::unique(runs.begin(), runs.end()), runs.end());
    m_runs = std::move(runs);
    m_length = newLength;
    return window.size();
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
    QTextDocument* document = editor->document();
    auto tracker = std::make_shared<RunTracker>(longestWrappedRun);
    const auto follow = [editor, document, tracker](int position, int removed, int added) {
        // The raw text: paragraph separators end a run as line breaks do.
        tracker->change(position, removed, added, document->characterCount() - 1,
                        [document](qsizetype from, qsizetype to) { return rawText(document, from, to); });
        const QTextOption::WrapMode wrap =
            tracker->any() ? QTextOption::WrapAnywhere : QTextOption::WrapAtWordBoundaryOrAnywhere;
        if (editor->wordWrapMode() != wrap)
            editor->setWordWrapMode(wrap);
    };
    // contentsChange comes before the document lays the change out.
    QObject::connect(document, &QTextDocument::contentsChange, editor, follow);
    follow(0, 0, document->characterCount() - 1);
}

} // namespace cvn::LineWrap

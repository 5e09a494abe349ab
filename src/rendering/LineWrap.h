#pragma once

#include <QStringView>
#include <QTextLayout>

#include <functional>
#include <utility>
#include <vector>

class QPlainTextEdit;
class QTextDocument;

// Wrapping text into lines in time linear in its length.
//
// Qt's WrapAtWordBoundaryOrAnywhere first measures the whole word at the
// start of each line and only then breaks it anywhere when it is wider than
// the line, so a run without break opportunities costs the square of its
// length: a pasted megabyte of hex takes minutes. Lines that start inside
// such a run are laid out here with WrapAnywhere, which gives the very same
// line and measures only what fits; every other line is left to the word
// mode as before. The text itself is never touched.
namespace cvn::LineWrap {

// What a layout asked of Qt's line breaker: the characters it had to look at
// (counted from Qt's way of breaking, an upper bound) and the lines made.
struct Work {
    qint64 scanned = 0;
    int lines = 0;
};

// Lays the whole of `layout` out (beginLayout to endLayout) in lines of
// `width` pixels, with the breaks QTextOption::WrapAtWordBoundaryOrAnywhere
// gives. `place` is called once for each finished line to position it. The
// layout's wrap mode is WrapAtWordBoundaryOrAnywhere afterwards.
Work layOut(QTextLayout& layout, qreal width, const std::function<void(QTextLine&)>& place);

// Whether `text` holds a run of more than `limit` characters with no line
// break opportunity, which an editor should then wrap anywhere.
bool hasOverlongRun(QStringView text, qsizetype limit);

// A plain-text editor wraps every paragraph in one mode. While its text holds
// a run longer than this without a break opportunity, all of it wraps
// anywhere; no ordinary word or address comes near.
inline constexpr qsizetype longestWrappedRun = 2000;

// Sets `editor`'s wrap mode for `text`, its whole content: word wrapping, or
// WrapAnywhere while the text holds an over-long run. Call it before the
// editor lays a change out (on QTextDocument::contentsChange).
void wrapEditorFor(QPlainTextEdit* editor, QStringView text);

// The over-long runs of a text as [start, end) pairs in order: the stretches
// of more than `limit` characters between two line break opportunities that
// hasOverlongRun finds.
using Runs = std::vector<std::pair<qsizetype, qsizetype>>;
Runs overlongRuns(QStringView text, qsizetype limit);

// One change of a document's text, as QTextDocument::contentsChange reports
// it, made to fit the text: counts past either end (a whole new text comes
// with its closing separator counted on both sides) are cut to it, and a
// change that does not add up from `oldLength` to `newLength` is taken as a
// whole new text.
struct TextChange {
    qsizetype at = 0;
    qsizetype removed = 0;
    qsizetype added = 0;
};
TextChange fitChange(qsizetype position, qsizetype removed, qsizetype added, qsizetype oldLength,
                     qsizetype newLength);

// [from, to) of a document's text as it keeps it: paragraph and line
// separators, no-break spaces as typed.
QString rawText(QTextDocument* document, qsizetype from, qsizetype to);

// The over-long runs of a text that changes a piece at a time, as an
// editor's does, kept without reading the whole text again: a change is read
// only `limit` characters and a little more either side, so a key costs the
// same in a megabyte as in a line. A run that reaches past what is read is
// known to hold no break opportunity there, since it did before and that
// text did not change.
class RunTracker {
public:
    explicit RunTracker(qsizetype limit) : m_limit(limit) {}

    // Gives the text's [from, to), after the change.
    using Reader = std::function<QString(qsizetype from, qsizetype to)>;

    // Takes one change: at `position`, `removed` characters gave way to
    // `added` ones. Counts past either end (as QTextDocument reports for a
    // whole new text) are cut to the text. A change that does not fit the
    // lengths is taken as a new text. Returns how many characters it read.
    qsizetype change(qsizetype position, qsizetype removed, qsizetype added, qsizetype newLength,
                     const Reader& read);

    const Runs& runs() const { return m_runs; }
    bool any() const { return !m_runs.empty(); }
    qsizetype length() const { return m_length; }

private:
    qsizetype m_limit;
    qsizetype m_length = 0;
    Runs m_runs;
};

// Keeps `editor` wrapped as wrapEditorFor would, from now on, at every
// change, reading only around each change (a RunTracker).
void followOverlongRuns(QPlainTextEdit* editor);

} // namespace cvn::LineWrap

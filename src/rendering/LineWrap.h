#pragma once

#include <QStringView>
#include <QTextLayout>

#include <functional>

class QPlainTextEdit;

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

// Keeps `editor` wrapped by wrapEditorFor from now on, at every change.
void followOverlongRuns(QPlainTextEdit* editor);

} // namespace cvn::LineWrap

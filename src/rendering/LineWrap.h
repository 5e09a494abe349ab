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

// Keeps a plain-text editor's layout linear in its text from now on: word
// wrapping, or WrapAnywhere while the text holds a run of more than `limit`
// characters without a break opportunity (the editor has one mode for the
// whole document). Each change is looked at before the editor lays it out.
void followOverlongRuns(QPlainTextEdit* editor, qsizetype limit = 2000);

} // namespace cvn::LineWrap

#pragma once

#include "rendering/Markdown.h"

#include <QColor>
#include <QFont>
#include <QTextLayout>

// The one road from a span list to drawable text, shared by the Markdown
// view and the table cells: the fonts and colours of each span become
// format ranges of a QTextLayout, which the views lay out and paint
// themselves. Main thread only (fonts).
namespace cvn::SpanText {

// The type of one context: ordinary spans at pixelSize in "Inter-Regular",
// or "Inter-Medium" when bold or when the whole context is bold (headings,
// header cells); code spans monospaced at codePixelSize.
struct Style {
    int pixelSize = 16;
    int codePixelSize = 15;
    bool allBold = false;

    bool operator==(const Style&) const = default;
};

// The colours resolved for one paint: ordinary text and code spans.
struct Colors {
    QColor foreground;
    QColor code;

    bool operator==(const Colors&) const = default;
};

// Puts the spans' text and format ranges into `layout` (which must not be
// between beginLayout and endLayout). An empty list gives empty text whose
// one line still has the height of the ordinary face.
void fill(QTextLayout& layout, const Markdown::Spans& spans, const Style& style, const Colors& colors);

// Lays `layout` out in lines of at most `width` pixels (a word longer than
// that is broken), in time linear in the text, and returns the height in
// whole pixels.
int layOut(QTextLayout& layout, qreal width);

// The width of the layout's text on one unbroken line per hard break.
qreal naturalWidth(QTextLayout& layout);

} // namespace cvn::SpanText

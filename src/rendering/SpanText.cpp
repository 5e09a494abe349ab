#include "rendering/SpanText.h"

#include "rendering/LineWrap.h"
#include "ui_kit/Theme.h"

#include <QTextOption>

#include <cmath>

namespace cvn::SpanText {

namespace {

// The font of one span in `style`, traits included.
QFont spanFont(const Markdown::Span& span, const Style& style)
{
    const bool bold = span.bold || style.allBold;
    QFont font = span.code ? Theme::monospace(style.codePixelSize) : Theme::inter(bold ? 500 : 400, style.pixelSize);
    if (span.italic)
        font.setItalic(true);
    // The bold trait comes on top of the face: Inter-Medium turns bold.
    if (bold)
        font.setBold(true);
    return font;
}

} // namespace

void fill(QTextLayout& layout, const Markdown::Spans& spans, const Style& style, const Colors& colors)
{
    QString text;
    QList<QTextLayout::FormatRange> ranges;
    ranges.reserve(qsizetype(spans.size()));
    for (const Markdown::Span& span : spans) {
        if (span.text.isEmpty())
            continue;
        QTextLayout::FormatRange range;
        range.start = int(text.size());
        range.length = int(span.text.size());
        range.format.setFont(spanFont(span, style));
        range.format.setForeground(span.code ? colors.code : colors.foreground);
        ranges.append(range);
        text += span.text;
    }
    layout.clearLayout();
    layout.setText(text);
    layout.setFont(Theme::inter(style.allBold ? 500 : 400, style.pixelSize));
    layout.setFormats(ranges);
    layout.setCacheEnabled(true);
}

int layOut(QTextLayout& layout, qreal width)
{
    qreal y = 0;
    LineWrap::layOut(layout, qMax<qreal>(width, 1), [&y](QTextLine& line) {
        line.setPosition(QPointF(0, y));
        y += line.height();
    });
    return int(std::ceil(y));
}

qreal naturalWidth(QTextLayout& layout)
{
    QTextOption option = layout.textOption();
    option.setWrapMode(QTextOption::ManualWrap);
    layout.setTextOption(option);
    qreal widest = 0;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(1e6);
        widest = qMax(widest, line.naturalTextWidth());
    }
    layout.endLayout();
    return widest;
}

} // namespace cvn::SpanText

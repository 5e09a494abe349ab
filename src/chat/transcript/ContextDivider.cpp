#include "chat/transcript/ContextDivider.h"

#include "chat/transcript/MessageBubble.h"
#include "ui_kit/Theme.h"

#include <QFontMetricsF>
#include <QPainter>

#include <cmath>

namespace cvn {

const QString& ContextDivider::text()
{
    static const QString line = QStringLiteral("The model no longer sees the messages above");
    return line;
}

ContextDivider::ContextDivider(QWidget* parent) : QWidget(parent)
{
    setFixedHeight(rowHeight);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
    setAccessibleName(text());
    // Whole pixels that hold the fractional advance: a rounded-down width
    // would elide the last letters.
    m_textWidth = int(std::ceil(QFontMetricsF(Theme::interRegular13()).horizontalAdvance(text()))) + 1;
    Theme::repaintOnAppearanceChange(this);
}

QRect ContextDivider::textRect() const
{
    const int width = qMin(m_textWidth, this->width());
    return QRect((this->width() - width) / 2, 0, width, height());
}

void ContextDivider::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QRect words = textRect();
    const int y = height() / 2;
    // The hairlines span what the bubbles' text spans.
    const int left = MessageBubble::assistantLeading;
    const int right = width() - MessageBubble::assistantLeading;
    painter.setPen(QPen(Theme::ink10(), 1));
    if (words.left() - lineGap > left)
        painter.drawLine(QPointF(left, y + 0.5), QPointF(words.left() - lineGap, y + 0.5));
    if (words.right() + lineGap < right)
        painter.drawLine(QPointF(words.right() + lineGap, y + 0.5), QPointF(right, y + 0.5));
    painter.setPen(Theme::secondaryText());
    Theme::drawElidedLine(painter, words, Theme::interRegular13(), text(), Qt::AlignCenter);
}

} // namespace cvn

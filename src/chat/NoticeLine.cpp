#include "chat/NoticeLine.h"

#include "attachments/views/StagedStrip.h"
#include "ui_kit/Theme.h"

#include <QPainter>

namespace cvn {

NoticeLine::NoticeLine(const QString& text, QWidget* parent) : QWidget(parent), m_text(text)
{
    setFixedHeight(lineHeight);
    m_textWidth = Theme::textWidth(Theme::interMedium13(), text);
    setAccessibleName(text);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    m_mark = new WarningTriangle(Theme::cautionAmber, this);
    Theme::repaintOnAppearanceChange(this);
}

void NoticeLine::setText(const QString& text)
{
    if (text == m_text)
        return;
    m_text = text;
    m_textWidth = Theme::textWidth(Theme::interMedium13(), text);
    setAccessibleName(text);
    updateGeometry();
    update();
}

QSize NoticeLine::sizeHint() const
{
    return {markFrame + markGap + m_textWidth, lineHeight};
}

QRect NoticeLine::textRect() const
{
    const int left = (width() - sizeHint().width()) / 2;
    return QRect(left + markFrame + markGap, 0, m_textWidth, height());
}

void NoticeLine::resizeEvent(QResizeEvent*)
{
    // The mark centred in its frame, the frame just before the text.
    const QSize mark = WarningTriangle::extent;
    const int frameLeft = textRect().left() - markGap - markFrame;
    m_mark->move(frameLeft + (markFrame - mark.width()) / 2, (height() - mark.height()) / 2);
}

void NoticeLine::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setFont(Theme::interMedium13());
    painter.setPen(Theme::cautionAmber());
    painter.drawText(textRect(), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, m_text);
}

} // namespace cvn

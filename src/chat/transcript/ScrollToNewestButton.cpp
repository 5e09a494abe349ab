#include "chat/transcript/ScrollToNewestButton.h"

#include "chat/transcript/ChatScrollController.h"
#include "ui_kit/Theme.h"

#include <QPainter>
#include <QPainterPath>

namespace cvn {

ScrollToNewestButton::ScrollToNewestButton(QWidget* parent) : QAbstractButton(parent)
{
    setFixedSize(face, face);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::NoFocus);
    setToolTip(QStringLiteral("Scroll to newest"));
    setAccessibleName(QStringLiteral("Scroll to newest"));
    Theme::repaintOnAppearanceChange(this);
}

bool ScrollToNewestButton::shouldShow(int64_t turns, bool autoFollow, const ScrollMetrics& metrics)
{
    return turns > 0 && !autoFollow && metrics.contentHeight > metrics.viewportHeight;
}

QRect ScrollToNewestButton::frameIn(const QRect& area)
{
    return {area.left() + (area.width() - face) / 2, area.bottom() + 1 - liftAboveBottom - face, face, face};
}

void ScrollToNewestButton::connectTo(ChatScrollController* controller)
{
    m_controller = controller;
    connect(controller, &ChatScrollController::reported, this, &ScrollToNewestButton::updateVisibility);
    connect(controller, &ChatScrollController::followStateChanged, this, &ScrollToNewestButton::updateVisibility);
    connect(this, &QAbstractButton::clicked, controller, [controller] { controller->follower().scrollToNewest(); });
    updateVisibility();
}

void ScrollToNewestButton::updateVisibility()
{
    if (!m_controller)
        return;
    const TailFollower& f = m_controller->follower();
    setVisible(shouldShow(f.turnCount(), f.autoFollow(), f.metrics()));
}

bool ScrollToNewestButton::hitButton(const QPoint& pos) const
{
    const QPointF d = QPointF(pos) + QPointF(0.5, 0.5) - QRectF(rect()).center();
    return d.x() * d.x() + d.y() * d.y() <= face * face / 4.0;
}

void ScrollToNewestButton::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF disc(0, 0, face, face);
    p.setPen(Qt::NoPen);
    p.setBrush(Theme::ink());
    p.drawEllipse(disc);
    // The ring runs inside the disc's edge, so it never grows the face.
    const qreal half = ringWidth / 2.0;
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(Theme::neutralGrey(), ringWidth));
    p.drawEllipse(disc.adjusted(half, half, -half, -half));

    const QRectF chevron((face - chevronWidth) / 2.0, (face - chevronHeight) / 2.0, chevronWidth, chevronHeight);
    QPainterPath v;
    v.moveTo(chevron.topLeft());
    v.lineTo(chevron.center().x(), chevron.bottom());
    v.lineTo(chevron.topRight());
    QPen pen(Theme::surface(), 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    pen.setMiterLimit(10);
    p.setPen(pen);
    p.drawPath(v);
}

} // namespace cvn

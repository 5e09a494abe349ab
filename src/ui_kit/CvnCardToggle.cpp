#include "ui_kit/CvnCardToggle.h"

#include "ui_kit/Theme.h"

#include <QMouseEvent>
#include <QPainter>

namespace cvn {

namespace {
constexpr qreal kDisabledOpacity = 0.4;
constexpr qreal kOutline = 1;
} // namespace

CvnCardToggle::CvnCardToggle(bool isOn, const QString& label, bool isEnabled, QWidget* parent)
    : QWidget(parent), m_on(isOn), m_label(label), m_enabled(isEnabled)
{
    setFixedSize(kWidth, kHeight);
    // The switch keeps its own enabled flag instead of QWidget's: a disabled
    // QWidget would also silence the tooltip that explains why it is off.
    setAccessibleName(label);
    describe();
    Theme::repaintOnAppearanceChange(this);
}

void CvnCardToggle::setOn(bool on)
{
    if (on == m_on)
        return;
    m_on = on;
    describe();
    update();
}

void CvnCardToggle::setToggleEnabled(bool enabled)
{
    if (enabled == m_enabled)
        return;
    m_enabled = enabled;
    describe();
    update();
}

void CvnCardToggle::describe()
{
    setAccessibleDescription(!m_enabled ? QStringLiteral("unavailable")
                             : m_on     ? QStringLiteral("on")
                                        : QStringLiteral("off"));
}

void CvnCardToggle::toggleIfEnabled()
{
    if (m_enabled)
        emit writeRequested(!m_on);
}

void CvnCardToggle::mousePressEvent(QMouseEvent* event)
{
    m_pressed = event->button() == Qt::LeftButton;
    event->accept();
}

void CvnCardToggle::mouseReleaseEvent(QMouseEvent* event)
{
    // The whole rectangle takes the tap, transparent corners included.
    const bool tap = m_pressed && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
    m_pressed = false;
    event->accept();
    if (tap)
        toggleIfEnabled();
}

void CvnCardToggle::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    Theme::paintLayer(painter, size(), m_enabled ? 1.0 : kDisabledOpacity, [this](QPainter& p) {
        p.setRenderHint(QPainter::Antialiasing);
        const QRectF track(0, 0, kWidth, kHeight);
        const qreal r = kHeight / 2.0;
        if (m_on) {
            p.setPen(Qt::NoPen);
            p.setBrush(Theme::paper());
            p.drawRoundedRect(track, r, r);
        } else {
            Theme::strokeInside(p, track, r, Theme::neutralGrey(), kOutline);
        }
        const qreal x = m_on ? kWidth - kKnobInset - kKnob : kKnobInset;
        p.setPen(Qt::NoPen);
        p.setBrush(m_on ? Theme::ink() : Theme::neutralGrey());
        p.drawEllipse(QRectF(x, (kHeight - kKnob) / 2.0, kKnob, kKnob));
    });
}

} // namespace cvn

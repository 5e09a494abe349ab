#include "chat/composer/ComposerControls.h"

#include "ui_kit/Theme.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QPainter>
#include <QPainterPath>

namespace cvn {

namespace {

constexpr qreal kArcFraction = 0.22;
constexpr qreal kArcWidth = 4;
constexpr qreal kSquareRadius = 3;
constexpr int kSpinMs = 1000;
constexpr qreal kTrackRadius = 14;
constexpr qreal kOffOutline = 2;
constexpr int kKnobMargin = 2;

// Reports the switch's state as its value, the way a screen reader reads a
// switch: "on" or "off".
class CouncilToggleAccessible : public QAccessibleWidget {
public:
    explicit CouncilToggleAccessible(QWidget* widget) : QAccessibleWidget(widget, QAccessible::CheckBox) {}

    QString text(QAccessible::Text t) const override
    {
        auto* toggle = static_cast<QAbstractButton*>(widget());
        switch (t) {
        case QAccessible::Name: return QStringLiteral("Council");
        case QAccessible::Value: return toggle->isChecked() ? QStringLiteral("on") : QStringLiteral("off");
        default: return QAccessibleWidget::text(t);
        }
    }

    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.checkable = true;
        s.checked = static_cast<QAbstractButton*>(widget())->isChecked();
        return s;
    }
};

QAccessibleInterface* councilToggleFactory(const QString& className, QObject* object)
{
    if (className == QLatin1String("cvn::CouncilToggle") && object && object->isWidgetType())
        return new CouncilToggleAccessible(static_cast<QWidget*>(object));
    return nullptr;
}

} // namespace

StopDisc::StopDisc(QWidget* parent) : QAbstractButton(parent)
{
    setFixedSize(disc, disc);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::NoFocus);
    setAccessibleName(QStringLiteral("Stop"));
    m_spin.setStartValue(0.0);
    m_spin.setEndValue(360.0);
    m_spin.setDuration(kSpinMs);
    m_spin.setLoopCount(-1);
    connect(&m_spin, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        m_angle = value.toReal();
        update();
    });
    Theme::repaintOnAppearanceChange(this);
}

void StopDisc::setSpinning(bool spinning)
{
    m_spinning = spinning;
    updateSpin();
}

void StopDisc::updateSpin()
{
    // A disc shown again starts from 0, as a new one would.
    if (m_spinning && isVisible()) {
        if (m_spin.state() != QAbstractAnimation::Running)
            m_spin.start();
        return;
    }
    m_spin.stop();
    m_angle = 0;
    update();
}

void StopDisc::showEvent(QShowEvent* event)
{
    QAbstractButton::showEvent(event);
    updateSpin();
}

void StopDisc::hideEvent(QHideEvent* event)
{
    QAbstractButton::hideEvent(event);
    updateSpin();
}

bool StopDisc::hitButton(const QPoint& pos) const
{
    return QLineF(QPointF(pos), QRectF(rect()).center()).length() <= disc / 2.0;
}

void StopDisc::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF bounds(0, 0, disc, disc);
    const QColor surface = Theme::surface();
    p.setPen(Qt::NoPen);
    p.setBrush(Theme::ink());
    p.drawEllipse(bounds);

    QPen arc(surface, kArcWidth, Qt::SolidLine, Qt::RoundCap, Qt::MiterJoin);
    arc.setMiterLimit(10);
    p.setPen(arc);
    p.setBrush(Qt::NoBrush);
    const qreal inset = (disc - ring) / 2.0;
    // Qt's angles run counter-clockwise: negative spans turn clockwise on
    // screen, from 3 o'clock.
    p.drawArc(bounds.adjusted(inset, inset, -inset, -inset), qRound(-m_angle * 16),
              qRound(-kArcFraction * 360 * 16));

    p.setPen(Qt::NoPen);
    p.setBrush(surface);
    const qreal side = (disc - square) / 2.0;
    p.drawRoundedRect(bounds.adjusted(side, side, -side, -side), kSquareRadius, kSquareRadius);
}

CouncilToggle::CouncilToggle(QWidget* parent) : QAbstractButton(parent)
{
    static const bool registered = [] {
        QAccessible::installFactory(councilToggleFactory);
        return true;
    }();
    Q_UNUSED(registered);
    setCheckable(true);
    setFixedSize(trackWidth, trackHeight);
    setCursor(Qt::PointingHandCursor);
    setAccessibleName(QStringLiteral("Council"));
    connect(this, &QAbstractButton::toggled, this, [this](bool on) {
        QAccessibleValueChangeEvent event(this, on ? QStringLiteral("on") : QStringLiteral("off"));
        QAccessible::updateAccessibility(&event);
    });
    Theme::repaintOnAppearanceChange(this);
}

int CouncilToggle::knobX() const
{
    return isChecked() ? trackWidth - kKnobMargin - knob : kKnobMargin;
}

void CouncilToggle::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF track(0, 0, trackWidth, trackHeight);
    const QColor ink = Theme::ink();
    if (isChecked()) {
        p.setPen(Qt::NoPen);
        p.setBrush(ink);
        p.drawRoundedRect(track, kTrackRadius, kTrackRadius);
    } else {
        Theme::strokeInside(p, track, kTrackRadius, ink, kOffOutline);
    }
    p.setPen(Qt::NoPen);
    p.setBrush(isChecked() ? Theme::surface() : ink);
    p.drawEllipse(QRectF(knobX(), (trackHeight - knob) / 2.0, knob, knob));
}

ComposerGlass::ComposerGlass(QWidget* parent) : QWidget(parent)
{
    Theme::repaintOnAppearanceChange(this);
}

void ComposerGlass::paint(QPainter& painter, const QRectF& rect)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(rect, radius, radius);
    painter.fillPath(shape, Theme::surface());
    painter.fillPath(shape, Theme::ink10());
    painter.restore();
}

void ComposerGlass::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    paint(p, rect());
}

} // namespace cvn

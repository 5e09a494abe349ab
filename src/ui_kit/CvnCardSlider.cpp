#include "ui_kit/CvnCardSlider.h"

#include "ui_kit/Theme.h"

#include <QFontMetricsF>
#include <QMouseEvent>
#include <QPainter>
#include <QtMath>

#include <cmath>

namespace cvn {

namespace {

constexpr int kSliderHeight = 32;
constexpr qreal kTrackRadius = 3;
constexpr qreal kTickWidth = 2;
constexpr qreal kThumbRadius = 10;
constexpr qreal kThumbBorder = 1;
constexpr qreal kThumbDot = 12;
constexpr qreal kDisabledOpacity = 0.4;
constexpr qreal kHoverOpacity = 0.8;

constexpr qreal kRing = 20;
constexpr qreal kRingWidth = 2;
constexpr qreal kDot = 10;
constexpr int kLabelGap = 12;
constexpr int kRowPadding = 6;

} // namespace

CvnCardSlider::CvnCardSlider(int value, int steps, bool enabled, qreal trackHeight, qreal thumbSize,
                             QWidget* parent)
    : QWidget(parent), m_value(value), m_steps(steps), m_trackHeight(trackHeight), m_thumbSize(thumbSize)
{
    setEnabled(enabled);
    setFixedHeight(kSliderHeight);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    Theme::repaintOnAppearanceChange(this);
}

void CvnCardSlider::setValue(int value)
{
    if (value == m_value)
        return;
    m_value = value;
    update();
}

void CvnCardSlider::setSteps(int steps)
{
    m_steps = steps;
    update();
}

qreal CvnCardSlider::usableLength() const
{
    const qreal u = width() - m_thumbSize;
    return u <= 1 ? 1 : u;
}

QSize CvnCardSlider::sizeHint() const
{
    return {qCeil(m_thumbSize) * qMax(m_steps, 2), kSliderHeight};
}

void CvnCardSlider::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const qreal u = usableLength();
    const qreal fraction = m_steps < 2 ? 0 : qreal(m_value) / (m_steps - 1);
    // The layers are centred in a frame of max(thumb, 32) from the top, so a
    // thumb taller than the control overflows downwards.
    const qreal centreY = qMax(m_thumbSize, qreal(kSliderHeight)) / 2;
    const QColor onCard = Theme::onCard();
    const QColor card = Theme::card();

    Theme::paintLayer(painter, size(), isEnabled() ? 1.0 : kDisabledOpacity, [&](QPainter& p) {
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        const qreal trackTop = centreY - m_trackHeight / 2;
        p.setBrush(onCard);
        p.drawRoundedRect(QRectF(0, trackTop, width(), m_trackHeight), kTrackRadius, kTrackRadius);
        if (m_steps >= 2) {
            p.setBrush(card);
            for (int i = 0; i < m_steps; ++i) {
                const qreal x = u * i / (m_steps - 1) + m_thumbSize / 2 - kTickWidth / 2;
                p.drawRect(QRectF(x, trackTop, kTickWidth, m_trackHeight));
            }
        }
        const QRectF thumb(u * fraction, centreY - m_thumbSize / 2, m_thumbSize, m_thumbSize);
        p.setBrush(onCard);
        p.drawRoundedRect(thumb, kThumbRadius, kThumbRadius);
        Theme::strokeInside(p, thumb, kThumbRadius, card, kThumbBorder);
        p.setPen(Qt::NoPen);
        p.setBrush(card);
        p.drawEllipse(thumb.center(), kThumbDot / 2, kThumbDot / 2);
    });
}

void CvnCardSlider::writeFromPointer(qreal pointerX)
{
    // A single position leaves nothing to pick.
    if (m_steps < 2)
        return;
    const qreal u = usableLength();
    const qreal x = qBound<qreal>(0, pointerX - m_thumbSize / 2, u);
    const int position = int(std::round(x / u * (m_steps - 1)));
    m_value = position;
    update();
    emit valueWritten(position);
}

void CvnCardSlider::mousePressEvent(QMouseEvent* event)
{
    if (!isEnabled() || event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    writeFromPointer(event->position().x());
}

void CvnCardSlider::mouseMoveEvent(QMouseEvent* event)
{
    if (!isEnabled() || !(event->buttons() & Qt::LeftButton)) {
        event->ignore();
        return;
    }
    writeFromPointer(event->position().x());
}

CvnRadioButton::CvnRadioButton(const QString& label, bool isOn, bool enabled, std::function<void()> action,
                               QWidget* parent)
    : QAbstractButton(parent), m_isOn(isOn)
{
    setText(label);
    setEnabled(enabled);
    setAttribute(Qt::WA_Hover);
    QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
    if (action)
        connect(this, &QAbstractButton::clicked, this, [action = std::move(action)] { action(); });
    Theme::repaintOnAppearanceChange(this);
}

void CvnRadioButton::setOn(bool on)
{
    if (on == m_isOn)
        return;
    m_isOn = on;
    update();
}

QRectF CvnRadioButton::labelRect(int rowWidth) const
{
    const qreal left = kRing + kLabelGap;
    const qreal available = qMax<qreal>(1, rowWidth - left);
    const QRectF needed = QFontMetricsF(Theme::interMedium16())
                              .boundingRect(QRectF(0, 0, available, 1e6), Qt::TextWordWrap, text());
    return {left, 0, available, qCeil(needed.height()) + 0.0};
}

int CvnRadioButton::heightForWidth(int rowWidth) const
{
    return qCeil(qMax(kRing, labelRect(rowWidth).height())) + 2 * kRowPadding;
}

QSize CvnRadioButton::sizeHint() const
{
    const qreal advance = QFontMetricsF(Theme::interMedium16()).horizontalAdvance(text());
    const int w = int(kRing) + kLabelGap + qCeil(advance);
    return {w, heightForWidth(w)};
}

QSize CvnRadioButton::minimumSizeHint() const
{
    return {int(kRing) + kLabelGap, int(kRing) + 2 * kRowPadding};
}

bool CvnRadioButton::hitButton(const QPoint& pos) const
{
    return rect().contains(pos);
}

void CvnRadioButton::enterEvent(QEnterEvent* event)
{
    m_hovering = true;
    update();
    QAbstractButton::enterEvent(event);
}

void CvnRadioButton::leaveEvent(QEvent* event)
{
    m_hovering = false;
    update();
    QAbstractButton::leaveEvent(event);
}

void CvnRadioButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const qreal opacity = !isEnabled() ? kDisabledOpacity : m_hovering ? kHoverOpacity : 1.0;
    const QColor onCard = Theme::onCard();
    Theme::paintLayer(painter, size(), opacity, [&](QPainter& p) {
        p.setRenderHint(QPainter::Antialiasing);
        const QRectF content = QRectF(rect()).adjusted(0, kRowPadding, 0, -kRowPadding);
        const QPointF centre(kRing / 2, content.center().y());
        const QRectF ring(centre - QPointF(kRing / 2, kRing / 2), QSizeF(kRing, kRing));
        Theme::strokeInside(p, ring, kRing / 2, onCard, kRingWidth);
        if (m_isOn) {
            p.setPen(Qt::NoPen);
            p.setBrush(onCard);
            p.drawEllipse(centre, kDot / 2, kDot / 2);
        }
        QRectF label = labelRect(width());
        label.moveTop(content.center().y() - label.height() / 2);
        p.setFont(Theme::interMedium16());
        p.setPen(onCard);
        p.drawText(label, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextWordWrap, text());
    });
}

} // namespace cvn

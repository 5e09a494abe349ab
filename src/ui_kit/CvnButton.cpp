#include "ui_kit/CvnButton.h"

#include "ui_kit/Theme.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QtMath>

namespace cvn {

namespace {

constexpr int kFullHeight = 38;
constexpr int kCompactHeight = 30;
constexpr int kPillPadding = 16;
constexpr qreal kBorderWidth = 1;
constexpr qreal kFilledPressedOpacity = 0.85;
constexpr qreal kOutlinePressedOpacity = 0.8;
constexpr double kIconPressTint = 0.08;

struct PillLook {
    const QFont& font;
    DynamicColor label;
    const DynamicColor* fill; // null: outlined in the label colour
    int padding;
    qreal pressedOpacity;
    bool wraps;
};

PillLook pillLook(CvnButton::Style style)
{
    using S = CvnButton::Style;
    switch (style) {
    case S::SelectedPill:
        return {Theme::interMedium16(), Theme::card, &Theme::onCard, kPillPadding, kFilledPressedOpacity, false};
    case S::CompactSurfacePill:
        return {Theme::interMedium13(), Theme::pageBackground, &Theme::text, 0, kFilledPressedOpacity, true};
    case S::OutlinePill:
        return {Theme::interMedium16(), Theme::onCard, nullptr, kPillPadding, kOutlinePressedOpacity, false};
    case S::CompactOutlinePill:
        return {Theme::interMedium13(), Theme::onCard, nullptr, kPillPadding, kOutlinePressedOpacity, false};
    case S::Destructive:
    default:
        return {Theme::interMedium16(), Theme::onDestructive, &Theme::destructive, kPillPadding,
                kFilledPressedOpacity, false};
    }
}

} // namespace

CvnButton::CvnButton(Style style, const QString& text, QWidget* parent)
    : QAbstractButton(parent), m_style(style)
{
    setText(text);
    init();
}

CvnButton::CvnButton(Style style, QWidget* label, QWidget* parent)
    : QAbstractButton(parent), m_style(style), m_label(label)
{
    if (m_label) {
        m_label->setParent(this);
        m_label->setAttribute(Qt::WA_TransparentForMouseEvents);
    }
    init();
}

void CvnButton::init()
{
    if (isIconStyle() || m_style == Style::CompactOutlinePill)
        setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    else
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    Theme::repaintOnAppearanceChange(this);
}

bool CvnButton::isIconStyle() const
{
    return m_style == Style::Icon || m_style == Style::CompactIcon;
}

int CvnButton::padding() const
{
    if (m_style == Style::Icon)
        return 8;
    if (m_style == Style::CompactIcon)
        return 6;
    return pillLook(m_style).padding;
}

int CvnButton::pillHeight() const
{
    return m_style == Style::CompactSurfacePill || m_style == Style::CompactOutlinePill ? kCompactHeight
                                                                                        : kFullHeight;
}

qreal CvnButton::radius() const
{
    if (m_style == Style::Icon)
        return 19;
    if (m_style == Style::CompactIcon)
        return 15;
    return pillHeight() / 2.0;
}

QSize CvnButton::sizeHint() const
{
    if (isIconStyle()) {
        const QSize label = m_label ? m_label->sizeHint() : QSize();
        return label.expandedTo({0, 0}) + QSize(2 * padding(), 2 * padding());
    }
    const qreal advance = QFontMetricsF(pillLook(m_style).font).horizontalAdvance(text());
    // The compact surface pill centres its label without padding in whatever
    // width it gets; its natural width still keeps the label clear of the
    // rounded ends, which would otherwise cut into the first and last letters.
    const int room = m_style == Style::CompactSurfacePill ? kPillPadding : padding();
    return {qCeil(advance) + 2 * room, pillHeight()};
}

QSize CvnButton::minimumSizeHint() const
{
    if (isIconStyle() || m_style == Style::CompactOutlinePill)
        return sizeHint();
    // Full-width pills may be squeezed: their labels elide.
    return {pillHeight(), pillHeight()};
}

QPainterPath CvnButton::shape() const
{
    QPainterPath path;
    const qreal r = qMin(radius(), qMin(width(), height()) / 2.0);
    path.addRoundedRect(QRectF(rect()), r, r);
    return path;
}

bool CvnButton::hitButton(const QPoint& pos) const
{
    return shape().contains(QPointF(pos) + QPointF(0.5, 0.5));
}

void CvnButton::resizeEvent(QResizeEvent* event)
{
    QAbstractButton::resizeEvent(event);
    if (m_label) {
        const QSize size = m_label->sizeHint();
        m_label->setGeometry(QRect(QPoint((width() - size.width()) / 2, (height() - size.height()) / 2), size));
    }
}

void CvnButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF bounds(rect());
    const qreal r = qMin(radius(), qMin(width(), height()) / 2.0);

    if (isIconStyle()) {
        // The icon child keeps its own colour and opacity; only the tint shows.
        if (isDown()) {
            painter.setPen(Qt::NoPen);
            painter.setBrush(Theme::onCard.withAlpha(kIconPressTint)());
            painter.drawRoundedRect(bounds, r, r);
        }
        return;
    }

    const PillLook look = pillLook(m_style);
    const qreal opacity = isDown() ? look.pressedOpacity : 1.0;
    Theme::paintLayer(painter, size(), opacity, [&](QPainter& p) {
        p.setRenderHint(QPainter::Antialiasing);
        const QColor label = look.label();
        if (look.fill) {
            p.setPen(Qt::NoPen);
            p.setBrush((*look.fill)());
            p.drawRoundedRect(bounds, r, r);
        } else {
            Theme::strokeInside(p, bounds, r, label, kBorderWidth);
        }
        p.setPen(label);
        const QRectF textRect = bounds.adjusted(look.padding, 0, -look.padding, 0);
        if (look.wraps) {
            p.setFont(look.font);
            p.drawText(textRect, Qt::AlignCenter | Qt::TextWordWrap, text());
        } else {
            Theme::drawElidedLine(p, textRect, look.font, text(), Qt::AlignCenter);
        }
    });
}

} // namespace cvn

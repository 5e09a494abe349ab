#include "chat/sidebar/SidebarRow.h"

#include "ui_kit/Icons.h"
#include "ui_kit/Theme.h"

#include <QFontMetricsF>
#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QtMath>

namespace cvn {

namespace {

constexpr double kBadgeOpacity = 0.7;
constexpr double kDividerOpacity = 0.5;
constexpr int kBadgeInset = 8;
constexpr int kBadgeSpacing = 1;
// The small "C" sits one point higher than the "R" beside it.
constexpr int kSmallBadgeRaise = 1;
constexpr int kMorePadding = 8;

const QFont& badgeFont()
{
    static const QFont font = Theme::inter(500, 11);
    return font;
}

const QFont& smallBadgeFont()
{
    static const QFont font = Theme::inter(500, 7);
    return font;
}

// The chat's title over the row's full height: the whole rectangle selects,
// and nothing marks the press.
class RowTitleButton : public QAbstractButton {
public:
    explicit RowTitleButton(QWidget* parent) : QAbstractButton(parent)
    {
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
        setFocusPolicy(Qt::NoFocus);
    }

    QSize sizeHint() const override { return {0, SidebarRow::rowHeight}; }
    QSize minimumSizeHint() const override { return {0, 0}; }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::TextAntialiasing);
        painter.setPen(Theme::surface());
        Theme::drawElidedLine(painter, QRectF(rect()), Theme::interMedium16(), text());
    }
};

// The three dots with 8 points of padding around them, all of it clickable.
class MoreActionsButton : public QAbstractButton {
public:
    explicit MoreActionsButton(QWidget* parent) : QAbstractButton(parent)
    {
        setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
        setFocusPolicy(Qt::NoFocus);
        setAccessibleName(QStringLiteral("More actions"));
    }

    QSize sizeHint() const override
    {
        return MoreHorizontalIcon::naturalSize + QSize(2 * kMorePadding, 2 * kMorePadding);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        MoreHorizontalIcon::paint(painter, QRectF(QPointF(kMorePadding, kMorePadding),
                                                   QSizeF(MoreHorizontalIcon::naturalSize)));
    }
};

} // namespace

SidebarRow::SidebarRow(const ChatStore::Row& row, QWidget* parent) : QWidget(parent), m_row(row)
{
    setFixedHeight(rowHeight);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addSpacing(badgeWidth);

    m_title = new RowTitleButton(this);
    m_title->setText(row.title);
    m_title->setAccessibleName(row.title);
    layout->addWidget(m_title, 1);

    m_more = new MoreActionsButton(this);
    // Hidden until hovered, but the title never grows into its place.
    QSizePolicy policy = m_more->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    m_more->setSizePolicy(policy);
    m_more->hide();
    layout->addWidget(m_more, 0, Qt::AlignVCenter);

    connect(m_title, &QAbstractButton::clicked, this, &SidebarRow::onSelect);
    connect(m_more, &QAbstractButton::clicked, this, &SidebarRow::onMore);
    Theme::repaintOnAppearanceChange(this);
}

QString SidebarRow::badgeText(bool reasoning, bool council)
{
    if (reasoning && council)
        return QStringLiteral("RC");
    if (reasoning)
        return QStringLiteral("R");
    return council ? QStringLiteral("C") : QString();
}

void SidebarRow::setRow(const ChatStore::Row& row)
{
    if (row == m_row)
        return;
    const bool badgeChanged = row.reasoning != m_row.reasoning || row.council != m_row.council;
    m_row = row;
    if (m_title->text() != row.title) {
        m_title->setText(row.title);
        m_title->setAccessibleName(row.title);
    }
    if (badgeChanged)
        update(QRect(0, 0, badgeWidth, rowHeight));
}

void SidebarRow::setHovering(bool hovering)
{
    if (m_hovering == hovering)
        return;
    m_hovering = hovering;
    m_more->setVisible(hovering);
}

void SidebarRow::enterEvent(QEnterEvent* event)
{
    QWidget::enterEvent(event);
    setHovering(true);
}

void SidebarRow::leaveEvent(QEvent* event)
{
    QWidget::leaveEvent(event);
    setHovering(false);
}

void SidebarRow::hideEvent(QHideEvent* event)
{
    // A row parked for reuse comes back under another pointer position.
    QWidget::hideEvent(event);
    setHovering(false);
}

void SidebarRow::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);

    const QString badge = badgeText(m_row.reasoning, m_row.council);
    if (!badge.isEmpty()) {
        // The letters stand top-aligned in a line centred on the row.
        const QFontMetricsF big(badgeFont());
        const qreal top = (rowHeight - big.height()) / 2;
        painter.setPen(Theme::surface.withAlpha(kBadgeOpacity)());
        painter.setFont(badgeFont());
        const QString first = badge.left(1);
        painter.drawText(QPointF(kBadgeInset, top + big.ascent()), first);
        if (badge.size() > 1) {
            const QFontMetricsF small(smallBadgeFont());
            painter.setFont(smallBadgeFont());
            painter.drawText(QPointF(kBadgeInset + big.horizontalAdvance(first) + kBadgeSpacing,
                                     top - kSmallBadgeRaise + small.ascent()),
                             badge.mid(1));
        }
    }

    painter.setPen(Qt::NoPen);
    painter.setBrush(Theme::surface.withAlpha(kDividerOpacity)());
    painter.drawRoundedRect(QRectF(badgeWidth, rowHeight - dividerHeight, dividerWidth, dividerHeight), 1, 1);
}

FooterRowButton::FooterRowButton(const QString& text, QWidget* parent) : QAbstractButton(parent)
{
    setText(text);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setFocusPolicy(Qt::NoFocus);
    Theme::repaintOnAppearanceChange(this);
}

QSize FooterRowButton::sizeHint() const
{
    const QFontMetricsF metrics(Theme::interMedium16());
    return {qCeil(metrics.horizontalAdvance(text())), qCeil(metrics.height()) + 2 * verticalPadding};
}

QSize FooterRowButton::minimumSizeHint() const
{
    return {0, sizeHint().height()};
}

bool FooterRowButton::hitButton(const QPoint& pos) const
{
    QPainterPath shape;
    const qreal r = qMin(radius, qMin(width(), height()) / 2.0);
    shape.addRoundedRect(QRectF(rect()), r, r);
    return shape.contains(QPointF(pos) + QPointF(0.5, 0.5));
}

void FooterRowButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (isDown()) {
        const qreal r = qMin(radius, qMin(width(), height()) / 2.0);
        painter.setPen(Qt::NoPen);
        painter.setBrush(Theme::surface.withAlpha(pressedOpacity)());
        painter.drawRoundedRect(QRectF(rect()), r, r);
    }
    painter.setPen(Theme::surface());
    Theme::drawElidedLine(painter, QRectF(rect()), Theme::interMedium16(), text());
}

} // namespace cvn

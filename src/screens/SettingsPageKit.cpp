#include "screens/SettingsPageKit.h"

#include "ui_kit/CentredCardLayout.h"
#include "ui_kit/CvnDialogCard.h"
#include "ui_kit/Icons.h"

#include <QFontMetrics>
#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

namespace cvn {

using namespace SettingsKit;

namespace {

constexpr int kTitleGap = 10;
constexpr int kHeaderGap = 6;
constexpr QSize kBackFrame{56, 19};
constexpr qreal kBackScale = 7.0 / 11.0;
constexpr qreal kChevronScale = 5.0 / 7.0;
constexpr int kTrailingSpacing = 10;
constexpr qreal kDividerOpacity = 0.5;
constexpr qreal kDividerRadius = 1;
constexpr qreal kCheckStroke = 1.2;
constexpr int kGlyphFrame = 10;
constexpr int kCheckFrame = 13;

QPen roundStroke(const QColor& color, qreal width)
{
    QPen pen(color, width);
    pen.setCapStyle(Qt::RoundCap);
    pen.setJoinStyle(Qt::RoundJoin);
    pen.setMiterLimit(10);
    return pen;
}

// The back arrow scaled about its top-leading corner into the 56×19 frame.
class BackGlyph : public QWidget {
public:
    explicit BackGlyph(QWidget* parent = nullptr) : QWidget(parent) { Theme::repaintOnAppearanceChange(this); }
    QSize sizeHint() const override { return kBackFrame; }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const QSizeF natural = BackArrowIcon::naturalSize;
        BackArrowIcon::paint(p, QRectF(QPointF(0, 0), natural * kBackScale));
    }
};

// The page column: as wide as its widest allowance, so the centring layout
// that holds it gives it that width rather than its children's smallest.
class PageColumn : public QWidget {
public:
    QSize sizeHint() const override
    {
        const int w = kColumnMaxWidth + 2 * kColumnInset;
        return {w, layout() ? layout()->totalHeightForWidth(w) : 0};
    }
};

} // namespace

OneLineText::OneLineText(const QString& text, const QFont& font, DynamicColor color, QWidget* parent)
    : QWidget(parent), m_text(text), m_font(font), m_color(color)
{
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    setAccessibleName(text);
    Theme::repaintOnAppearanceChange(this);
}

void OneLineText::setText(const QString& text)
{
    if (text == m_text)
        return;
    m_text = text;
    setAccessibleName(text);
    updateGeometry();
    update();
}

QSize OneLineText::sizeHint() const
{
    return {Theme::textWidth(m_font, m_text), QFontMetrics(m_font).height()};
}

QSize OneLineText::minimumSizeHint() const
{
    // Shortened with an ellipsis rather than pushing the row wider.
    return {0, QFontMetrics(m_font).height()};
}

void OneLineText::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setPen(m_color());
    Theme::drawElidedLine(p, QRectF(rect()), m_font, m_text);
}

PageTitle::PageTitle(const QString& text, QWidget* parent) : QWidget(parent)
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, kTitleGap);
    m_text = new DialogText(text, Theme::interRegular32(), Theme::ink, this);
    m_text->setAlignment(Qt::AlignHCenter);
    layout->addWidget(m_text);
}

SectionHeader::SectionHeader(const QString& text, int top, QWidget* parent)
    : OneLineText(text, Theme::interMedium13(), Theme::mutedOnPaper, parent), m_top(top)
{
}

QSize SectionHeader::sizeHint() const
{
    return OneLineText::sizeHint() + QSize(0, m_top + kHeaderGap);
}

QSize SectionHeader::minimumSizeHint() const
{
    return OneLineText::minimumSizeHint() + QSize(0, m_top + kHeaderGap);
}

void SectionHeader::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setPen(color()());
    const int line = QFontMetrics(Theme::interMedium13()).height();
    Theme::drawElidedLine(p, QRectF(0, m_top, width(), line), Theme::interMedium13(), text());
}

PageBackButton::PageBackButton(const QString& label, std::function<void()> action, QWidget* parent)
    : CvnCompactIconButton(new BackGlyph, parent)
{
    setToolTip(label);
    setAccessibleName(label);
    if (action)
        connect(this, &QAbstractButton::clicked, this, [action = std::move(action)] { action(); });
}

CardRowDivider::CardRowDivider(QWidget* parent) : QWidget(parent)
{
    setFixedHeight(kDividerHeight);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    Theme::repaintOnAppearanceChange(this);
}

void CardRowDivider::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(Theme::paper.withAlpha(kDividerOpacity)());
    p.drawRoundedRect(QRectF(rect()).adjusted(kRowInset, 0, -kRowInset, 0), kDividerRadius, kDividerRadius);
}

void paintInkCard(QPainter& painter, const QRectF& rect, qreal radius)
{
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Theme::ink());
    painter.drawRoundedRect(rect, radius, radius);
}

void paintChevronRight(QPainter& painter, const QRectF& frame, qreal k)
{
    // A V pointing down, turned a quarter counter-clockwise about its centre
    // so the tip points right.
    QPainterPath v;
    v.moveTo(k, k);
    v.lineTo(7 * k, 7 * k);
    v.lineTo(13 * k, k);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(frame.center());
    painter.rotate(-90);
    painter.translate(-7 * k, -4 * k);
    painter.setPen(roundStroke(Theme::paper(), 2 * k));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(v);
    painter.restore();
}

void paintCheckMark(QPainter& painter, const QRectF& frame)
{
    QPainterPath path;
    path.moveTo(0.5, 6.5);
    path.lineTo(4.5, 10.5);
    path.lineTo(12.5, 2.5);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(frame.topLeft());
    painter.setPen(roundStroke(Theme::paper(), kCheckStroke));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(path);
    painter.restore();
}

CardRowButton::CardRowButton(const QString& title, Trailing trailing, std::function<void()> action, QWidget* parent)
    : QAbstractButton(parent), m_trailing(trailing)
{
    setText(title);
    setAccessibleName(title);
    setFixedHeight(kRowHeight);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setCursor(Qt::ArrowCursor);
    if (action)
        connect(this, &QAbstractButton::clicked, this, [action = std::move(action)] { action(); });
    // The highlight follows the pressed state, which QAbstractButton changes
    // without a repaint of its own only for styled buttons.
    connect(this, &QAbstractButton::pressed, this, qOverload<>(&QWidget::update));
    connect(this, &QAbstractButton::released, this, qOverload<>(&QWidget::update));
    Theme::repaintOnAppearanceChange(this);
}

void CardRowButton::setTrailing(Trailing trailing)
{
    if (trailing == m_trailing)
        return;
    m_trailing = trailing;
    update();
}

QSize CardRowButton::sizeHint() const
{
    const int glyph = m_trailing == Trailing::None ? 0 : kTrailingSpacing + kCheckFrame;
    return {2 * kRowInset + Theme::textWidth(Theme::interMedium13(), text()) + glyph, kRowHeight};
}

QSize CardRowButton::minimumSizeHint() const
{
    return {2 * kRowInset, kRowHeight};
}

void CardRowButton::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    if (isDown()) {
        // Cut to the card's corners: the first and last rows meet them.
        const QWidget* card = parentWidget();
        Theme::fillWithinCard(p, this, card ? card : this, kCardRadius, Theme::paper.withAlpha(kPressedTint)());
    }
    qreal right = width() - kRowInset;
    if (m_trailing != Trailing::None) {
        const int frame = m_trailing == Trailing::Chevron ? kGlyphFrame : kCheckFrame;
        const QRectF glyph(right - frame, (height() - frame) / 2.0, frame, frame);
        if (m_trailing == Trailing::Chevron)
            paintChevronRight(p, glyph, kChevronScale);
        else
            paintCheckMark(p, glyph);
        right = glyph.left() - kTrailingSpacing;
    }
    p.setPen(Theme::paper());
    Theme::drawElidedLine(p, QRectF(kRowInset, 0, right - kRowInset, height()), Theme::interMedium13(), text());
}

SettingsCard::SettingsCard(QWidget* parent) : QWidget(parent)
{
    m_rows = new QVBoxLayout(this);
    m_rows->setContentsMargins(0, 0, 0, 0);
    m_rows->setSpacing(0);
    // Preferred, not Fixed: rows with wrapping text make the height depend
    // on the width, which a fixed height taken from sizeHint() would ignore.
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    Theme::repaintOnAppearanceChange(this);
}

void SettingsCard::addRow(QWidget* row)
{
    if (m_count++ > 0)
        m_rows->addWidget(new CardRowDivider(this));
    m_rows->addWidget(row);
}

void SettingsCard::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    paintInkCard(p, QRectF(rect()), kCardRadius);
}

SettingsPageFrame::SettingsPageFrame(int verticalMargin, QWidget* column, PageBackButton* back, QWidget* parent)
    : QWidget(parent), m_back(back)
{
    m_scroller = new CentredCardLayout(verticalMargin, column, this);
    back->setParent(this);
    back->move(kBackPosition);
    back->resize(back->sizeHint());
    back->raise();
    Theme::repaintOnAppearanceChange(this);
}

OneLineText* cardText(const QString& text, DynamicColor color)
{
    return new OneLineText(text, Theme::interMedium13(), color);
}

QHBoxLayout* addControlRow(SettingsCard* card, const QString& title, QVBoxLayout** stack)
{
    auto* row = new QWidget;
    auto* layout = new QVBoxLayout(row);
    layout->setContentsMargins(kControlRowInsets);
    layout->setSpacing(kControlRowSpacing);
    auto* head = new QHBoxLayout;
    head->setContentsMargins(0, 0, 0, 0);
    head->setSpacing(10);
    head->addWidget(cardText(title), 1);
    layout->addLayout(head);
    card->addRow(row);
    if (stack)
        *stack = layout;
    return head;
}

QWidget* SettingsPageFrame::pageColumn(QVBoxLayout** layout)
{
    auto* column = new PageColumn;
    column->setMaximumWidth(kColumnMaxWidth + 2 * kColumnInset);
    auto* stack = new QVBoxLayout(column);
    stack->setContentsMargins(kColumnInset, kColumnInset, kColumnInset, kColumnInset);
    stack->setSpacing(kColumnSpacing);
    *layout = stack;
    return column;
}

void SettingsPageFrame::paintEvent(QPaintEvent*)
{
    QPainter(this).fillRect(rect(), Theme::paper());
}

void SettingsPageFrame::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    m_scroller->setGeometry(rect());
    m_back->raise();
}

} // namespace cvn

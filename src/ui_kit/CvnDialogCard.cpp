#include "ui_kit/CvnDialogCard.h"

#include <QBoxLayout>
#include <QPainter>
#include <QTextOption>
#include <QtMath>

#include <algorithm>

namespace cvn {

namespace {
constexpr qreal kBorderWidth = 1;
// Far wider than any card: the natural one-line width of a text.
constexpr qreal kUnboundedWidth = 1e6;
} // namespace

DialogText::DialogText(const QString& text, const QFont& font, DynamicColor color, QWidget* parent)
    : QWidget(parent), m_font(font), m_color(color)
{
    // QTextLayout breaks lines only at the Unicode line separator.
    m_text = text;
    m_text.replace(QLatin1Char('\n'), QChar::LineSeparator);
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
    Theme::repaintOnAppearanceChange(this);
}

void DialogText::setAlignment(Qt::Alignment alignment)
{
    m_alignment = alignment;
    m_layoutWidth = -1;
    update();
}

void DialogText::setBox(DynamicColor fill, qreal radius, QMargins padding)
{
    m_fill = fill;
    m_radius = radius;
    m_padding = padding;
    m_layoutWidth = -1;
    updateGeometry();
    update();
}

const QTextLayout& DialogText::layoutFor(qreal textWidth) const
{
    textWidth = qMax<qreal>(textWidth, 1);
    if (m_layout && m_layoutWidth == textWidth)
        return *m_layout;
    m_layout = std::make_unique<QTextLayout>(m_text, m_font);
    QTextOption option(m_alignment);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    m_layout->setTextOption(option);
    m_layout->beginLayout();
    qreal y = 0;
    for (QTextLine line = m_layout->createLine(); line.isValid(); line = m_layout->createLine()) {
        line.setLineWidth(textWidth);
        line.setPosition(QPointF(0, y));
        y += line.height();
    }
    m_layout->endLayout();
    m_layoutWidth = textWidth;
    m_layoutHeight = y;
    return *m_layout;
}

int DialogText::lineCount() const
{
    return layoutFor(width() - m_padding.left() - m_padding.right()).lineCount();
}

int DialogText::heightForWidth(int width) const
{
    layoutFor(width - m_padding.left() - m_padding.right());
    return qCeil(m_layoutHeight) + m_padding.top() + m_padding.bottom();
}

QSize DialogText::sizeHint() const
{
    const QTextLayout& natural = layoutFor(kUnboundedWidth);
    qreal widest = 0;
    for (int i = 0; i < natural.lineCount(); ++i)
        widest = qMax(widest, natural.lineAt(i).naturalTextWidth());
    const int w = qCeil(widest) + m_padding.left() + m_padding.right();
    return {w, heightForWidth(w)};
}

QSize DialogText::minimumSizeHint() const
{
    // Any width: the text wraps, and the layout asks heightForWidth.
    return {0, QFontMetrics(m_font).height() + m_padding.top() + m_padding.bottom()};
}

void DialogText::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    if (m_fill) {
        p.setPen(Qt::NoPen);
        p.setBrush((*m_fill)());
        p.drawRoundedRect(QRectF(rect()), m_radius, m_radius);
    }
    const QTextLayout& layout = layoutFor(width() - m_padding.left() - m_padding.right());
    p.setPen(m_color());
    layout.draw(&p, QPointF(m_padding.left(), m_padding.top()));
}

DialogCard::DialogCard(QWidget* parent) : CardSurface(kRadius, parent)
{
    setFixedWidth(kWidth);
    m_content = new QVBoxLayout(this);
    m_content->setContentsMargins(kPadding);
    m_content->setSpacing(DialogMetrics::kSpacing);
}

void DialogCard::paintEvent(QPaintEvent* event)
{
    CardSurface::paintEvent(event);
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    Theme::strokeInside(p, QRectF(rect()), kRadius, Theme::muted(), kBorderWidth);
}

CvnButton* makeDialogButton(CvnButton::Style style, const QString& text, const QString& objectName,
                            std::function<void()> action, QWidget* card)
{
    auto* button = new CvnButton(style, text, card);
    button->setObjectName(objectName);
    QObject::connect(button, &QAbstractButton::clicked, button, [action = std::move(action)] {
        if (action)
            action();
    });
    return button;
}

void cancelOnDismiss(ModalOverlay* overlay, std::function<void()> onCancel)
{
    QObject::connect(overlay, &ModalOverlay::dismissed, overlay, [onCancel = std::move(onCancel)] {
        if (onCancel)
            onCancel();
    });
}

void addButtonRow(QBoxLayout* column, const QList<CvnButton*>& buttons, int rowWidth, int spacing)
{
    // The stretch and the pills share the row equally, as the design's stack
    // does; QBoxLayout's own stretch arithmetic gives uneven pills, so each
    // pill's width is settled here. The card's width is fixed, so this holds.
    const qsizetype n = buttons.size();
    const int share = n > 0 ? int((rowWidth - spacing * n) / (n + 1)) : 0;
    int natural = 0;
    for (CvnButton* button : buttons)
        natural += qMax(DialogMetrics::kButtonMinWidth, button->sizeHint().width()) + spacing;
    const bool labelsFit = natural <= rowWidth;
    auto* row = new QHBoxLayout;
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(spacing);
    row->addStretch(1);
    for (CvnButton* button : buttons) {
        const int label = labelsFit ? button->sizeHint().width() : 0;
        button->setFixedWidth(std::max({DialogMetrics::kButtonMinWidth, share, label}));
        row->addWidget(button);
    }
    column->addLayout(row);
}

} // namespace cvn

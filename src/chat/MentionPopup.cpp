#include "chat/MentionPopup.h"

#include "ui_kit/Theme.h"

#include <QEvent>
#include <QGraphicsBlurEffect>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPropertyAnimation>
#include <QScrollArea>
#include <QScrollBar>

namespace cvn {

namespace {

constexpr int kBodyHeight = 44;
constexpr int kHighlightInset = 4;
constexpr int kTextPadding = 16;
constexpr qreal kHighlightRadius = 10;
constexpr double kHighlightAlpha = 31.0 / 255.0;
constexpr double kDividerAlpha = 0.15;
constexpr int kDividerInset = 20;
constexpr qreal kCardRadius = 34;
constexpr int kScrollMs = 150;
constexpr double kShadowAlpha = 0.25;
constexpr qreal kShadowBlur = 32; // the blur of a 16-pixel shadow radius
constexpr int kShadowReach = 40;    // room around the card for the blur
constexpr QPointF kShadowOffset{0, 6};
// The scroll indicator: a thin thumb kept clear of the card's round corners.
constexpr qreal kIndicatorWidth = 4;
constexpr qreal kIndicatorRight = 6;
constexpr qreal kIndicatorEnds = 26;
constexpr double kIndicatorAlpha = 0.35;

} // namespace

// The card's shadow, a sibling just under the popup on the same page: it
// reaches past the popup's frame, where the popup itself must not take
// clicks. The blurred image is made once per size.
class PopupShadow : public QWidget {
public:
    explicit PopupShadow(MentionPopup* popup) : QWidget(popup->parentWidget()), m_popup(popup)
    {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setFocusPolicy(Qt::NoFocus);
        hide();
    }

    void follow()
    {
        if (parentWidget() != m_popup->parentWidget())
            setParent(m_popup->parentWidget());
        if (!parentWidget() || !m_popup->isVisible()) {
            hide();
            return;
        }
        setGeometry(m_popup->geometry().adjusted(-kShadowReach, -kShadowReach, kShadowReach, kShadowReach));
        show();
        stackUnder(m_popup);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        if (m_image.size() != size())
            m_image = makeImage(size());
        QPainter(this).drawImage(0, 0, m_image);
    }

private:
    static QImage makeImage(QSize size)
    {
        QImage shape(size, QImage::Format_ARGB32_Premultiplied);
        shape.fill(Qt::transparent);
        {
            QPainter p(&shape);
            p.setRenderHint(QPainter::Antialiasing);
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(0, 0, 0, qRound(kShadowAlpha * 255)));
            const QRectF card(kShadowReach + MentionPopup::sideMargin, kShadowReach,
                              size.width() - 2 * (kShadowReach + MentionPopup::sideMargin),
                              size.height() - 2 * kShadowReach - MentionPopup::bottomMargin);
            p.drawRoundedRect(card.translated(kShadowOffset), kCardRadius, kCardRadius);
        }
        QGraphicsScene scene;
        auto* item = new QGraphicsPixmapItem(QPixmap::fromImage(shape));
        auto* blur = new QGraphicsBlurEffect;
        blur->setBlurRadius(kShadowBlur);
        blur->setBlurHints(QGraphicsBlurEffect::QualityHint);
        item->setGraphicsEffect(blur);
        scene.addItem(item);
        QImage blurred(size, QImage::Format_ARGB32_Premultiplied);
        blurred.fill(Qt::transparent);
        QPainter p(&blurred);
        scene.render(&p, QRectF(QPointF(), size), QRectF(QPointF(), size));
        return blurred;
    }

    MentionPopup* m_popup;
    QImage m_image;
};

// The painted rows. Hover and clicks are hit-tested by row, so the margins
// beside the highlight and the dividers belong to their row.
class MentionRows : public QWidget {
public:
    MentionRows(MentionPopup* popup) : QWidget(nullptr), m_popup(popup)
    {
        setMouseTracking(true);
        setAttribute(Qt::WA_OpaquePaintEvent, false);
    }

    int rowAt(int y) const
    {
        const int row = y / MentionPopup::rowHeight;
        return y >= 0 && row < m_popup->models().size() ? row : -1;
    }

    void forgetHover() { m_hovered = -1; }

protected:
    void paintEvent(QPaintEvent* event) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const QColor paper = Theme::paper();
        const QList<ModelInfo>& models = m_popup->models();
        const qsizetype n = models.size();
        const int first = qMax(0, event->rect().top() / MentionPopup::rowHeight);
        const int last = qMin<int>(int(n) - 1, event->rect().bottom() / MentionPopup::rowHeight);
        const QFont font = Theme::inter(500, 15);
        // Keep the highlight of the first and last rows inside the card's
        // round corners.
        QPainterPath card;
        const int scrolled = m_popup->scrollArea()->verticalScrollBar()->value();
        card.addRoundedRect(QRectF(0, scrolled - MentionPopup::cardPadding, width(),
                                   m_popup->height() - MentionPopup::bottomMargin),
                            kCardRadius, kCardRadius);
        p.setClipPath(card);
        for (int i = first; i <= last; ++i) {
            const qreal top = i * MentionPopup::rowHeight;
            const QRectF body(kHighlightInset, top, width() - 2 * kHighlightInset, kBodyHeight);
            if (i == m_popup->highlighted()) {
                QColor mark = paper;
                mark.setAlphaF(float(kHighlightAlpha));
                p.setPen(Qt::NoPen);
                p.setBrush(mark);
                p.drawRoundedRect(body, kHighlightRadius, kHighlightRadius);
            }
            p.setPen(paper);
            Theme::drawElidedLine(p, body.adjusted(kTextPadding, 0, -kTextPadding, 0), font,
                                  models[i].displayName);
            if (i < n - 1) {
                QColor divider = paper;
                divider.setAlphaF(float(kDividerAlpha));
                p.fillRect(QRectF(kDividerInset, top + kBodyHeight, width() - 2 * kDividerInset, 1), divider);
            }
        }
        paintIndicator(p, paper);
    }

    void mouseMoveEvent(QMouseEvent* event) override
    {
        const int row = rowAt(event->position().toPoint().y());
        if (row >= 0 && row != m_hovered) {
            m_hovered = row;
            if (m_popup->onHover)
                m_popup->onHover(row);
        }
    }

    void leaveEvent(QEvent*) override { m_hovered = -1; }

    void mousePressEvent(QMouseEvent* event) override
    {
        m_pressed = event->button() == Qt::LeftButton ? rowAt(event->position().toPoint().y()) : -1;
    }

    void mouseReleaseEvent(QMouseEvent* event) override
    {
        const int row = rowAt(event->position().toPoint().y());
        const int pressed = std::exchange(m_pressed, -1);
        if (event->button() == Qt::LeftButton && row >= 0 && row == pressed && m_popup->onPick)
            m_popup->onPick(m_popup->models()[row]);
    }

private:
    // Overlay indicator in place of a stock scroll bar: drawn in content
    // coordinates at the visible part, so it rides along with the scroll.
    void paintIndicator(QPainter& p, QColor color)
    {
        if (!m_popup->isScrolling())
            return;
        const QScrollBar* bar = m_popup->scrollArea()->verticalScrollBar();
        const qreal visible = MentionPopup::scrollHeight;
        const qreal content = height();
        const qreal track = visible - 2 * kIndicatorEnds;
        const qreal thumb = qMax<qreal>(24, track * visible / content);
        const qreal range = qMax(1, bar->maximum());
        const qreal y = bar->value() + kIndicatorEnds + (track - thumb) * bar->value() / range;
        color.setAlphaF(float(kIndicatorAlpha));
        p.setPen(Qt::NoPen);
        p.setBrush(color);
        p.drawRoundedRect(QRectF(width() - kIndicatorRight - kIndicatorWidth, y, kIndicatorWidth, thumb),
                          kIndicatorWidth / 2, kIndicatorWidth / 2);
    }

    MentionPopup* m_popup;
    int m_hovered = -1;
    int m_pressed = -1;
};

int MentionPopup::heightFor(qsizetype rows)
{
    const int list = rows > maxDirectRows ? scrollHeight : int(rows) * rowHeight;
    return list + 2 * cardPadding + bottomMargin;
}

MentionPopup::MentionPopup(QWidget* parent) : QWidget(parent)
{
    setFocusPolicy(Qt::NoFocus);
    m_scroll = new QScrollArea(this);
    m_scroll->setFocusPolicy(Qt::NoFocus);
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scroll->viewport()->setAutoFillBackground(false);
    m_rows = new MentionRows(this);
    m_scroll->setWidgetResizable(true); // the rows take the card's width
    m_scroll->setWidget(m_rows);
    m_rows->setAutoFillBackground(false);
    connect(m_scroll->verticalScrollBar(), &QScrollBar::valueChanged, m_rows, [this] { m_rows->update(); });
    m_scrollAnimation = new QPropertyAnimation(m_scroll->verticalScrollBar(), "value", this);
    m_scrollAnimation->setDuration(kScrollMs);
    m_scrollAnimation->setEasingCurve(QEasingCurve::OutCubic);

    m_shadow = new PopupShadow(this);
    Theme::repaintOnAppearanceChange(this);
    connect(&ThemeNotifier::instance(), &ThemeNotifier::appearanceChanged, m_rows, [this] { m_rows->update(); });
}

QWidget* MentionPopup::rowsWidget() const
{
    return m_rows;
}

void MentionPopup::setModels(const QList<ModelInfo>& models, int highlighted)
{
    const bool sameRows = models.size() == m_models.size()
                          && std::equal(models.begin(), models.end(), m_models.begin(),
                                        [](const ModelInfo& a, const ModelInfo& b) { return a.id == b.id; });
    m_models = models;
    if (!sameRows) {
        m_highlighted = highlighted;
        m_scrollAnimation->stop();
        m_scroll->verticalScrollBar()->setValue(0);
        layoutRows();
        m_rows->forgetHover();
        m_rows->update();
        return;
    }
    m_rows->update();
    setHighlighted(highlighted);
}

void MentionPopup::setHighlighted(int highlighted)
{
    if (highlighted == m_highlighted)
        return;
    m_highlighted = highlighted;
    m_rows->update();
    scrollToHighlighted();
}

void MentionPopup::scrollToHighlighted()
{
    if (!isScrolling())
        return;
    QScrollBar* bar = m_scroll->verticalScrollBar();
    const int from = m_scrollAnimation->state() == QAbstractAnimation::Running
                         ? m_scrollAnimation->endValue().toInt()
                         : bar->value();
    const int top = m_highlighted * rowHeight;
    int target = from;
    if (top < from)
        target = top;
    else if (top + rowHeight > from + scrollHeight)
        target = top + rowHeight - scrollHeight;
    if (target == from)
        return;
    m_scrollAnimation->stop();
    m_scrollAnimation->setStartValue(bar->value());
    m_scrollAnimation->setEndValue(target);
    m_scrollAnimation->start();
}

void MentionPopup::layoutRows()
{
    const int listHeight = heightFor(m_models.size()) - 2 * cardPadding - bottomMargin;
    m_scroll->setGeometry(sideMargin, cardPadding, qMax(0, width() - 2 * sideMargin), listHeight);
    m_rows->setFixedHeight(int(m_models.size()) * rowHeight);
}

void MentionPopup::resizeEvent(QResizeEvent*)
{
    layoutRows();
    m_shadow->follow();
}

bool MentionPopup::event(QEvent* event)
{
    const bool handled = QWidget::event(event);
    switch (event->type()) {
    case QEvent::ParentChange:
    case QEvent::Move:
    case QEvent::Show:
    case QEvent::Hide:
    case QEvent::ZOrderChange:
        if (m_shadow)
            m_shadow->follow();
        break;
    default:
        break;
    }
    return handled;
}

MentionPopup::~MentionPopup()
{
    delete m_shadow;
}

void MentionPopup::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(Theme::ink());
    p.drawRoundedRect(QRectF(sideMargin, 0, width() - 2 * sideMargin, height() - bottomMargin), kCardRadius,
                      kCardRadius);
}

} // namespace cvn

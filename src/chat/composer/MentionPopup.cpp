#include "chat/composer/MentionPopup.h"

#include "ui_kit/Theme.h"

#include <QAccessible>
#include <QAccessibleWidget>
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
// beside the highlight and the dividers belong to their row. To assistive
// technology the widget is a list whose rows are buttons (see below).
class MentionRows : public QWidget {
    Q_OBJECT
public:
    MentionRows(MentionPopup* popup) : QWidget(nullptr), m_popup(popup)
    {
        setMouseTracking(true);
        setAttribute(Qt::WA_OpaquePaintEvent, false);
    }

    MentionPopup* popup() const { return m_popup; }

    int rowAt(int y) const
    {
        const int row = y / MentionPopup::rowHeight;
        return y >= 0 && row < m_popup->models().size() ? row : -1;
    }

    // Row i's whole 45-pixel rectangle, margins and divider included.
    QRect rowRect(int row) const { return QRect(0, row * MentionPopup::rowHeight, width(), MentionPopup::rowHeight); }

    // What a click on row i does.
    void pick(int row)
    {
        if (row >= 0 && row < m_popup->models().size() && m_popup->onPick)
            m_popup->onPick(m_popup->models()[row]);
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
        if (event->button() == Qt::LeftButton && row >= 0 && row == pressed)
            pick(row);
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

namespace {

// One row to assistive technology: a single element, the model's name with
// the button role, as the row's text and highlight are combined into one
// element with the button trait. Pressing it picks the model, as a click
// does. It has no widget of its own: it reads the rows widget live and is
// invalid once its index is past the models.
class MentionRowAccessible : public QAccessibleInterface, public QAccessibleActionInterface {
public:
    MentionRowAccessible(MentionRows* rows, int index) : m_rows(rows), m_index(index) {}

    bool isValid() const override { return m_rows && m_index < m_rows->popup()->models().size(); }
    QObject* object() const override { return nullptr; }
    QWindow* window() const override { return m_rows ? m_rows->window()->windowHandle() : nullptr; }
    QAccessibleInterface* parent() const override { return QAccessible::queryAccessibleInterface(m_rows); }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QAccessible::Role role() const override { return QAccessible::Button; }

    QString text(QAccessible::Text t) const override
    {
        if (t != QAccessible::Name || !isValid())
            return {};
        return m_rows->popup()->models()[m_index].displayName;
    }
    void setText(QAccessible::Text, const QString&) override {}

    QRect rect() const override
    {
        if (!isValid())
            return {};
        const QRect row = m_rows->rowRect(m_index);
        return QRect(m_rows->mapToGlobal(row.topLeft()), row.size());
    }

    QAccessible::State state() const override
    {
        QAccessible::State s;
        if (!isValid() || !m_rows->isVisible()) {
            s.invisible = true;
            return s;
        }
        // A row scrolled out of the list's 240 pixels.
        if (const QWidget* viewport = m_rows->parentWidget()) {
            const QRect seen(m_rows->mapFrom(viewport, QPoint()), viewport->size());
            s.offscreen = !m_rows->rowRect(m_index).intersects(seen);
        }
        return s;
    }

    void* interface_cast(QAccessible::InterfaceType type) override
    {
        return type == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface*>(this) : nullptr;
    }

    QStringList actionNames() const override { return {pressAction()}; }
    QStringList keyBindingsForAction(const QString&) const override { return {}; }
    void doAction(const QString& name) override
    {
        if (name == pressAction() && isValid())
            m_rows->pick(m_index);
    }

private:
    QPointer<MentionRows> m_rows;
    int m_index;
};

// The rows widget: a list with one button element per model.
class MentionRowsAccessible : public QAccessibleWidget {
public:
    explicit MentionRowsAccessible(MentionRows* rows) : QAccessibleWidget(rows, QAccessible::List) {}

    ~MentionRowsAccessible() override
    {
        for (QAccessible::Id id : std::as_const(m_ids))
            QAccessible::deleteAccessibleInterface(id);
    }

    int childCount() const override { return int(rows()->popup()->models().size()); }

    QAccessibleInterface* child(int index) const override
    {
        if (index < 0 || index >= childCount())
            return nullptr;
        // Made once per index and kept by Qt's registry until this goes.
        while (m_ids.size() <= index)
            m_ids.append(QAccessible::registerAccessibleInterface(
                new MentionRowAccessible(rows(), int(m_ids.size()))));
        return QAccessible::accessibleInterface(m_ids[index]);
    }

    int indexOfChild(const QAccessibleInterface* child) const override
    {
        for (qsizetype i = 0; child && i < qMin<qsizetype>(m_ids.size(), childCount()); ++i) {
            if (QAccessible::accessibleInterface(m_ids[i]) == child)
                return int(i);
        }
        return -1;
    }

    QAccessibleInterface* childAt(int x, int y) const override
    {
        const QPoint local = rows()->mapFromGlobal(QPoint(x, y));
        if (!rows()->rect().contains(local))
            return nullptr;
        return child(rows()->rowAt(local.y()));
    }

private:
    MentionRows* rows() const { return static_cast<MentionRows*>(widget()); }

    mutable QList<QAccessible::Id> m_ids;
};

QAccessibleInterface* mentionRowsFactory(const QString& className, QObject* object)
{
    if (className == QLatin1String("cvn::MentionRows") && object && object->isWidgetType())
        return new MentionRowsAccessible(static_cast<MentionRows*>(object));
    return nullptr;
}

} // namespace

int MentionPopup::heightFor(qsizetype rows)
{
    const int list = rows > maxDirectRows ? scrollHeight : int(rows) * rowHeight;
    return list + 2 * cardPadding + bottomMargin;
}

MentionPopup::MentionPopup(QWidget* parent) : QWidget(parent)
{
    static const bool registered = [] {
        QAccessible::installFactory(mentionRowsFactory);
        return true;
    }();
    Q_UNUSED(registered);
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
        // Other rows: assistive technology reads the list again.
        QAccessibleEvent reorder(m_rows, QAccessible::ObjectReorder);
        QAccessible::updateAccessibility(&reorder);
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

#include "MentionPopup.moc"

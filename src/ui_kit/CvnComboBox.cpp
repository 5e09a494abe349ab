#include "ui_kit/CvnComboBox.h"

#include "ui_kit/Icons.h"
#include "ui_kit/ScrollBars.h"
#include "ui_kit/Theme.h"

#include <QEnterEvent>
#include <QFontMetricsF>
#include <QPainter>
#include <QScrollArea>
#include <QVBoxLayout>
#include <QtMath>

namespace cvn {

namespace {

constexpr int kHeight = 38;
constexpr qreal kRadius = 19;
constexpr int kPadding = 14;
constexpr int kSpacing = 8;
constexpr double kRestBorder = 0.25;
constexpr int kRowHeight = 32;
constexpr int kMaxPopupHeight = 220;
constexpr int kPopupGap = 4;
constexpr double kSelectedTint = 0.14;
constexpr double kHoverTint = 0.08;
constexpr qreal kShadowRadius = 16;
constexpr QPointF kShadowOffset{0, -8};

} // namespace

class ComboRow : public QAbstractButton {
public:
    ComboRow(CvnComboBox* combo, int index, QWidget* parent) : QAbstractButton(parent), m_combo(combo), m_index(index)
    {
        setObjectName(QStringLiteral("cvn.row.%1").arg(index));
        setFixedHeight(kRowHeight);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        setFocusPolicy(Qt::NoFocus);
        connect(this, &QAbstractButton::clicked, combo, [combo, index] { combo->rowClicked(index); });
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        const bool selected = m_index == m_combo->selection();
        const bool hovered = m_combo->hoveredIndex() == m_index;
        if (selected || hovered)
            Theme::fillWithinCard(p, this, m_combo->popup(), kRadius,
                                  Theme::onCard.withAlpha(selected ? kSelectedTint : kHoverTint)());
        p.setPen(Theme::onCard());
        Theme::drawElidedLine(p, QRectF(rect()).adjusted(kPadding, 0, -kPadding, 0), Theme::interMedium16(),
                              m_combo->options().value(m_index));
    }
    void enterEvent(QEnterEvent* event) override
    {
        m_combo->rowEntered(m_index);
        QAbstractButton::enterEvent(event);
    }
    void leaveEvent(QEvent* event) override
    {
        m_combo->rowLeft(m_index);
        QAbstractButton::leaveEvent(event);
    }

private:
    CvnComboBox* m_combo;
    int m_index;
};

class ComboPopup : public QWidget {
public:
    ComboPopup(CvnComboBox* combo, QWidget* parent) : QWidget(parent), m_combo(combo)
    {
        setObjectName(QStringLiteral("cvn.popup"));
        m_scroll = new QScrollArea(this);
        m_scroll->setObjectName(QStringLiteral("cvn.popup.scroll"));
        m_scroll->setFrameShape(QFrame::NoFrame);
        m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        m_scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
        m_scroll->setWidgetResizable(true);
        m_scroll->viewport()->setAutoFillBackground(false);
        ScrollBars::styleScrollBars(m_scroll, qCeil(kRadius));

        Theme::castShadow(this, kShadowRadius, kShadowOffset);
        Theme::repaintOnAppearanceChange(this);
        rebuild();
    }

    QScrollArea* scrollArea() const { return m_scroll; }

    void rebuild()
    {
        auto* rows = new QWidget;
        auto* layout = new QVBoxLayout(rows);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(0);
        for (int i = 0; i < m_combo->options().size(); ++i)
            layout->addWidget(new ComboRow(m_combo, i, rows));
        layout->addStretch(1);
        m_scroll->setWidget(rows); // deletes the previous rows
        rows->setAutoFillBackground(false); // setWidget turned it on; the card paints
    }

    int contentHeight() const { return qMin(int(m_combo->options().size()) * kRowHeight, kMaxPopupHeight); }

    void refreshRows()
    {
        if (QWidget* rows = m_scroll->widget())
            for (QWidget* row : rows->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
                row->update();
    }

protected:
    void resizeEvent(QResizeEvent*) override { m_scroll->setGeometry(rect()); }
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(Theme::card());
        p.drawRoundedRect(QRectF(rect()), kRadius, kRadius);
        Theme::strokeInside(p, QRectF(rect()), kRadius, Theme::onCard.withAlpha(kRestBorder)());
    }

private:
    CvnComboBox* m_combo;
    QScrollArea* m_scroll;
};

CvnComboBox::CvnComboBox(const QStringList& options, int selection, QWidget* parent)
    : QAbstractButton(parent), m_options(options), m_selection(selection)
{
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setFixedHeight(kHeight);
    setAttribute(Qt::WA_Hover);
    connect(this, &QAbstractButton::clicked, this, [this] { setOpen(!m_open); });
    Theme::repaintOnAppearanceChange(this);
}

CvnComboBox::~CvnComboBox()
{
    delete m_popup.data();
}

void CvnComboBox::setOptions(const QStringList& options)
{
    m_options = options;
    if (m_popup) {
        m_popup->rebuild();
        placePopup();
    }
    update();
}

void CvnComboBox::setSelection(int selection)
{
    m_selection = selection;
    if (m_popup)
        m_popup->refreshRows();
    update();
}

QString CvnComboBox::title() const
{
    return m_selection >= 0 && m_selection < m_options.size() ? m_options.at(m_selection) : QString();
}

QWidget* CvnComboBox::popup() const
{
    return m_popup.data();
}

QScrollArea* CvnComboBox::popupScrollArea() const
{
    return m_popup ? m_popup->scrollArea() : nullptr;
}

void CvnComboBox::setOpen(bool open)
{
    if (open == m_open)
        return;
    m_open = open;
    if (m_open) {
        QWidget* host = window();
        if (!m_popup || m_popup->parentWidget() != host) {
            delete m_popup.data();
            m_popup = new ComboPopup(this, host);
        }
        watchAncestors();
        placePopup();
        if (isVisible()) {
            m_popup->show();
            m_popup->raise();
        }
    } else if (m_popup) {
        m_popup->hide();
    }
    update();
}

void CvnComboBox::watchAncestors()
{
    for (const QPointer<QWidget>& w : m_watched)
        if (w)
            w->removeEventFilter(this);
    m_watched.clear();
    // Any move or resize up the chain (a scrolling page, a resized window)
    // moves the pill within the window, and the list must follow it.
    for (QWidget* w = this; w; w = w->parentWidget()) {
        w->installEventFilter(this);
        m_watched.append(w);
        if (w->isWindow())
            break;
    }
}

void CvnComboBox::placePopup()
{
    if (!m_popup)
        return;
    QWidget* host = m_popup->parentWidget();
    const QPoint topLeft = host == this ? QPoint(0, 0) : mapTo(host, QPoint(0, 0));
    const int h = m_popup->contentHeight();
    m_popup->setGeometry(topLeft.x(), topLeft.y() - kPopupGap - h, width(), h);
}

bool CvnComboBox::eventFilter(QObject* watched, QEvent* event)
{
    if (m_open && (event->type() == QEvent::Move || event->type() == QEvent::Resize))
        placePopup();
    return QAbstractButton::eventFilter(watched, event);
}

void CvnComboBox::rowEntered(int index)
{
    m_hoveredIndex = index;
    if (m_popup)
        m_popup->refreshRows();
}

void CvnComboBox::rowLeft(int index)
{
    // A later enter on the next row may already have replaced it.
    if (m_hoveredIndex == index)
        m_hoveredIndex.reset();
    if (m_popup)
        m_popup->refreshRows();
}

void CvnComboBox::rowClicked(int index)
{
    m_selection = index;
    emit selectionWritten(index);
    setOpen(false);
    if (m_popup)
        m_popup->refreshRows();
}

QSize CvnComboBox::sizeHint() const
{
    const qreal advance = QFontMetricsF(Theme::interMedium16()).horizontalAdvance(title());
    return {2 * kPadding + qCeil(advance) + kSpacing + ChevronDownIcon::naturalSize.width(), kHeight};
}

QSize CvnComboBox::minimumSizeHint() const
{
    return {2 * kPadding + kSpacing + ChevronDownIcon::naturalSize.width(), kHeight};
}

bool CvnComboBox::hitButton(const QPoint& pos) const
{
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()), kRadius, kRadius);
    return shape.contains(QPointF(pos) + QPointF(0.5, 0.5));
}

void CvnComboBox::enterEvent(QEnterEvent* event)
{
    m_hovering = true;
    update();
    QAbstractButton::enterEvent(event);
}

void CvnComboBox::leaveEvent(QEvent* event)
{
    m_hovering = false;
    update();
    QAbstractButton::leaveEvent(event);
}

void CvnComboBox::resizeEvent(QResizeEvent* event)
{
    QAbstractButton::resizeEvent(event);
    if (m_open)
        placePopup();
}

void CvnComboBox::showEvent(QShowEvent* event)
{
    QAbstractButton::showEvent(event);
    if (m_open && m_popup) {
        placePopup();
        m_popup->show();
        m_popup->raise();
    }
}

void CvnComboBox::hideEvent(QHideEvent* event)
{
    // The list belongs to the pill: it goes when the pill goes (a page
    // switch), and comes back with it while still open.
    if (m_popup)
        m_popup->hide();
    QAbstractButton::hideEvent(event);
}

void CvnComboBox::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF bounds(rect());
    const QColor onCard = Theme::onCard();
    Theme::strokeInside(p, bounds, kRadius, m_hovering || m_open ? onCard : Theme::onCard.withAlpha(kRestBorder)());

    const QSizeF chevron = ChevronDownIcon::naturalSize;
    const QRectF chevronRect(bounds.right() - kPadding - chevron.width(), (bounds.height() - chevron.height()) / 2,
                             chevron.width(), chevron.height());
    ChevronDownIcon::paint(p, chevronRect);

    const QRectF titleRect(kPadding, 0, qMax<qreal>(0, chevronRect.left() - kSpacing - kPadding), bounds.height());
    p.setPen(onCard);
    Theme::drawElidedLine(p, titleRect, Theme::interMedium16(), title());
}

} // namespace cvn

#include "ui_kit/ModalOverlay.h"

#include "ui_kit/Theme.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QShortcut>

namespace cvn {

namespace {
constexpr qreal kShadowRadius = 24;
constexpr QPointF kShadowOffset{0, 12};
} // namespace

CardSurface::CardSurface(qreal radius, QWidget* parent) : QWidget(parent), m_radius(radius)
{
    setObjectName(QStringLiteral("cvn.card"));
    Theme::repaintOnAppearanceChange(this);
}

void CardSurface::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(Theme::card());
    p.drawRoundedRect(QRectF(rect()), m_radius, m_radius);
}

void CardSurface::mousePressEvent(QMouseEvent* event)
{
    event->accept();
}

void CardSurface::mouseReleaseEvent(QMouseEvent* event)
{
    event->accept();
}

void CardSurface::mouseDoubleClickEvent(QMouseEvent* event)
{
    event->accept();
}

ModalOverlay::ModalOverlay(QWidget* parent) : QWidget(parent)
{
    setFocusPolicy(Qt::StrongFocus);
    if (parent) {
        setGeometry(parent->rect());
        parent->installEventFilter(this);
    }
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    escape->setContext(Qt::WidgetWithChildrenShortcut);
    connect(escape, &QShortcut::activated, this, &ModalOverlay::dismissed);
    Theme::repaintOnAppearanceChange(this);
}

ModalOverlay::~ModalOverlay()
{
    giveFocusBack();
}

void ModalOverlay::setCard(QWidget* card)
{
    delete m_card;
    m_card = card;
    card->setParent(this);
    Theme::castShadow(card, kShadowRadius, kShadowOffset);
    card->installEventFilter(this);
    card->show();
    placeCard();
}

void ModalOverlay::placeCard()
{
    if (!m_card)
        return;
    const int w = m_card->minimumWidth() == m_card->maximumWidth() ? m_card->minimumWidth() : m_card->sizeHint().width();
    const int h = m_card->hasHeightForWidth() ? m_card->heightForWidth(w) : m_card->sizeHint().height();
    // Centred even when the window is narrower than the card: it never shrinks.
    m_card->setGeometry((width() - w) / 2, (height() - h) / 2, w, h);
}

bool ModalOverlay::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == parentWidget() && event->type() == QEvent::Resize)
        setGeometry(parentWidget()->rect());
    else if (watched == m_card && event->type() == QEvent::LayoutRequest)
        placeCard();
    return QWidget::eventFilter(watched, event);
}

void ModalOverlay::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    placeCard();
}

void ModalOverlay::paintEvent(QPaintEvent*)
{
    QPainter(this).fillRect(rect(), Theme::scrim());
}

void ModalOverlay::mousePressEvent(QMouseEvent* event)
{
    // Clicks on the card are taken by the card, so anything here is the scrim.
    m_scrimPressed = event->button() == Qt::LeftButton;
    event->accept();
}

void ModalOverlay::mouseReleaseEvent(QMouseEvent* event)
{
    const bool tap = m_scrimPressed && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())
                     && !(m_card && m_card->geometry().contains(event->position().toPoint()));
    m_scrimPressed = false;
    event->accept();
    if (tap)
        emit dismissed();
}

void ModalOverlay::wheelEvent(QWheelEvent* event)
{
    event->accept(); // the page under the scrim does not scroll
}

void ModalOverlay::keyPressEvent(QKeyEvent* event)
{
    event->accept(); // keys never fall through to the page under the scrim
}

void ModalOverlay::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    raise();
    QWidget* focus = QApplication::focusWidget();
    if (!focus || !isAncestorOf(focus)) {
        m_previousFocus = focus;
        setFocus(Qt::OtherFocusReason);
    }
}

void ModalOverlay::hideEvent(QHideEvent* event)
{
    giveFocusBack();
    QWidget::hideEvent(event);
}

void ModalOverlay::giveFocusBack()
{
    if (m_previousFocus && m_previousFocus->isVisible())
        m_previousFocus->setFocus(Qt::OtherFocusReason);
    m_previousFocus.clear();
}

} // namespace cvn

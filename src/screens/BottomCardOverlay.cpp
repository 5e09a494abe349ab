#include "screens/BottomCardOverlay.h"

#include <QEvent>
#include <QtMath>

namespace cvn {

BottomCardOverlay::BottomCardOverlay(QWidget* parent, qreal leadingInset)
    : ModalOverlay(parent), m_leadingInset(leadingInset)
{
}

void BottomCardOverlay::setLeadingInset(qreal inset)
{
    m_leadingInset = inset;
    placeAtBottom();
}

QRectF BottomCardOverlay::cardRect(QSize size, QSize card, qreal leadingInset)
{
    const qreal x = leadingInset + (size.width() - leadingInset - card.width()) / 2.0;
    return {x, qreal(size.height() - kBottom - card.height()), qreal(card.width()), qreal(card.height())};
}

void BottomCardOverlay::setBottomCard(QWidget* card)
{
    setCard(card);
    placeAtBottom();
}

void BottomCardOverlay::placeAtBottom()
{
    QWidget* card = this->card();
    if (!card)
        return;
    const int w = card->minimumWidth() == card->maximumWidth() ? card->minimumWidth() : card->sizeHint().width();
    const int h = card->minimumHeight() == card->maximumHeight() ? card->minimumHeight()
                  : card->hasHeightForWidth()                     ? card->heightForWidth(w)
                                                                  : card->sizeHint().height();
    const QRectF r = cardRect(size(), {w, h}, m_leadingInset);
    card->setGeometry(qFloor(r.x()), qFloor(r.y()), w, h);
}

void BottomCardOverlay::resizeEvent(QResizeEvent* event)
{
    ModalOverlay::resizeEvent(event); // centres the card; moved down below
    placeAtBottom();
}

bool BottomCardOverlay::eventFilter(QObject* watched, QEvent* event)
{
    const bool handled = ModalOverlay::eventFilter(watched, event);
    if (watched == card() && event->type() == QEvent::LayoutRequest)
        placeAtBottom();
    return handled;
}

} // namespace cvn

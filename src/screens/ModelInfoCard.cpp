#include "screens/ModelInfoCard.h"

#include "models/ModelStore.h"
#include "models/SystemFacts.h"
#include "screens/ModelsScreen.h"
#include "screens/SettingsPageKit.h"
#include "ui_kit/CvnButton.h"
#include "ui_kit/Theme.h"

#include <QMouseEvent>
#include <QPainter>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace cvn {

InfoCard::InfoCard(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("cvn.models.infoCard"));
    Theme::repaintOnAppearanceChange(this);
    // Ink on the ink list card: the popups' soft shadow sets it apart.
    Theme::castShadow(this, 16, QPointF(0, 4));
}

void InfoCard::setContent(const QString& text, int textMaxWidth)
{
    m_text = text;
    m_maxWidth = textMaxWidth;
    // Measured now, so the card's first frame already has its own size.
    const QRect bounds = QFontMetrics(Theme::interMedium13())
                             .boundingRect(QRect(0, 0, textMaxWidth, 100000), Qt::TextWordWrap | Qt::AlignLeft, text);
    m_size = QSize(std::min(bounds.width(), textMaxWidth) + 2 * kPadding, bounds.height() + 2 * kPadding);
    resize(m_size);
    update();
}

void InfoCard::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    paintInkCard(p, QRectF(rect()), kRadius);
    p.setFont(Theme::interMedium13());
    p.setPen(Theme::paper());
    p.drawText(rect().adjusted(kPadding, kPadding, -kPadding, -kPadding), Qt::TextWordWrap | Qt::AlignLeft | Qt::AlignTop,
               m_text);
}

void InfoCard::mousePressEvent(QMouseEvent* event)
{
    event->accept(); // a click on the pinned card keeps it
}

// --- on the models screen ------------------------------------------------------

void ModelsScreen::infoClicked(const QUuid& id)
{
    m_hoverTimer->stop();
    m_pendingHover.reset();
    m_infoHover.reset();
    m_infoFlyout = id;
    placeInfoCard();
}

void ModelsScreen::infoHovered(bool hovering, const QUuid& id)
{
    m_hoverTimer->stop();
    m_pendingHover.reset();
    if (hovering) {
        m_pendingHover = id;
        m_hoverTimer->start();
        return;
    }
    if (m_infoHover == id) {
        m_infoHover.reset();
        placeInfoCard();
    }
}

void ModelsScreen::closeInfoCard()
{
    m_infoFlyout.reset();
    placeInfoCard();
}

void ModelsScreen::placeInfoCard()
{
    const std::optional<QUuid> shown = m_infoFlyout ? m_infoFlyout : m_infoHover;
    const bool pinned = m_infoFlyout.has_value();
    m_catcher->setVisible(pinned);
    ModelRow* anchorRow = nullptr;
    for (ModelRow* row : std::as_const(m_rows)) {
        if (shown && row->model().id == *shown)
            anchorRow = row;
    }
    const std::optional<ModelInfo> model = m_store.model(shown);
    if (!shown || !anchorRow || !model) {
        m_infoCard->hide();
        return;
    }
    if (m_infoCard->isHidden() || m_infoCard->text().isEmpty() || m_infoCard->textMaxWidth() != (pinned ? kPinnedTextWidth : kHoverTextWidth)
        || m_infoCard->property("modelId").toUuid() != *shown) {
        const uint64_t freeMb = uint64_t(std::max<int64_t>(0, SystemFacts::read().rig.ramFreeMb));
        m_infoCard->setContent(model->capacityTooltip(freeMb), pinned ? kPinnedTextWidth : kHoverTextWidth);
        m_infoCard->setProperty("modelId", *shown);
    }
    m_infoCard->setAttribute(Qt::WA_TransparentForMouseEvents, !pinned);

    CvnButton* button = anchorRow->infoButton();
    const QRect anchor(button->mapTo(this, QPoint(0, 0)), button->size());
    const QSize size = m_infoCard->sizeHint();
    m_infoCard->setGeometry(QRect(infoCardPosition(anchor, size, width()), size));
    m_infoCard->show();
    restack();
}

QPoint ModelsScreen::infoCardPosition(const QRect& anchor, const QSize& card, int screenWidth)
{
    // Centred on the button, kept 8 inside both edges (the left edge wins
    // when the card is wider than the window), above the button unless that
    // leaves less than 8 at the top.
    const int w = card.width();
    const qreal midX = anchor.x() + anchor.width() / 2.0;
    const int x = std::min(std::max(screenWidth - w - kEdgeInset, kEdgeInset),
                           std::max(int(std::lround(midX - w / 2.0)), kEdgeInset));
    int y = anchor.top() - kCardGap - card.height();
    if (y < kEdgeInset)
        y = anchor.top() + anchor.height() + kCardGap;
    return {x, y};
}

} // namespace cvn

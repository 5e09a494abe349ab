#include "attachments/views/AttachmentTile.h"

#include "attachments/views/AttachmentLabels.h"
#include "rendering/SidewaysScrollArea.h"

#include <QPainter>
#include <QPainterPath>

namespace cvn {

namespace {

constexpr qreal kImageRadius = 14;
constexpr qreal kOutlineRadius = 19;
constexpr qreal kOutlineWidth = 2;
constexpr int kLabelLeft = 8;
constexpr int kLabelTop = 6;

} // namespace

AttachmentTile::AttachmentTile(const QImage& thumbnail, const QString& typeLabel, DynamicColor border, bool opaque,
                               QWidget* parent)
    : QWidget(parent), m_thumbnail(thumbnail), m_typeLabel(typeLabel), m_border(border), m_opaque(opaque)
{
    setFixedSize(side, side);
    Theme::repaintOnAppearanceChange(this);
}

void AttachmentTile::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const QRectF bounds(0, 0, side, side);
    if (!m_thumbnail.isNull()) {
        // Filling the square, as a picture chip: no border, no label.
        QPainterPath clip;
        clip.addRoundedRect(bounds, kImageRadius, kImageRadius);
        painter.setClipPath(clip);
        painter.drawImage(bounds, m_thumbnail);
        return;
    }
    if (m_opaque) {
        QPainterPath shape;
        shape.addRoundedRect(bounds, kOutlineRadius, kOutlineRadius);
        painter.fillPath(shape, Theme::surface());
    }
    Theme::strokeInside(painter, bounds, kOutlineRadius, m_border(), kOutlineWidth);
    const QFont font = Theme::interMedium13();
    painter.setFont(font);
    painter.setPen(Theme::ink());
    painter.drawText(QPointF(kLabelLeft, kLabelTop + QFontMetricsF(font).ascent()), m_typeLabel);
}

SentAttachmentRow::SentAttachmentRow(const QList<SentAttachments::File>& files, QWidget* parent) : QWidget(parent)
{
    auto* row = new QWidget;
    int x = 0;
    for (const SentAttachments::File& file : files) {
        auto* tile = new AttachmentTile({}, attachmentTypeLabel(file.name), Theme::neutralGrey, false, row);
        tile->setToolTip(file.name);
        tile->setAccessibleName(file.name);
        tile->move(x, 0);
        x += AttachmentTile::side + spacing;
        m_tiles.append(tile);
    }
    row->setFixedSize(contentWidth(), AttachmentTile::side);
    if (contentWidth() <= maxWidth) {
        row->setParent(this);
    } else {
        m_scroll = new SidewaysScrollArea(row, false, this);
        m_scroll->setGeometry(0, 0, maxWidth, AttachmentTile::side);
    }
    setFixedSize(sizeHint());
}

int SentAttachmentRow::contentWidth() const
{
    const int n = int(m_tiles.size());
    return n == 0 ? 0 : n * AttachmentTile::side + (n - 1) * spacing;
}

QSize SentAttachmentRow::sizeHint() const
{
    return {qMin(contentWidth(), int(maxWidth)), AttachmentTile::side + bottomMargin};
}

} // namespace cvn

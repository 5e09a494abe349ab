#include "attachments/views/StagedStrip.h"

#include "attachments/AttachmentStager.h"
#include "attachments/views/AttachmentLabels.h"
#include "attachments/views/AttachmentTile.h"
#include "rendering/SidewaysScrollArea.h"

#include <QImageReader>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>

namespace cvn {

namespace {

constexpr int kSpinnerFrame = 16;
constexpr int kStatusGap = 10;
constexpr QSize kTriangle = WarningTriangle::extent;
constexpr int kTrianglePadding = 4;
constexpr int kRemoveOverhang = 6;

QFont statusFont() { return Theme::inter(500, 13); }

} // namespace

WarningTriangle::WarningTriangle(DynamicColor color, QWidget* parent) : QWidget(parent), m_color(color)
{
    setFixedSize(extent);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    Theme::repaintOnAppearanceChange(this);
}

void WarningTriangle::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal w = width();
    const qreal h = height();
    QPainterPath path;
    path.setFillRule(Qt::OddEvenFill);
    path.moveTo(w / 2, 0);
    path.lineTo(w, h);
    path.lineTo(0, h);
    path.closeSubpath();
    path.addRoundedRect(QRectF(w / 2 - 0.75, h * 0.32, 1.5, h * 0.36), 0.75, 0.75);
    path.addEllipse(QPointF(w / 2, h * 0.82), 0.85, 0.85);
    painter.fillPath(path, m_color());
}

StatusLine::StatusLine(const QString& text, QWidget* parent) : QWidget(parent)
{
    setFixedHeight(lineHeight);
    setText(text);
    m_spin.setInterval(50);
    connect(&m_spin, &QTimer::timeout, this, [this] {
        m_angle = (m_angle + 30) % 360;
        update();
    });
    Theme::repaintOnAppearanceChange(this);
}

void StatusLine::setText(const QString& text)
{
    m_text = text;
    m_textWidth = Theme::textWidth(statusFont(), text);
    setAccessibleName(text);
    update();
}

QSize StatusLine::sizeHint() const
{
    return {kSpinnerFrame + kStatusGap + m_textWidth, lineHeight};
}

void StatusLine::showEvent(QShowEvent*)
{
    m_spin.start();
}

void StatusLine::hideEvent(QHideEvent*)
{
    m_spin.stop();
}

void StatusLine::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor muted = Theme::mutedText();
    const int content = sizeHint().width();
    const qreal left = (width() - content) / 2.0;
    // The indicator at half size: an 8-pixel ring with a turning gap.
    const QRectF ring(left + 4.75, (height() - 8) / 2.0 + 0.75, 6.5, 6.5);
    painter.setPen(QPen(muted, 1.5, Qt::SolidLine, Qt::RoundCap));
    painter.drawArc(ring, -m_angle * 16, 270 * 16);
    painter.setFont(statusFont());
    painter.setPen(muted);
    painter.drawText(QRectF(left + kSpinnerFrame + kStatusGap, 0, content, height()),
                     Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, m_text);
}

RemoveButton::RemoveButton(QWidget* parent) : QAbstractButton(parent)
{
    setFixedSize(side, side);
    setFocusPolicy(Qt::NoFocus);
    setToolTip(QStringLiteral("Remove"));
    setAccessibleName(QStringLiteral("Remove"));
    Theme::repaintOnAppearanceChange(this);
}

bool RemoveButton::hitButton(const QPoint& pos) const
{
    const QPointF centre(side / 2.0, side / 2.0);
    const QPointF d = QPointF(pos) + QPointF(0.5, 0.5) - centre;
    return d.x() * d.x() + d.y() * d.y() <= (side / 2.0) * (side / 2.0);
}

void RemoveButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF bounds(0, 0, side, side);
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill());
    painter.drawEllipse(bounds);
    Theme::strokeInside(painter, bounds, side / 2.0, Theme::neutralGrey());
    QPen cross(Theme::neutralGrey(), 1.5, Qt::SolidLine, Qt::RoundCap, Qt::MiterJoin);
    cross.setMiterLimit(10);
    painter.setPen(cross);
    painter.drawLine(QPointF(7.5, 7.5), QPointF(12.5, 12.5));
    painter.drawLine(QPointF(12.5, 7.5), QPointF(7.5, 12.5));
}

StagedChip::StagedChip(const StagedAttachment& item, int64_t contextSize, const QImage& thumbnail,
                       std::function<void()> onRemove, QWidget* parent)
    : QWidget(parent), m_item(item), m_warning(cvn::showsWarning(item.approxTokens, contextSize))
{
    setFixedSize(footprint);
    const DynamicColor level = levelColor(item.approxTokens, contextSize);
    m_tile = new AttachmentTile(thumbnail, attachmentTypeLabel(item.originalFilename), level, true, this);
    m_tile->move(0, tileTop);
    m_remove = new RemoveButton(this);
    m_remove->move(AttachmentTile::side - RemoveButton::side + kRemoveOverhang, tileTop - kRemoveOverhang);
    if (m_warning) {
        // In the top trailing corner the remove button would cover it:
        // it keeps its trailing inset and sits that far below the button.
        auto* triangle = new WarningTriangle(level, this);
        triangle->move(AttachmentTile::side - kTrianglePadding - kTriangle.width(),
                       m_remove->geometry().bottom() + 1 + kTrianglePadding);
    }
    connect(m_remove, &QAbstractButton::clicked, this, [onRemove = std::move(onRemove)] {
        if (onRemove)
            onRemove();
    });
    setToolTip(chipLabel(item, contextSize));
    m_tile->setToolTip(toolTip());
}

StagedStrip::StagedStrip(AttachmentStager* stager, int64_t contextSize, QWidget* parent)
    : QWidget(parent), m_stager(stager), m_contextSize(contextSize)
{
    m_status = new StatusLine({}, this);
    m_header = new QLabel(this);
    m_header->setWordWrap(true);
    m_header->setFont(Theme::inter(500, 12));
    m_chipRow = new QWidget;
    m_scroll = new SidewaysScrollArea(m_chipRow, true, this);
    connect(&ThemeNotifier::instance(), &ThemeNotifier::appearanceChanged, this, [this] { recolorHeader(); });
    if (stager) {
        connect(stager, &AttachmentStager::stagedChanged, this, &StagedStrip::rebuild);
        connect(stager, &AttachmentStager::statusChanged, this, &StagedStrip::rebuild);
    }
    rebuild();
}

void StagedStrip::setContextSize(int64_t contextSize)
{
    m_contextSize = contextSize;
    rebuild();
}

void StagedStrip::remove(const StagedAttachment& item)
{
    if (m_stager)
        m_stager->remove(item.id);
}

int StagedStrip::stripHeight(const AttachmentStager& stager)
{
    return cvn::stripHeight(stager.status().has_value(), !stager.staged().isEmpty());
}

QList<StagedChip*> StagedStrip::chips() const
{
    return m_chipRow->findChildren<StagedChip*>(Qt::FindDirectChildrenOnly);
}

QImage StagedStrip::thumbnail(const StagedAttachment& item)
{
    if (!item.isImage || !item.url.isLocalFile())
        return {};
    const auto cached = m_thumbnails.constFind(item.id);
    if (cached != m_thumbnails.constEnd())
        return *cached;
    // Decoded straight at thumbnail size, so a 50 MiB picture never lands in
    // memory whole; the reader's allocation limit guards the rest. A file
    // that does not decode is remembered as such.
    QImageReader reader(item.url.toLocalFile());
    reader.setAutoTransform(true);
    const QSize size = reader.size();
    QImage image;
    // Only JPEG decodes straight at the small size; any other format is
    // decoded whole first, which on this thread must stay short. A bigger
    // picture keeps its type outline.
    const bool cheap = size.isValid() && !size.isEmpty()
                       && (reader.format() == "jpeg" || qint64(size.width()) * size.height() <= kMaxDecodedPixels);
    if (cheap) {
        // The shorter side fills the tile and the middle square shows: a
        // picture is cropped, never stretched. The square is the same
        // before and after the file's own rotation.
        const QSize scaled = size.scaled(thumbnailSide, thumbnailSide, Qt::KeepAspectRatioByExpanding);
        reader.setScaledSize(scaled);
        reader.setScaledClipRect(QRect((scaled.width() - thumbnailSide) / 2, (scaled.height() - thumbnailSide) / 2,
                                       thumbnailSide, thumbnailSide));
        image = reader.read();
    }
    ++m_decoded;
    m_thumbnails.insert(item.id, image);
    return image;
}

void StagedStrip::rebuild()
{
    const QList<StagedAttachment> staged = m_stager ? m_stager->staged() : QList<StagedAttachment>();
    const std::optional<QString> status = m_stager ? m_stager->status() : std::nullopt;

    // Thumbnails of files no longer staged go.
    for (auto it = m_thumbnails.begin(); it != m_thumbnails.end();) {
        const QUuid id = it.key();
        const bool kept = std::any_of(staged.begin(), staged.end(), [&id](const auto& s) { return s.id == id; });
        it = kept ? std::next(it) : m_thumbnails.erase(it);
    }

    for (StagedChip* chip : chips())
        delete chip;
    int x = 0;
    for (const StagedAttachment& item : staged) {
        auto* chip = new StagedChip(item, m_contextSize, thumbnail(item), [this, item] { remove(item); }, m_chipRow);
        chip->move(x, 0);
        chip->show();
        x += StagedChip::footprint.width();
    }
    m_chipRow->setFixedSize(x, chipRowHeight);

    int y = 0;
    m_status->setVisible(status.has_value());
    if (status) {
        m_status->setText(*status);
        m_status->setGeometry(0, y, stripWidth, StatusLine::lineHeight);
        y += StatusLine::lineHeight + spacing;
    }
    const bool files = !staged.isEmpty();
    m_header->setVisible(files);
    m_scroll->setVisible(files);
    if (files) {
        int64_t total = m_stager->totalApproxTokens();
        m_header->setText(stripHeaderText(total, m_contextSize));
        recolorHeader();
        const int headerWidth = stripWidth - 2 * headerInset;
        const int headerHeight = m_header->heightForWidth(headerWidth);
        m_header->setGeometry(headerInset, y, headerWidth, headerHeight);
        y += headerHeight + spacing;
        m_scroll->setGeometry(0, y, stripWidth, chipRowHeight);
        y += chipRowHeight + spacing;
    }
    setFixedSize(stripWidth, qMax(0, y - spacing));
}

void StagedStrip::recolorHeader()
{
    const int64_t total = m_stager ? m_stager->totalApproxTokens() : 0;
    QPalette palette = m_header->palette();
    palette.setColor(QPalette::WindowText, stripHeaderColor(total, m_contextSize)());
    m_header->setPalette(palette);
}

QSize StagedStrip::sizeHint() const
{
    return size();
}

} // namespace cvn

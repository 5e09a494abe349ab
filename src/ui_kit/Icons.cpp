#include "ui_kit/Icons.h"

#include <QPainter>

namespace cvn {

namespace {

// Maps the icon's natural frame onto `target` and strokes/fills in natural
// coordinates inside `draw`.
template <typename Draw>
void paintScaled(QPainter& painter, const QRectF& target, QSize natural, Draw draw)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(target.topLeft());
    painter.scale(target.width() / natural.width(), target.height() / natural.height());
    draw();
    painter.restore();
}

// A circle of diameter `frame` centred on `centre`, stroked inside its bounds.
void strokeCircleInside(QPainter& painter, QPointF centre, qreal frame, qreal width, const QColor& color)
{
    const QRectF bounds(centre - QPointF(frame / 2, frame / 2), QSizeF(frame, frame));
    Theme::strokeInside(painter, bounds, frame / 2, color, width);
}

void strokePath(QPainter& painter, const QPainterPath& path, const QPen& pen)
{
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(path);
}

void paintDrawer(QPainter& painter, const QRectF& target, QSize natural, const QColor& color)
{
    paintScaled(painter, target, natural, [&] { strokePath(painter, DrawerGlyph::path({}), iconStroke(color)); });
}

} // namespace

QPen iconStroke(const QColor& color)
{
    QPen pen(color, 2, Qt::SolidLine, Qt::RoundCap, Qt::MiterJoin);
    pen.setMiterLimit(10);
    return pen;
}

IconWidget::IconWidget(QSize naturalSize, Paint paint, QWidget* parent)
    : QWidget(parent), m_naturalSize(naturalSize), m_paint(paint)
{
    setFixedSize(naturalSize);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    Theme::repaintOnAppearanceChange(this);
}

void IconWidget::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    m_paint(painter, QRectF(rect()));
}

void SearchIcon::paint(QPainter& painter, const QRectF& target)
{
    paintScaled(painter, target, naturalSize, [&] {
        QPainterPath path;
        path.moveTo(15.5, 15);
        path.lineTo(22, 21);
        path.moveTo(17, 9);
        path.cubicTo(17, 13.4183, 13.4183, 17, 9, 17);
        path.cubicTo(4.58172, 17, 1, 13.4183, 1, 9);
        path.cubicTo(1, 4.58172, 4.58172, 1, 9, 1);
        path.cubicTo(13.4183, 1, 17, 4.58172, 17, 9);
        path.closeSubpath();
        strokePath(painter, path, iconStroke(Theme::muted()));
    });
}

void NewChatIcon::paint(QPainter& painter, const QRectF& target)
{
    paintScaled(painter, target, naturalSize, [&] {
        QPainterPath path;
        path.moveTo(23, 12.875);
        path.lineTo(23, 15);
        path.cubicTo(23, 17.7614, 20.7614, 20, 18, 20);
        path.lineTo(6, 20);
        path.cubicTo(3.23858, 20, 1, 17.7614, 1, 15);
        path.lineTo(1, 6);
        path.cubicTo(1, 3.23858, 3.23858, 1, 6, 1);
        path.lineTo(6.5, 1);
        path.moveTo(9.00063, 12.7556);
        path.lineTo(21.375, 1);
        strokePath(painter, path, iconStroke(Theme::text()));
    });
}

QPainterPath DrawerGlyph::path(const QRectF&)
{
    QPainterPath path;
    path.moveTo(10, 2);
    path.lineTo(10, 20);
    path.moveTo(6, 21);
    path.lineTo(21, 21);
    path.cubicTo(23.7614, 21, 26, 18.7614, 26, 16);
    path.lineTo(26, 6);
    path.cubicTo(26, 3.23858, 23.7614, 1, 21, 1);
    path.lineTo(6, 1);
    path.cubicTo(3.23858, 1, 1, 3.23858, 1, 6);
    path.lineTo(1, 16);
    path.cubicTo(1, 18.7614, 3.23858, 21, 6, 21);
    path.closeSubpath();
    return path;
}

void DrawerClosedIcon::paint(QPainter& painter, const QRectF& target)
{
    paintDrawer(painter, target, naturalSize, Theme::text());
}

void DrawerOpenIcon::paint(QPainter& painter, const QRectF& target)
{
    paintDrawer(painter, target, naturalSize, Theme::muted());
}

void BackArrowIcon::paint(QPainter& painter, const QRectF& target)
{
    paintScaled(painter, target, naturalSize, [&] {
        QPainterPath path;
        path.moveTo(8, 15);
        path.lineTo(88, 15);
        path.moveTo(14, 3);
        path.lineTo(4, 15);
        path.lineTo(14, 27);
        QPen pen(Theme::text(), 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
        pen.setMiterLimit(10);
        strokePath(painter, path, pen);
    });
}

void InfoIcon::paint(QPainter& painter, const QRectF& target)
{
    paintScaled(painter, target, naturalSize, [&] {
        const QColor color = Theme::onCard();
        const QPointF centre(11.5, 11.5);
        strokeCircleInside(painter, centre, 21, 2, color);
        QPainterPath stem;
        stem.moveTo(11.5, 10);
        stem.lineTo(11.5, 17);
        strokePath(painter, stem, iconStroke(color));
        painter.setPen(Qt::NoPen);
        painter.setBrush(color);
        painter.drawEllipse(centre + QPointF(0, -4.5), 1.2, 1.2);
    });
}

void AddButtonIcon::paint(QPainter& painter, const QRectF& target)
{
    paintScaled(painter, target, naturalSize, [&] {
        const QColor color = Theme::composerInk();
        strokeCircleInside(painter, QPointF(19, 19), 36, 2, color);
        QPainterPath plus;
        plus.moveTo(9, 19);
        plus.lineTo(29, 19);
        plus.moveTo(19, 9);
        plus.lineTo(19, 29);
        strokePath(painter, plus, iconStroke(color));
    });
}

void MoreHorizontalIcon::paint(QPainter& painter, const QRectF& target)
{
    paintScaled(painter, target, naturalSize, [&] {
        painter.setPen(Qt::NoPen);
        painter.setBrush(Theme::onCard());
        for (int i = 0; i < 3; ++i)
            painter.drawEllipse(QRectF(i * 10, 0, 7, 7));
    });
}

void ChevronDownIcon::paint(QPainter& painter, const QRectF& target)
{
    paintScaled(painter, target, naturalSize, [&] {
        QPainterPath path;
        path.moveTo(1, 1);
        path.lineTo(6, 6);
        path.lineTo(11, 1);
        strokePath(painter, path, iconStroke(Theme::onCard()));
    });
}

DiroruView::DiroruView(qreal size, DynamicColor tint, qreal opacity, QWidget* parent)
    : QWidget(parent), m_size(qMax<qreal>(size, 0)), m_tint(tint), m_opacity(qBound<qreal>(0, opacity, 1))
{
    setFixedSize(sizeHint());
    setAttribute(Qt::WA_TransparentForMouseEvents);
    Theme::repaintOnAppearanceChange(this);
}

QSize DiroruView::sizeHint() const
{
    const int side = qCeil(m_size);
    return {side, side};
}

const QImage& DiroruView::templateImage()
{
    static const QImage image = QImage(QStringLiteral(":/ui_kit/DiroruSilhouette.png"))
                                    .convertToFormat(QImage::Format_ARGB32_Premultiplied);
    return image;
}

void DiroruView::paintEvent(QPaintEvent*)
{
    const QImage& source = templateImage();
    if (m_size <= 0 || m_opacity <= 0 || source.isNull())
        return;
    const qreal ratio = devicePixelRatioF();
    const QSize pixels = (QSizeF(m_size, m_size) * ratio).toSize();
    const QColor color = m_tint();
    if (m_tinted.isNull() || pixels != m_tintedPixels || color != m_tintedColor) {
        // Template rendering: only the asset's alpha counts; the tint fills it.
        m_tinted = source.scaled(pixels, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        QPainter tint(&m_tinted);
        tint.setCompositionMode(QPainter::CompositionMode_SourceIn);
        tint.fillRect(m_tinted.rect(), color);
        m_tintedPixels = pixels;
        m_tintedColor = color;
    }
    m_tinted.setDevicePixelRatio(ratio);
    const QSizeF drawn = QSizeF(m_tinted.size()) / ratio;
    QPainter painter(this);
    painter.setOpacity(m_opacity);
    painter.drawImage(QPointF((width() - drawn.width()) / 2, (height() - drawn.height()) / 2), m_tinted);
}

} // namespace cvn

#pragma once

#include "ui_kit/Theme.h"

#include <QImage>
#include <QPainterPath>
#include <QPen>
#include <QWidget>

namespace cvn {

// The shared line style of the path icons: width 2, round caps, miter joins.
QPen iconStroke(const QColor& color);

// A path-drawn icon at its one natural size. Each icon below is also usable
// without a widget through its static paint(), which maps the natural frame
// onto any rectangle, so callers can scale it.
class IconWidget : public QWidget {
public:
    using Paint = void (*)(QPainter&, const QRectF&);

    IconWidget(QSize naturalSize, Paint paint, QWidget* parent);

    QSize sizeHint() const override { return m_naturalSize; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QSize m_naturalSize;
    Paint m_paint;
};

#define CVN_DECLARE_ICON(Name, width, height)                                          \
    class Name : public IconWidget {                                                   \
    public:                                                                            \
        static constexpr QSize naturalSize{width, height};                             \
        static void paint(QPainter& painter, const QRectF& target);                    \
        explicit Name(QWidget* parent = nullptr) : IconWidget(naturalSize, &paint, parent) {} \
    }

CVN_DECLARE_ICON(SearchIcon, 23, 22);         // muted
CVN_DECLARE_ICON(NewChatIcon, 24, 21);        // text
CVN_DECLARE_ICON(DrawerClosedIcon, 27, 22);   // text
CVN_DECLARE_ICON(DrawerOpenIcon, 27, 22);     // muted
CVN_DECLARE_ICON(BackArrowIcon, 88, 30);      // text
CVN_DECLARE_ICON(InfoIcon, 23, 23);           // onCard
CVN_DECLARE_ICON(AddButtonIcon, 38, 38);      // composerInk
CVN_DECLARE_ICON(MoreHorizontalIcon, 27, 7);  // onCard
CVN_DECLARE_ICON(ChevronDownIcon, 12, 7);     // onCard

#undef CVN_DECLARE_ICON

// The drawer panel with its divider, shared by both drawer icons. Its
// coordinates are fixed: the rectangle is ignored.
struct DrawerGlyph {
    static QPainterPath path(const QRectF& rect);
};

// The brand silhouette, tinted. `size` is the side of the square it fills;
// opacity 0 keeps the space but draws nothing.
class DiroruView : public QWidget {
public:
    DiroruView(qreal size, DynamicColor tint, qreal opacity, QWidget* parent = nullptr);

    QSize sizeHint() const override;
    // The template image, or a null image when the resource is missing.
    static const QImage& templateImage();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    qreal m_size;
    DynamicColor m_tint;
    qreal m_opacity;
    // The tinted image last drawn, with the device size and colour it was
    // made for: smooth scaling is too slow to repeat on every paint.
    QImage m_tinted;
    QSize m_tintedPixels;
    QColor m_tintedColor;
};

} // namespace cvn

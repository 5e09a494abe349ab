#pragma once

#include <QImage>
#include <QPoint>
#include <QWidget>

namespace cvn::test {

// A wheel turn as the window system delivers it over `widget` at `pos`: it
// travels up the parents until one accepts it.
void turnWheel(QWidget* widget, QPoint pos, QPoint angleDelta, Qt::KeyboardModifiers modifiers = Qt::NoModifier);

// How many pixels of `image` inside `area` (all of it when null) are within
// `tolerance` per channel of `color`.
int countPixels(const QImage& image, const QColor& color, int tolerance = 3, QRect area = {});

// `color` at `alpha` over the opaque `background`, as 8-bit blending gives it.
QColor over(const QColor& background, const QColor& color, double alpha);

} // namespace cvn::test

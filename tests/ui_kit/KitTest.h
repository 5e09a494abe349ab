#pragma once

#include "ui_kit/Theme.h"

#include <QImage>
#include <QWidget>

#include <gtest/gtest.h>

namespace cvn::test {

// The two values almost every probe expects: the page/card pair.
inline const QColor kInk{0x29, 0x29, 0x2A};
inline const QColor kWhite{0xFF, 0xFF, 0xFF};

// Every kit test starts and ends in the light appearance, whatever the
// previous test switched to.
class KitTest : public ::testing::Test {
protected:
    void SetUp() override { Theme::setAppearance(Appearance::Light); }
    void TearDown() override { Theme::setAppearance(Appearance::Light); }
};

// Shows `widget` offscreen (so layouts run) and processes pending events.
void showAndSettle(QWidget& widget);

// The widget painted over `background` (transparent for icons).
QImage renderOver(QWidget& widget, const QColor& background);

// Pixel (x, y) within `tolerance` per channel of `expected`, alpha included.
::testing::AssertionResult pixelNear(const QImage& image, int x, int y, const QColor& expected, int tolerance = 2);

// Alpha of pixel (x, y): 0 transparent, 255 opaque.
int alphaAt(const QImage& image, int x, int y);

// Hover as the window system reports it: enter at `pos`, or leave.
void sendEnter(QWidget* widget, QPoint pos = {2, 2});
void sendLeave(QWidget* widget);

} // namespace cvn::test

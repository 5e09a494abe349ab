#include "chat/composer/ComposerControls.h"

#include "support/Wait.h"
#include "ui_kit/KitTest.h"

#include <QAccessible>
#include <QTest>

using namespace cvn;
using cvn::test::pixelNear;

using ComposerControlsTest = cvn::test::KitTest;

TEST_F(ComposerControlsTest, StopDiscTurnsOnlyWhileSpinningAndShown)
{
    StopDisc disc;
    EXPECT_EQ(disc.spin().state(), QAbstractAnimation::Stopped);
    cvn::test::showAndSettle(disc);
    EXPECT_EQ(disc.spin().state(), QAbstractAnimation::Running);
    EXPECT_EQ(disc.spin().loopCount(), -1);
    EXPECT_EQ(disc.spin().duration(), 1000);
    EXPECT_EQ(disc.spin().endValue().toReal(), 360);
    EXPECT_TRUE(cvn::test::waitUntil([&] { return disc.angle() > 0; }));

    disc.setSpinning(false);
    EXPECT_EQ(disc.spin().state(), QAbstractAnimation::Stopped);
    EXPECT_EQ(disc.angle(), 0);
    // At rest the arc starts at 3 o'clock and runs clockwise (downwards):
    // surface below the centre line on the right, ink above it.
    const QImage image = cvn::test::renderOver(disc, Qt::transparent);
    EXPECT_TRUE(pixelNear(image, 34, 22, cvn::test::kWhite, 40));
    EXPECT_TRUE(pixelNear(image, 34, 15, cvn::test::kInk, 2));
    EXPECT_TRUE(pixelNear(image, 19, 19, cvn::test::kWhite, 2)); // the square
    EXPECT_EQ(disc.accessibleName(), QStringLiteral("Stop"));
}

TEST_F(ComposerControlsTest, CouncilToggleFlipsOnAClickAnywhereOnTheTrack)
{
    CouncilToggle toggle;
    cvn::test::showAndSettle(toggle);
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(&toggle);
    ASSERT_NE(accessible, nullptr);
    EXPECT_EQ(accessible->text(QAccessible::Value), QStringLiteral("off"));
    EXPECT_EQ(accessible->text(QAccessible::Name), QStringLiteral("Council"));
    EXPECT_EQ(toggle.knobX(), 2);
    QImage off = cvn::test::renderOver(toggle, cvn::test::kWhite);
    EXPECT_TRUE(pixelNear(off, 40, 14, cvn::test::kWhite));  // empty track
    EXPECT_TRUE(pixelNear(off, 40, 1, cvn::test::kInk, 30)); // 2 px outline

    QTest::mouseClick(&toggle, Qt::LeftButton, {}, QPoint(44, 14)); // beside the knob
    EXPECT_TRUE(toggle.isChecked());
    EXPECT_EQ(toggle.knobX(), 28);
    EXPECT_EQ(accessible->text(QAccessible::Value), QStringLiteral("on"));
    QImage on = cvn::test::renderOver(toggle, cvn::test::kWhite);
    EXPECT_TRUE(pixelNear(on, 14, 14, cvn::test::kInk));    // filled track
    EXPECT_TRUE(pixelNear(on, 40, 14, cvn::test::kWhite));  // surface knob
}

TEST_F(ComposerControlsTest, GlassIsAnOpaqueBlendWithTransparentCorners)
{
    ComposerGlass glass;
    glass.resize(300, 116);
    for (const auto& [appearance, centre] : {std::pair{Appearance::Light, QColor(0xEA, 0xEA, 0xEA)},
                                              std::pair{Appearance::Dark, QColor(0x3E, 0x3E, 0x3F)}}) {
        Theme::setAppearance(appearance);
        const QImage image = cvn::test::renderOver(glass, Qt::transparent);
        EXPECT_TRUE(pixelNear(image, 150, 58, centre, 1));
        EXPECT_EQ(cvn::test::alphaAt(image, 0, 0), 0);
    }
}

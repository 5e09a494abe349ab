#include "chat/transcript/ScrollToNewestButton.h"
#include "chat/transcript/ChatScrollController.h"

#include "rendering/ViewTest.h"
#include "ui_kit/KitTest.h"
#include "ui_kit/ScrollBars.h"

#include <QApplication>
#include <QPropertyAnimation>
#include <QScrollArea>
#include <QScrollBar>
#include <QtTest/QTest>

using namespace cvn;
using cvn::test::countPixels;
using cvn::test::pixelNear;

class ScrollToNewestButtonTest : public cvn::test::KitTest {};

TEST_F(ScrollToNewestButtonTest, ShowsWhilePausedAndAPressAnimatesToTheTail)
{
    for (auto [turns, follow, content, shows] : {std::tuple(0, false, 2000.0, false),
                                                 {3, true, 2000.0, false},
                                                 {3, false, 400.0, false},
                                                 {3, false, 401.0, true}})
        EXPECT_EQ(ScrollToNewestButton::shouldShow(turns, follow, {0, content, 400}), shows) << content;
    EXPECT_EQ(ScrollToNewestButton::frameIn(QRect(0, 70, 800, 600)), QRect(382, 670 - 156 - 36, 36, 36));

    QScrollArea area;
    area.setFrameShape(QFrame::NoFrame);
    ScrollBars::styleScrollBars(&area);
    area.resize(800, 400);
    auto* column = new QWidget;
    column->resize(800, 3000);
    area.setWidget(column);
    auto* controller = new ChatScrollController(&area, [](const QString&) {});
    controller->observe(column, {{}, [] { return 2500.0; }});
    ScrollToNewestButton button(&area);
    button.connectTo(controller);
    cvn::test::showAndSettle(area);
    controller->follower().onChatChange({{QUuid::createUuid(), true}});
    QApplication::processEvents();
    const int tail = 2500 + 140 - 400;
    ASSERT_EQ(area.verticalScrollBar()->value(), tail);
    EXPECT_FALSE(button.isVisible());
    area.verticalScrollBar()->triggerAction(QAbstractSlider::SliderPageStepSub);
    QApplication::processEvents();
    ASSERT_TRUE(button.isVisible());
    EXPECT_EQ(button.toolTip(), QStringLiteral("Scroll to newest"));
    EXPECT_EQ(button.accessibleName(), QStringLiteral("Scroll to newest"));

    QTest::mouseClick(&button, Qt::LeftButton, {}, QPoint(18, 18));
    EXPECT_FALSE(button.isVisible());
    QApplication::processEvents();
    auto* animation = controller->findChild<QPropertyAnimation*>();
    ASSERT_TRUE(animation);
    EXPECT_LE(animation->duration(), 300);
    animation->setCurrentTime(animation->duration());
    EXPECT_EQ(area.verticalScrollBar()->value(), tail);
    QApplication::processEvents();
    EXPECT_FALSE(button.isVisible());
}

TEST_F(ScrollToNewestButtonTest, FaceRingAndChevronInBothAppearances)
{
    for (Appearance appearance : {Appearance::Light, Appearance::Dark}) {
        Theme::setAppearance(appearance);
        const bool light = appearance == Appearance::Light;
        const QColor face = light ? cvn::test::kInk : cvn::test::kWhite;
        const QColor chevron = light ? cvn::test::kWhite : cvn::test::kInk;
        ScrollToNewestButton button;
        EXPECT_EQ(button.size(), QSize(36, 36));
        const QImage image = cvn::test::renderOver(button, Qt::transparent);
        EXPECT_TRUE(pixelNear(image, 6, 18, face) && pixelNear(image, 18, 30, face));
        EXPECT_TRUE(pixelNear(image, 0, 18, QColor(0x94, 0x94, 0x94), 40)); // the ring, inside the edge
        EXPECT_TRUE(pixelNear(image, 18, 0, QColor(0x94, 0x94, 0x94), 40));
        EXPECT_EQ(cvn::test::alphaAt(image, 2, 2), 0);
        // The chevron, 12 by 7 in the middle, and none of its colour elsewhere.
        EXPECT_GE(countPixels(image, chevron, 3, QRect(11, 13, 14, 10)), 8);
        EXPECT_EQ(countPixels(image, chevron, 3, QRect(3, 3, 30, 9))
                      + countPixels(image, chevron, 3, QRect(3, 24, 30, 9)),
                  0);
    }
}

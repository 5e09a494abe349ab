#include "chat/ChatScrollController.h"
#include "chat/ScrollToNewestButton.h"

#include "rendering/ViewTest.h"
#include "ui_kit/KitTest.h"
#include "ui_kit/ScrollBars.h"

#include <QApplication>
#include <QPropertyAnimation>
#include <QScrollArea>
#include <QScrollBar>
#include <QtTest/QTest>

using namespace cvn;
using cvn::test::pixelNear;

namespace {

class ScrollToNewestButtonTest : public cvn::test::KitTest {};

void settle()
{
    for (int i = 0; i < 4; ++i)
        QApplication::processEvents();
}

} // namespace

TEST_F(ScrollToNewestButtonTest, ShowsOnlyWithTurnsWhilePausedOverATallerTranscript)
{
    const struct {
        int64_t turns;
        bool autoFollow;
        double content;
        bool shows;
    } cases[] = {{0, false, 2000, false}, {3, true, 2000, false}, {3, false, 400, false}, {3, false, 401, true}};
    for (const auto& c : cases)
        EXPECT_EQ(ScrollToNewestButton::shouldShow(c.turns, c.autoFollow, {0, c.content, 400}), c.shows) << c.content;
    EXPECT_EQ(ScrollToNewestButton::frameIn(QRect(0, 70, 800, 600)), QRect(382, 670 - 156 - 36, 36, 36));
}

TEST_F(ScrollToNewestButtonTest, PressResumesFollowingAndAnimatesToTheTail)
{
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
    area.show();
    settle();
    controller->follower().onChatChange({{QUuid::createUuid(), true}});
    settle();
    const int tail = 2500 + 140 - 400;
    ASSERT_EQ(area.verticalScrollBar()->value(), tail);
    EXPECT_FALSE(button.isVisible());

    area.verticalScrollBar()->triggerAction(QAbstractSlider::SliderPageStepSub);
    settle();
    ASSERT_TRUE(button.isVisible());
    EXPECT_EQ(button.toolTip(), QStringLiteral("Scroll to newest"));
    EXPECT_EQ(button.accessibleName(), QStringLiteral("Scroll to newest"));

    QTest::mouseClick(&button, Qt::LeftButton, {}, QPoint(18, 18));
    EXPECT_FALSE(button.isVisible());
    settle();
    auto* animation = controller->findChild<QPropertyAnimation*>();
    ASSERT_TRUE(animation);
    EXPECT_LE(animation->duration(), 300);
    animation->setCurrentTime(animation->duration());
    EXPECT_EQ(area.verticalScrollBar()->value(), tail);
    settle();
    EXPECT_FALSE(button.isVisible());
    EXPECT_TRUE(controller->follower().autoFollow());
}

TEST_F(ScrollToNewestButtonTest, FaceRingAndChevronInBothAppearances)
{
    const QColor grey(0x94, 0x94, 0x94);
    for (Appearance appearance : {Appearance::Light, Appearance::Dark}) {
        Theme::setAppearance(appearance);
        const bool light = appearance == Appearance::Light;
        const QColor face = light ? cvn::test::kInk : cvn::test::kWhite;
        const QColor chevron = light ? cvn::test::kWhite : cvn::test::kInk;
        ScrollToNewestButton button;
        EXPECT_EQ(button.size(), QSize(36, 36));
        const QImage image = cvn::test::renderOver(button, Qt::transparent);
        EXPECT_TRUE(pixelNear(image, 6, 18, face));
        EXPECT_TRUE(pixelNear(image, 18, 30, face));
        EXPECT_TRUE(pixelNear(image, 0, 18, grey, 40)); // the ring, inside the edge
        EXPECT_TRUE(pixelNear(image, 18, 0, grey, 40));
        EXPECT_EQ(cvn::test::alphaAt(image, 2, 2), 0); // round: corners stay clear
        // The chevron's strokes, 12 by 7 in the middle, and nothing of its
        // colour elsewhere on the face.
        const QRect chevronBox(11, 13, 14, 10);
        EXPECT_GE(cvn::test::countPixels(image, chevron, 3, chevronBox), 8);
        EXPECT_EQ(cvn::test::countPixels(image, chevron, 3, QRect(3, 3, 30, 9)), 0);
        EXPECT_EQ(cvn::test::countPixels(image, chevron, 3, QRect(3, 24, 30, 9)), 0);
    }
}

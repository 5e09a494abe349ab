#include "chat/ChatScrollController.h"

#include "rendering/ViewTest.h"
#include "support/Wait.h"
#include "ui_kit/ScrollBars.h"

#include <QApplication>
#include <QPropertyAnimation>
#include <QScrollArea>
#include <QScrollBar>

#include <gtest/gtest.h>

using namespace cvn;

namespace {

using Report = std::tuple<double, double, double>;

// A real scroll area, 800 by 400 with the kit's bars, around a stand-in
// transcript column of a given height.
class ChatScrollControllerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        area.setFrameShape(QFrame::NoFrame);
        area.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        ScrollBars::styleScrollBars(&area);
        area.resize(800, 400);
        controller = new ChatScrollController(&area, [this](const QString& line) { lines.append(line); });
        QObject::connect(controller, &ChatScrollController::reported,
                         [this](double o, double d, double v) { reports.append({o, d, v}); });
    }
    void makeColumn(int height)
    {
        column = new QWidget;
        column->resize(800, height);
        area.setWidget(column);
        area.show();
        settle();
    }
    void settle()
    {
        for (int i = 0; i < 4; ++i)
            QApplication::processEvents();
    }
    QScrollBar* bar() { return area.verticalScrollBar(); }

    QScrollArea area;
    QWidget* column = nullptr;
    ChatScrollController* controller = nullptr;
    QList<Report> reports;
    QStringList lines;
};

} // namespace

TEST_F(ChatScrollControllerTest, ReportsAndClampedScrolls)
{
    makeColumn(1000);
    controller->observe(column);
    settle();
    ASSERT_FALSE(reports.isEmpty());
    EXPECT_EQ(reports.first(), Report(0, 1000, 400));

    const struct {
        double asked;
        int got;
    } cases[] = {{600, 600}, {-5, 0}, {5000, 600}, {123.6, 124}};
    for (const auto& c : cases) {
        reports.clear();
        EXPECT_EQ(controller->scrollToBottom(false, c.asked), c.got) << c.asked;
        EXPECT_EQ(bar()->value(), c.got);
        settle();
        if (c.got != 0 || c.asked == -5)
            EXPECT_TRUE(reports.isEmpty() || reports.last() == Report(c.got, 1000, 400)) << c.asked;
    }
    reports.clear();
    controller->scrollToBottom(false, 600);
    settle();
    EXPECT_EQ(reports, QList<Report>({{600, 1000, 400}}));

    // Moving again within the same area registers nothing new.
    reports.clear();
    controller->observe(column);
    settle();
    EXPECT_TRUE(reports.isEmpty());
}

TEST_F(ChatScrollControllerTest, ShortContentAlwaysLandsAtZero)
{
    makeColumn(300);
    controller->observe(column);
    for (double asked : {0.0, 250.0, -40.0, 9000.0})
        EXPECT_EQ(controller->scrollToBottom(false, asked), 0);
}

TEST_F(ChatScrollControllerTest, NoAreaOrNoContent)
{
    QWidget loose;
    loose.resize(100, 1000);
    controller->observe(&loose);
    settle();
    EXPECT_FALSE(controller->scrollToBottom(false, 100));
    EXPECT_TRUE(reports.isEmpty());

    // An area without a content widget still reports, with no document.
    auto* child = new QWidget(area.viewport());
    area.show();
    controller->observe(child);
    settle();
    ASSERT_FALSE(reports.isEmpty());
    EXPECT_EQ(reports.last(), Report(0, 0, 400));
    EXPECT_FALSE(controller->scrollToBottom(false, 100));
}

TEST_F(ChatScrollControllerTest, AReportQueuedBeforeDeletionNeverArrives)
{
    makeColumn(1000);
    controller->observe(column);
    settle();
    reports.clear();
    bar()->setValue(300); // queues a report
    delete controller;
    settle();
    EXPECT_TRUE(reports.isEmpty());
}

TEST_F(ChatScrollControllerTest, AnimatedScrollEasesOutAndUserInputStopsIt)
{
    makeColumn(2000);
    controller->observe(column, {{}, [] { return 1800.0; }});
    controller->tailTopChanged();
    settle();
    ASSERT_EQ(bar()->value(), 1540);
    EXPECT_EQ(controller->scrollToBottom(true, 0), 0);
    auto* animation = controller->findChild<QPropertyAnimation*>();
    ASSERT_TRUE(animation);
    EXPECT_EQ(animation->duration(), 250);
    animation->setCurrentTime(125);
    EXPECT_LT(bar()->value(), 770); // ease-out: past the middle at half time
    animation->setCurrentTime(250);
    EXPECT_EQ(bar()->value(), 0);
    settle();
    EXPECT_TRUE(controller->follower().autoFollow()); // our own scroll up is not the user's

    // A new request replaces a running animation; a wheel turn stops it.
    controller->scrollToBottom(true, 1540);
    controller->scrollToBottom(true, 1000);
    QList<QPropertyAnimation*> running = controller->findChildren<QPropertyAnimation*>();
    running.removeIf([](auto* a) { return a->state() != QAbstractAnimation::Running; });
    ASSERT_EQ(running.size(), 1);
    running[0]->setCurrentTime(125);
    settle();
    const int before = bar()->value();
    cvn::test::turnWheel(area.viewport(), QPoint(400, 200), QPoint(0, 120));
    EXPECT_LT(bar()->value(), before);
    EXPECT_FALSE(controller->isAnimating());
    settle();
    EXPECT_FALSE(controller->follower().autoFollow());
}

TEST_F(ChatScrollControllerTest, FollowsTheTailAndAClampIsNotTheUserScrollingUp)
{
    makeColumn(2000);
    double tailTop = 1800;
    controller->observe(column, {{}, [&] { return tailTop; }});
    settle();
    controller->tailTopChanged();
    settle();
    EXPECT_EQ(bar()->value(), 1800 + 140 - 400);
    EXPECT_TRUE(controller->follower().autoFollow());

    // The transcript shrinks under the view: the bar clamps down, and
    // following goes on.
    column->resize(800, 1000);
    tailTop = 800;
    settle();
    EXPECT_EQ(bar()->value(), 600);
    EXPECT_TRUE(controller->follower().autoFollow());

    // The user scrolls up with the keyboard's arrow: following pauses.
    bar()->triggerAction(QAbstractSlider::SliderPageStepSub);
    settle();
    EXPECT_FALSE(controller->follower().autoFollow());
}

TEST_F(ChatScrollControllerTest, AnchorsAUserTurnHundredPixelsBelowTheTop)
{
    makeColumn(3000);
    const QUuid turn = QUuid::createUuid();
    controller->observe(column, {[&](const QUuid& id) -> std::optional<double> {
                                     return id == turn ? std::optional<double>(1500) : std::nullopt;
                                 },
                                 [] { return 1600.0; }});
    settle();
    controller->follower().onTurnsChange({{turn, true}});
    settle();
    auto* animation = controller->findChild<QPropertyAnimation*>();
    ASSERT_TRUE(animation);
    EXPECT_EQ(animation->duration(), 350);
    EXPECT_EQ(animation->endValue().toInt(), 1500 - 100);
    ASSERT_TRUE(cvn::test::waitUntil([&] { return !controller->follower().anchoring(); }));
    EXPECT_EQ(controller->follower().anchorRest(), 1400);
}

#include "chat/transcript/ChatScrollController.h"

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

void settle()
{
    for (int i = 0; i < 4; ++i)
        QApplication::processEvents();
}

// A real 800 by 400 scroll area with the kit's bars around a stand-in
// transcript column.
class ChatScrollControllerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        area.setFrameShape(QFrame::NoFrame);
        area.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        ScrollBars::styleScrollBars(&area);
        area.resize(800, 400);
        controller = new ChatScrollController(&area, [](const QString&) {});
        QObject::connect(controller, &ChatScrollController::reported, [this](double o, double d, double v) {
            reports.append({o, d, v});
        });
    }
    void makeColumn(int height, TranscriptSeams seams = {})
    {
        column = new QWidget;
        column->resize(800, height);
        area.setWidget(column);
        area.show();
        controller->observe(column, std::move(seams));
        settle();
    }
    QScrollBar* bar() { return area.verticalScrollBar(); }
    QPropertyAnimation* running()
    {
        QList<QPropertyAnimation*> all = controller->findChildren<QPropertyAnimation*>();
        all.removeIf([](auto* a) { return a->state() != QAbstractAnimation::Running; });
        return all.size() == 1 ? all[0] : nullptr; // never two at once
    }

    QScrollArea area;
    QWidget* column = nullptr;
    ChatScrollController* controller = nullptr;
    QList<Report> reports;
};

} // namespace

TEST_F(ChatScrollControllerTest, ReportsAndClampedScrolls)
{
    makeColumn(1000);
    ASSERT_FALSE(reports.isEmpty());
    EXPECT_EQ(reports.first(), Report(0, 1000, 400));
    for (auto [asked, got] : {std::pair(600.0, 600), {-5.0, 0}, {5000.0, 600}, {123.6, 124}}) {
        EXPECT_EQ(controller->scrollToBottom(false, asked), got) << asked;
        EXPECT_EQ(bar()->value(), got);
    }
    settle();
    reports.clear();
    controller->scrollToBottom(false, 600);
    settle();
    EXPECT_EQ(reports, QList<Report>({{600, 1000, 400}}));
    // Attaching again to the same area registers and reports nothing.
    reports.clear();
    controller->observe(column);
    settle();
    EXPECT_TRUE(reports.isEmpty());
    // A report queued before the controller goes never arrives.
    bar()->setValue(300);
    delete controller;
    settle();
    EXPECT_TRUE(reports.isEmpty());
}

TEST_F(ChatScrollControllerTest, ShortContentNoAreaAndNoContent)
{
    makeColumn(300);
    for (double asked : {0.0, 250.0, -40.0, 9000.0})
        EXPECT_EQ(controller->scrollToBottom(false, asked), 0);

    auto* other = new ChatScrollController(&area);
    QWidget loose;
    other->observe(&loose);
    EXPECT_FALSE(other->scrollToBottom(false, 100));

    // An area without a content widget still reports, with no document.
    QScrollArea empty;
    empty.setFrameShape(QFrame::NoFrame);
    empty.resize(800, 400);
    auto* child = new QWidget(empty.viewport());
    QObject::connect(other, &ChatScrollController::reported, [this](double o, double d, double v) {
        reports.append({o, d, v});
    });
    reports.clear();
    other->observe(child);
    empty.show();
    settle();
    ASSERT_FALSE(reports.isEmpty());
    EXPECT_EQ(reports.last(), Report(0, 0, 400));
    EXPECT_FALSE(other->scrollToBottom(false, 100));
}

TEST_F(ChatScrollControllerTest, AnimatedScrollEasesOutAndUserInputStopsIt)
{
    makeColumn(2000, {{}, [] { return 1800.0; }});
    controller->tailTopChanged();
    settle();
    ASSERT_EQ(bar()->value(), 1540);
    EXPECT_EQ(controller->scrollToBottom(true, 0), 0);
    ASSERT_TRUE(running());
    EXPECT_EQ(running()->duration(), 250);
    running()->setCurrentTime(125);
    EXPECT_LT(bar()->value(), 770); // ease-out: past the middle at half time
    running()->setCurrentTime(250);
    EXPECT_EQ(bar()->value(), 0);
    settle();
    EXPECT_TRUE(controller->follower().autoFollow()); // our own scroll up is not the user's

    // A new request replaces a running animation; a wheel turn stops it.
    controller->scrollToBottom(true, 1540);
    controller->scrollToBottom(true, 1000);
    ASSERT_TRUE(running());
    running()->setCurrentTime(125);
    settle();
    const int before = bar()->value();
    cvn::test::turnWheel(area.viewport(), QPoint(400, 200), QPoint(0, 120));
    EXPECT_FALSE(controller->isAnimating());
    EXPECT_LT(bar()->value(), before);
    settle();
    EXPECT_FALSE(controller->follower().autoFollow());
}

TEST_F(ChatScrollControllerTest, FollowsTheTailAnchorsAndAClampIsNotTheUserScrollingUp)
{
    double tailTop = 1800;
    const QUuid turn = QUuid::createUuid();
    makeColumn(2000, {[&](const QUuid& id) { return id == turn ? std::optional<double>(1500) : std::nullopt; },
                      [&] { return tailTop; }});
    controller->tailTopChanged();
    settle();
    EXPECT_EQ(bar()->value(), 1800 + 140 - 400);
    // A new user turn scrolls to 100 pixels below the top and rests there.
    controller->follower().onTurnsChange({{turn, true}});
    settle();
    ASSERT_TRUE(running());
    EXPECT_EQ(running()->duration(), 350);
    EXPECT_EQ(running()->endValue().toInt(), 1500 - 100);
    ASSERT_TRUE(cvn::test::waitUntil([&] { return !controller->follower().anchoring(); }));
    EXPECT_EQ(controller->follower().anchorRest(), 1400);
    // The transcript shrinks under the view: the bar clamps down, and
    // following goes on.
    controller->follower().onChatChange({});
    settle();
    column->resize(800, 1000);
    tailTop = 800;
    settle();
    EXPECT_EQ(bar()->value(), 600);
    EXPECT_TRUE(controller->follower().autoFollow());
    // A page up from the keyboard is the user's: following pauses.
    bar()->triggerAction(QAbstractSlider::SliderPageStepSub);
    settle();
    EXPECT_FALSE(controller->follower().autoFollow());
}

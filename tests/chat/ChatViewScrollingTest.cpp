#include "chat/ChatView.h"
#include "chat/shared/DebugPanel.h"
#include "chat/transcript/ChatScrollController.h"
#include "chat/transcript/ScrollToNewestButton.h"
#include "chat/transcript/MessageBubble.h"
#include "chat/transcript/TranscriptColumn.h"

#include "FakeSession.h"
#include "attachments/AttachmentStager.h"
#include "platform/AppSettings.h"
#include "support/Wait.h"
#include "ui_kit/KitTest.h"

#include <QApplication>
#include <QPointer>
#include <QPropertyAnimation>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QVariantAnimation>

#include <cmath>
#include <memory>

using namespace cvn;
using cvn::test::makeTurn;
using Role = ChatMessage::Role;

// A chat of `count` lines opened on a 1280 by 800 page.
class ChatViewScrollingTest : public cvn::test::KitTest {
protected:
    void open(int count, AttachmentStager* files = nullptr)
    {
        for (int i = 0; i < count; ++i)
            turns << makeTurn(i % 2 ? Role::assistant : Role::user, QStringLiteral("Line of text %1").arg(i));
        session.turnList = turns;
        view = std::make_unique<ChatView>(&session, files, nullptr);
        view->resize(1280, 800);
        cvn::test::showAndSettle(*view);
        bar = view->scrollArea()->verticalScrollBar();
        scroller = view->scroller();
    }

    cvn::test::FakeSession session;
    QList<LlamaSession::Turn> turns;
    AttachmentStager stager;
    std::unique_ptr<ChatView> view;
    QScrollBar* bar = nullptr;
    ChatScrollController* scroller = nullptr;
};

TEST_F(ChatViewScrollingTest, OpensAtTheTailPausesAnchorsAndComesBack)
{
    open(30, &stager);
    auto atTail = [&] {
        return bar->value() == int(scroller->follower().tailOffset(scroller->follower().metrics()));
    };
    // Opening a chat jumps to its end: nothing animates.
    ASSERT_TRUE(cvn::test::waitUntil([&] { return bar->maximum() > 0 && atTail(); }));
    EXPECT_FALSE(scroller->isAnimating() || scroller->follower().anchoring());

    bar->triggerAction(QAbstractSlider::SliderPageStepSub);
    ASSERT_TRUE(cvn::test::waitUntil([&] { return view->scrollToNewestButton()->isVisible(); }));
    EXPECT_EQ(view->scrollToNewestButton()->geometry(), QRect((1280 - 36) / 2, 800 - 70 - 156 - 36, 36, 36));
    QTest::mouseClick(view->scrollToNewestButton(), Qt::LeftButton, {}, QPoint(18, 18));
    EXPECT_FALSE(view->scrollToNewestButton()->isVisible());
    ASSERT_TRUE(cvn::test::waitUntil([&] { return !scroller->isAnimating() && atTail(); }));

    // A new question is anchored 100 below the top, with the reading gap
    // under the tail while the reply streams.
    turns << makeTurn(Role::user, QStringLiteral("Next question"))
          << makeTurn(Role::assistant, QString(), LlamaSession::Turn::State::streaming());
    session.setTurns(turns);
    session.setStreaming(true);
    ASSERT_TRUE(cvn::test::waitUntil([&] {
        return scroller->follower().anchorRest().has_value() && !scroller->follower().readingGapAnimating();
    }));
    EXPECT_EQ(bar->value(), *view->anchorY(turns[30].id) - 100);
    EXPECT_EQ(view->transcript()->tailHeight(), view->composerHeight() + 140);
    EXPECT_EQ(view->transcript()->fillerHeight(), view->scrollArea()->viewport()->height());
}

// The divider may come above while the view glides up to a new question
// (the model's view is cut as the question goes out): the glide moves with
// the rows, so what shows does not jump back, and the question still lands
// 100 below the top. Only posted calls are delivered here, never timers, so
// the held glide is the one thing that moves the view.
TEST_F(ChatViewScrollingTest, ADividerComingAboveMidGlideMovesTheGlideWithIt)
{
    open(30);
    ASSERT_TRUE(cvn::test::waitUntil([&] { return bar->maximum() > 0 && !scroller->isAnimating(); }));

    turns << makeTurn(Role::user, QStringLiteral("Next question"));
    session.setTurns(turns);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall); // the turns
    QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall); // the glide starts
    QPointer<QPropertyAnimation> glide = scroller->findChild<QPropertyAnimation*>();
    ASSERT_TRUE(glide);
    glide->pause();
    const int half = glide->duration() / 2;
    glide->setCurrentTime(half + 20);
    const int next = bar->value(); // the frame after the middle, as things stand
    glide->setCurrentTime(half);
    const int middle = bar->value();
    TranscriptColumn* column = view->transcript();
    int row = 0;
    while (column->rowTop(row) < bar->value())
        ++row;
    ASSERT_NE(column->bubble(row), nullptr);
    const int shown = column->bubble(row)->mapTo(view.get(), QPoint()).y();

    session.setFirstSeen(turns[2].id);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
    ASSERT_NE(column->divider(), nullptr);
    EXPECT_EQ(column->bubble(row)->mapTo(view.get(), QPoint()).y(), shown);
    const int shift = bar->value() - middle;
    EXPECT_GT(shift, 0);
    glide->setCurrentTime(half + 20);
    EXPECT_EQ(bar->value(), next + shift);
    glide->setCurrentTime(glide->duration());
    EXPECT_EQ(bar->value(), *view->anchorY(turns[30].id) - TailFollower::anchorTopInset);
}

TEST_F(ChatViewScrollingTest, TheReadingGapEasesOutWhenAReplyEndsWithTheNewestLineInView)
{
    open(40);
    const TailFollower& follower = scroller->follower();
    auto atTail = [&] { return bar->value() == int(std::lround(follower.tailOffset(follower.metrics()))); };
    ASSERT_TRUE(cvn::test::waitUntil([&] { return bar->maximum() > 0 && atTail(); }));

    // A reply streams (a regenerated answer: no new question to anchor).
    session.setStreaming(true);
    ASSERT_TRUE(cvn::test::waitUntil([&] {
        return !scroller->readingGapAnimation() && follower.readingGap() == 140 && atTail() && !scroller->isAnimating();
    }));
    EXPECT_EQ(view->transcript()->tailHeight(), view->composerHeight() + 140);

    // It ends: the gap eases from 140 to 0 in 250 ms. The test holds the
    // animation and steps it, letting the loop run the follow step of each
    // frame.
    session.setStreaming(false);
    QVariantAnimation* animation = scroller->readingGapAnimation();
    ASSERT_NE(animation, nullptr);
    animation->pause();
    EXPECT_EQ(animation->duration(), 250);
    const int viewport = view->scrollArea()->viewport()->height();
    auto newestLineY = [&] { return view->tailTop() - bar->value(); }; // the last row's bottom, in the viewport
    int previous = 140;
    for (int ms : {40, 100, 160, 220}) {
        animation->setCurrentTime(ms);
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        const int gap = int(std::lround(follower.readingGap()));
        EXPECT_GT(gap, 0) << ms;
        EXPECT_LT(gap, previous) << ms;
        EXPECT_EQ(view->transcript()->tailHeight(), view->composerHeight() + gap) << ms;
        EXPECT_TRUE(atTail()) << ms;
        // In view, `gap` above the composer's band: no 140-pixel jump.
        EXPECT_EQ(newestLineY(), viewport - view->composerHeight() - gap) << ms;
        EXPECT_GE(newestLineY(), 0);
        previous = gap;
    }
    animation->setCurrentTime(250);
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(follower.readingGap(), 0);
    EXPECT_FALSE(follower.readingGapAnimating());
    EXPECT_EQ(view->transcript()->tailHeight(), view->composerHeight());
    EXPECT_TRUE(atTail());
    EXPECT_EQ(newestLineY(), viewport - view->composerHeight());
    EXPECT_TRUE(cvn::test::waitUntil([&] { return !scroller->readingGapAnimation(); }));
}

TEST_F(ChatViewScrollingTest, APageBuiltWhileAReplyStreamsHasItsReadingGapAtOnce)
{
    // Nothing is on screen to move: no animation, the gap is simply there.
    session.turnList = {makeTurn(Role::user, QStringLiteral("Question")),
                        makeTurn(Role::assistant, QStringLiteral("Answer"), LlamaSession::Turn::State::streaming())};
    session.streaming = true;
    ChatView page(&session, nullptr, nullptr);
    EXPECT_EQ(page.scroller()->follower().readingGap(), 140);
    EXPECT_EQ(page.scroller()->readingGapAnimation(), nullptr);
    EXPECT_EQ(page.transcript()->tailHeight(), page.composerHeight() + 140);
}

TEST_F(ChatViewScrollingTest, RuntimePanelFollowsTheSettingOverThePage)
{
    const QString key = QString::fromLatin1(AppSettings::showRuntimePanel);
    AppSettings::setValue(key, false);
    ChatView page(&session, nullptr, nullptr);
    page.resize(1000, 700);
    cvn::test::showAndSettle(page);
    EXPECT_FALSE(page.debugPanel()->isVisible());
    AppSettings::setValue(key, true);
    EXPECT_TRUE(page.debugPanel()->isVisible());
    EXPECT_EQ(page.debugPanel()->geometry().topLeft(), QPoint(12, 8));
    EXPECT_EQ(page.debugPanel()->width(), 1000 - 24);
    EXPECT_TRUE(page.debugPanel()->testAttribute(Qt::WA_TransparentForMouseEvents));
    AppSettings::setValue(key, false);
    EXPECT_FALSE(page.debugPanel()->isVisible());
}

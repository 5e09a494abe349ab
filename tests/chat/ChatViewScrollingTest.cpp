#include "chat/ChatScrollController.h"
#include "chat/ChatView.h"
#include "chat/DebugPanel.h"
#include "chat/ScrollToNewestButton.h"
#include "chat/TranscriptColumn.h"

#include "FakeSession.h"
#include "attachments/AttachmentStager.h"
#include "platform/AppSettings.h"
#include "support/Wait.h"
#include "ui_kit/KitTest.h"

#include <QApplication>
#include <QPropertyAnimation>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>

using namespace cvn;
using cvn::test::makeTurn;
using Role = ChatMessage::Role;

class ChatViewScrollingTest : public cvn::test::KitTest {};

TEST_F(ChatViewScrollingTest, OpensAtTheTailPausesAnchorsAndComesBack)
{
    cvn::test::FakeSession session;
    QList<LlamaSession::Turn> turns;
    for (int i = 0; i < 30; ++i)
        turns << makeTurn(i % 2 ? Role::assistant : Role::user, QStringLiteral("Line of text %1").arg(i));
    session.turnList = turns;
    AttachmentStager stager;
    ChatView view(&session, &stager, nullptr);
    view.resize(1280, 800);
    cvn::test::showAndSettle(view);
    QScrollBar* bar = view.scrollArea()->verticalScrollBar();
    ChatScrollController* scroller = view.scroller();
    auto atTail = [&] {
        return bar->value() == int(scroller->follower().tailOffset(scroller->follower().metrics()));
    };
    // Opening a chat jumps to its end: nothing animates.
    ASSERT_TRUE(cvn::test::waitUntil([&] { return bar->maximum() > 0 && atTail(); }));
    EXPECT_FALSE(scroller->isAnimating() || scroller->follower().anchoring());

    bar->triggerAction(QAbstractSlider::SliderPageStepSub);
    ASSERT_TRUE(cvn::test::waitUntil([&] { return view.scrollToNewestButton()->isVisible(); }));
    EXPECT_EQ(view.scrollToNewestButton()->geometry(), QRect((1280 - 36) / 2, 800 - 70 - 156 - 36, 36, 36));
    QTest::mouseClick(view.scrollToNewestButton(), Qt::LeftButton, {}, QPoint(18, 18));
    EXPECT_FALSE(view.scrollToNewestButton()->isVisible());
    ASSERT_TRUE(cvn::test::waitUntil([&] { return !scroller->isAnimating() && atTail(); }));

    // A new question is anchored 100 below the top, with the reading gap
    // under the tail while the reply streams.
    turns << makeTurn(Role::user, QStringLiteral("Next question"))
          << makeTurn(Role::assistant, QString(), LlamaSession::Turn::State::streaming());
    session.setTurns(turns);
    session.setStreaming(true);
    ASSERT_TRUE(cvn::test::waitUntil([&] { return scroller->follower().anchorRest().has_value(); }));
    EXPECT_EQ(bar->value(), *view.anchorY(turns[30].id) - 100);
    EXPECT_EQ(view.transcript()->tailHeight(), view.composerHeight() + 140);
    EXPECT_EQ(view.transcript()->fillerHeight(), view.scrollArea()->viewport()->height());
}

TEST_F(ChatViewScrollingTest, RuntimePanelFollowsTheSettingOverThePage)
{
    const QString key = QString::fromLatin1(AppSettings::showRuntimePanel);
    AppSettings::setValue(key, false);
    cvn::test::FakeSession session;
    ChatView view(&session, nullptr, nullptr);
    view.resize(1000, 700);
    cvn::test::showAndSettle(view);
    EXPECT_FALSE(view.debugPanel()->isVisible());
    AppSettings::setValue(key, true);
    EXPECT_TRUE(view.debugPanel()->isVisible());
    EXPECT_EQ(view.debugPanel()->geometry().topLeft(), QPoint(12, 8));
    EXPECT_EQ(view.debugPanel()->width(), 1000 - 24);
    EXPECT_TRUE(view.debugPanel()->testAttribute(Qt::WA_TransparentForMouseEvents));
    AppSettings::setValue(key, false);
    EXPECT_FALSE(view.debugPanel()->isVisible());
}

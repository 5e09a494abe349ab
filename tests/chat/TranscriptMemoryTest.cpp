// Long chats in the chat page: only the rows near what shows are laid out,
// the others keep a height that is corrected as they come into view without
// moving what shows, following the tail and "Scroll to newest" still end at
// the newest line, and a message too long to lay out shows its beginning.
#include "chat/ChatView.h"
#include "chat/transcript/ChatScrollController.h"
#include "chat/transcript/MessageBubble.h"
#include "chat/transcript/TranscriptColumn.h"

#include "FakeSession.h"
#include "rendering/MarkdownText.h"
#include "support/Wait.h"
#include "ui_kit/KitTest.h"

#include <QApplication>
#include <QClipboard>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>

#include <cmath>

using namespace cvn;
using cvn::test::makeTurn;
using Role = ChatMessage::Role;
using Turn = LlamaSession::Turn;

namespace {

// Replies whose shapes an estimate from the text gets wrong in both
// directions: long paragraphs, short-lined code, lists and tables.
QList<Turn> longChat(int count)
{
    QList<Turn> turns;
    const QString sentence = QStringLiteral("Measure the cache before changing it, because the index is stale. ");
    for (int i = 0; i < count; ++i) {
        if (i % 2 == 0) {
            turns << makeTurn(Role::user, QStringLiteral("Question %1: ").arg(i) + sentence.repeated(1 + i % 5));
            continue;
        }
        QString reply = sentence.repeated(1 + i % 11);
        if (i % 3 == 0)
            reply += QStringLiteral("\n\n```cpp\n") + QStringLiteral("x += f(%1);\n").arg(i).repeated(4 + i % 17)
                + QStringLiteral("```");
        if (i % 5 == 0)
            reply += QStringLiteral("\n\n- one\n- two\n- three\n- four");
        if (i % 7 == 0)
            reply += QStringLiteral("\n\n| a | b |\n|---|---|\n| 1 | 2 |\n| 3 | 4 |");
        turns << makeTurn(Role::assistant, reply);
    }
    return turns;
}

// The page opened on a chat of `turns`.
struct Page {
    cvn::test::FakeSession session;
    ChatView view;

    explicit Page(const QList<Turn>& turns) : view((session.turnList = turns, &session), nullptr, nullptr)
    {
        view.resize(1280, 800);
        cvn::test::showAndSettle(view);
    }
    QScrollBar* bar() const { return view.scrollArea()->verticalScrollBar(); }
    TranscriptColumn* column() const { return view.transcript(); }
    const TailFollower& follower() const { return view.scroller()->follower(); }
    int viewportHeight() const { return view.scrollArea()->viewport()->height(); }
    int laidOut() const { return int(column()->findChildren<MessageBubble*>().size()); }
    bool atTail() const
    {
        return !view.scroller()->isAnimating()
            && bar()->value() == int(std::lround(follower().tailOffset(follower().metrics())));
    }
    void settle()
    {
        for (int i = 0; i < 3; ++i)
            QApplication::processEvents();
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    // The rows the viewport shows have their bubbles, laid out where and as
    // high as the column says.
    void expectShownRowsLaidOut(const char* where) const
    {
        const int top = bar()->value();
        const int bottom = top + viewportHeight();
        for (int i = 0; i < column()->rowCount(); ++i) {
            if (column()->rowTop(i) + column()->rowHeight(i) <= top || column()->rowTop(i) >= bottom)
                continue;
            MessageBubble* bubble = column()->bubble(i);
            ASSERT_NE(bubble, nullptr) << where << " row " << i;
            EXPECT_EQ(bubble->mapTo(column(), QPoint()), QPoint(column()->columnX(), column()->rowTop(i)))
                << where << " row " << i;
            EXPECT_EQ(bubble->height(), bubble->heightForWidth(MessageBubble::columnWidth)) << where << " row " << i;
            EXPECT_EQ(column()->rowHeight(i), bubble->height()) << where << " row " << i;
        }
    }
};

} // namespace

class TranscriptMemoryTest : public cvn::test::KitTest {};

TEST_F(TranscriptMemoryTest, OnlyRowsNearTheViewAreLaidOutAndWhatShowsNeverJumps)
{
    Page page(longChat(240));
    ASSERT_TRUE(cvn::test::waitUntil([&] { return page.bar()->maximum() > 0 && page.atTail(); }));
    page.settle();
    EXPECT_LE(page.laidOut(), 40);
    page.expectShownRowsLaidOut("at the tail");

    // Up to the top a page at a time, as the user scrolls: rows above are
    // laid out as they come near, and whatever they turn out to measure,
    // the text shown moves by exactly the page.
    int most = 0;
    int steps = 0;
    while (page.bar()->value() > 0 && steps++ < 2000) {
        const int top = page.bar()->value();
        const int reference = page.column()->rowCount() - 1 - [&] {
            int below = 0; // the last row whose top is above the viewport's top
            for (int i = page.column()->rowCount() - 1; i >= 0 && page.column()->rowTop(i) > top; --i)
                ++below;
            return below;
        }();
        const int before = page.column()->rowTop(reference) - top;
        page.bar()->triggerAction(QAbstractSlider::SliderPageStepSub);
        page.settle();
        const int moved = page.column()->rowTop(reference) - page.bar()->value() - before;
        if (page.bar()->value() > 0) {
            EXPECT_EQ(moved, page.bar()->pageStep()) << "step " << steps;
        }
        EXPECT_FALSE(page.follower().autoFollow()) << "step " << steps;
        page.expectShownRowsLaidOut("scrolling up");
        most = qMax(most, page.laidOut());
    }
    EXPECT_EQ(page.bar()->value(), 0);
    EXPECT_LE(most, 40);
    EXPECT_GT(steps, 20);

    // Down again to the end, where following the tail takes over.
    while (page.bar()->value() < page.bar()->maximum() && steps++ < 4000) {
        page.bar()->triggerAction(QAbstractSlider::SliderPageStepAdd);
        page.settle();
        page.expectShownRowsLaidOut("scrolling down");
        most = qMax(most, page.laidOut());
    }
    EXPECT_LE(most, 40);
    EXPECT_TRUE(page.follower().autoFollow());
    // Every row has been measured on the way: the column is as high as its rows.
    int y = TranscriptColumn::topSpacer;
    for (int i = 0; i < page.column()->rowCount(); ++i) {
        EXPECT_EQ(page.column()->rowTop(i), y) << i;
        y += page.column()->rowHeight(i);
    }
    EXPECT_EQ(page.column()->tailTop(), y);

    // Another chat (an empty one) takes every bubble of this one with it.
    page.session.setTurns({});
    page.settle();
    EXPECT_EQ(page.laidOut(), 0);
    EXPECT_TRUE(page.column()->findChildren<MarkdownText*>().isEmpty());
}

TEST_F(TranscriptMemoryTest, LeavingTheTailStaysLeftWhenTheRowsAboveTurnOutTaller)
{
    // Tables lay out far taller than their text suggests: the rows that come
    // near as the user scrolls up grow by more than the step, and the view
    // is scrolled down by as much to keep its place. That is no return to
    // the tail.
    QString table = QStringLiteral("| a | b |\n|---|---|\n");
    for (int i = 0; i < 80; ++i)
        table += QStringLiteral("| %1 | x |\n").arg(i);
    // Short turns below the tables, as many as put the last table just past
    // the rows laid out at the tail, so that the first step up reaches it.
    for (int shortTurns = 12; shortTurns <= 20; shortTurns += 2) {
        QList<Turn> turns;
        for (int i = 0; i < 4; ++i)
            turns << makeTurn(Role::user, QStringLiteral("Table %1?").arg(i)) << makeTurn(Role::assistant, table);
        for (int i = 0; i < shortTurns; ++i)
            turns << makeTurn(i % 2 ? Role::assistant : Role::user, QStringLiteral("Short %1.").arg(i));
        Page page(turns);
        ASSERT_TRUE(cvn::test::waitUntil([&] { return page.bar()->maximum() > 0 && page.atTail(); }));
        for (int step = 0; step < 3; ++step) {
            page.bar()->triggerAction(QAbstractSlider::SliderPageStepSub);
            page.settle();
            page.settle();
            EXPECT_FALSE(page.follower().autoFollow()) << shortTurns << " short turns, step " << step;
            EXPECT_FALSE(page.atTail()) << shortTurns << " short turns, step " << step;
        }
    }
}

TEST_F(TranscriptMemoryTest, FollowingTheTailAndScrollToNewestEndAtTheNewestLine)
{
    QList<Turn> turns = longChat(160);
    Page page(turns);
    auto newestLineInView = [&] {
        return page.atTail() && page.view.tailTop() - page.bar()->value() == page.viewportHeight() - page.view.composerHeight()
            - int(std::lround(page.follower().readingGap()));
    };
    ASSERT_TRUE(cvn::test::waitUntil([&] { return page.bar()->maximum() > 0 && newestLineInView(); }));
    EXPECT_NE(page.column()->bubble(page.column()->rowCount() - 1), nullptr);

    // A long reply streams in: the newest line stays in view.
    turns << makeTurn(Role::user, QStringLiteral("And the index?"))
          << makeTurn(Role::assistant, QString(), Turn::State::streaming());
    page.session.setTurns(turns);
    page.session.setStreaming(true);
    ASSERT_TRUE(cvn::test::waitUntil([&] { return page.follower().anchorRest().has_value(); }));
    const QString reply = longChat(40).last().content.repeated(6);
    for (qsizetype at = 0; at < reply.size(); at += 400) {
        turns.last().content = reply.left(at + 400);
        page.session.setTurns(turns);
        page.settle();
    }
    page.session.setStreaming(false);
    ASSERT_TRUE(cvn::test::waitUntil([&] { return !page.follower().readingGapAnimating() && newestLineInView(); }));

    // From the top, "Scroll to newest" lands on the newest line, across rows
    // whose heights were only estimated when it set off.
    page.bar()->triggerAction(QAbstractSlider::SliderToMinimum);
    ASSERT_TRUE(cvn::test::waitUntil([&] { return !page.follower().autoFollow(); }));
    page.view.scroller()->follower().scrollToNewest();
    ASSERT_TRUE(cvn::test::waitUntil([&] { return newestLineInView(); }));
    page.settle();
    EXPECT_TRUE(newestLineInView());
    page.expectShownRowsLaidOut("after scroll to newest");
}

TEST_F(TranscriptMemoryTest, AMessageTooLongToLayOutShowsItsBeginningAndCopiesWhole)
{
    // The cut falls inside a surrogate pair: the pair is left out whole.
    QString question = QString(MessageBubble::shownCharacters - 1, u'q') + QStringLiteral("\U0001F600") + QString(50, u'r');
    QString answer;
    while (answer.size() <= 3 * MessageBubble::shownCharacters)
        answer += QStringLiteral("A paragraph of the log, line %1.\n\n```\ncode %1\n```\n\n").arg(answer.size());
    Page page({makeTurn(Role::user, question), makeTurn(Role::assistant, answer)});
    ASSERT_TRUE(cvn::test::waitUntil([&] { return page.column()->bubble(1) && page.atTail(); }));
    MessageBubble* reply = page.column()->bubble(1);
    ASSERT_FALSE(reply->endingLineRect().isNull());
    EXPECT_GE(reply->endingLineRect().top(), reply->answer()->geometry().bottom());
    EXPECT_LE(reply->endingLineRect().bottom(), reply->actionButtons().first()->y());
    EXPECT_EQ(MessageBubble::endingLine(),
              QStringLiteral("Message too long to show in full: showing the first 100,000 characters."));

    // The Markdown view holds the beginning only.
    qsizetype drawn = 0;
    for (int i = 0; i < reply->answer()->itemCount(); ++i) {
        const MarkdownText::Item* item = reply->answer()->item(i);
        for (const auto& row : item->rows())
            drawn += row->layout.text().size();
        if (const auto* code = std::get_if<Markdown::Code>(&item->block()))
            drawn += code->text.size();
    }
    EXPECT_GT(drawn, MessageBubble::shownCharacters / 2);
    EXPECT_LE(drawn, MessageBubble::shownCharacters);

    // Copy takes the stored text, whole.
    const QPoint centre(MessageActionButton::side / 2, MessageActionButton::side / 2);
    QTest::mouseClick(reply->actionButtons().first(), Qt::LeftButton, {}, centre);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), answer);

    page.bar()->triggerAction(QAbstractSlider::SliderToMinimum);
    ASSERT_TRUE(cvn::test::waitUntil([&] { return page.column()->bubble(0) != nullptr; }));
    MessageBubble* user = page.column()->bubble(0);
    EXPECT_EQ(user->userText(), question.left(MessageBubble::shownCharacters - 1));
    ASSERT_FALSE(user->endingLineRect().isNull());
    EXPECT_GE(user->endingLineRect().top(), user->userBubbleRect().bottom());
    EXPECT_LE(user->endingLineRect().bottom(), user->actionButtons().first()->y());
    QTest::mouseClick(user->actionButtons().first(), Qt::LeftButton, {}, centre);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), question);

    // A text that fits shows no ending line; one that grows past the limit
    // while it streams gets it.
    MessageBubble streaming(makeTurn(Role::assistant, QStringLiteral("short"), Turn::State::streaming()));
    streaming.resize(MessageBubble::columnWidth, streaming.heightForWidth(MessageBubble::columnWidth));
    EXPECT_TRUE(streaming.endingLineRect().isNull());
    Turn grown = streaming.turn();
    grown.content = QString(MessageBubble::shownCharacters, u'x');
    streaming.setTurn(grown);
    EXPECT_TRUE(streaming.endingLineRect().isNull());
    grown.content += u'y';
    streaming.setTurn(grown);
    EXPECT_FALSE(streaming.endingLineRect().isNull());
}

#include "chat/transcript/MessageBubble.h"

#include "FakeSession.h"
#include "attachments/views/AttachmentTile.h"
#include "rendering/MarkdownText.h"
#include "ui_kit/KitTest.h"

#include <QTest>

using namespace cvn;
using Turn = LlamaSession::Turn;
using Action = MessageBubble::Action;

namespace {

Turn assistant(const QString& content, Turn::State state = Turn::State::complete())
{
    return cvn::test::makeTurn(ChatMessage::Role::assistant, content, state);
}

Turn user(const QString& content)
{
    return cvn::test::makeTurn(ChatMessage::Role::user, content);
}

QList<Action> actions(const MessageBubble& bubble)
{
    QList<Action> out;
    for (const MessageActionButton* button : bubble.actionButtons())
        out.append(button->action());
    return out;
}

// Every child widget the bubble shows, directly or below.
int visibleChildren(const MessageBubble& bubble)
{
    int n = 0;
    for (const QWidget* w : bubble.findChildren<QWidget*>())
        n += w->isVisibleTo(&bubble) ? 1 : 0;
    return n;
}

class MessageBubbleTest : public cvn::test::KitTest {
protected:
    std::unique_ptr<MessageBubble> show(const Turn& t)
    {
        auto bubble = std::make_unique<MessageBubble>(t);
        bubble->resize(MessageBubble::columnWidth, bubble->heightForWidth(MessageBubble::columnWidth));
        cvn::test::showAndSettle(*bubble);
        return bubble;
    }
};

} // namespace

TEST_F(MessageBubbleTest, FailedTurnShowsOnlyTheBox)
{
    for (const ChatMessage::Role role : {ChatMessage::Role::user, ChatMessage::Role::assistant}) {
        Turn t = cvn::test::makeTurn(role, QStringLiteral("[Attached file: a.txt]\nx\n[End file]\n\nhello"),
                      Turn::State::failed(QStringLiteral("Not enough RAM")));
        t.reasoning = QStringLiteral("thought");
        t.modelName = QStringLiteral("Model A");
        const auto bubble = show(t);
        EXPECT_EQ(bubble->layoutKind(), MessageBubble::Layout::failure);
        EXPECT_EQ(visibleChildren(*bubble), 0);
        EXPECT_EQ(bubble->failureBoxRect(), QRectF(0, 6, 560, bubble->failureBoxRect().height()));
        EXPECT_TRUE(bubble->tagRect().isNull());
        EXPECT_EQ(bubble->height(), 6 + int(bubble->failureBoxRect().height()) + 16);
        const QImage image = cvn::test::renderOver(*bubble, Qt::white);
        EXPECT_TRUE(cvn::test::pixelNear(image, 300, 7, QColor(0xE0, 0xA0, 0x30), 40)); // the amber border
    }
}

TEST_F(MessageBubbleTest, StreamingReplyShowsThePlaceholderUntilTextArrives)
{
    Turn t = assistant({}, Turn::State::streaming());
    t.modelName = QStringLiteral("Qwen3 4B");
    const auto bubble = show(t);
    EXPECT_FALSE(bubble->placeholderRect().isNull());
    EXPECT_TRUE(bubble->tagRect().isNull());
    EXPECT_EQ(visibleChildren(*bubble), 0);
    // The darkest ink of the placeholder is the grey itself.
    const QImage image = cvn::test::renderOver(*bubble, Qt::white).copy(bubble->placeholderRect().toRect());
    int darkest = 255;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            darkest = qMin(darkest, qGray(image.pixel(x, y)));
    EXPECT_NEAR(darkest, 0x94, 3);

    // Blank reasoning: no placeholder, no section, only the tag.
    t.reasoning = QStringLiteral("  \n ");
    bubble->setTurn(t);
    EXPECT_TRUE(bubble->placeholderRect().isNull());
    EXPECT_TRUE(bubble->reasoningRect().isNull());
    EXPECT_FALSE(bubble->tagRect().isNull());
    EXPECT_EQ(bubble->reasoningToggle(), nullptr);
}

TEST_F(MessageBubbleTest, ProgressTakesThePlaceholderWhileTheReplyHasNoText)
{
    Turn t = assistant({}, Turn::State::streaming());
    t.waitingFor = QStringLiteral("Waiting for the model to load");
    const auto bubble = show(t);
    const qreal thinkingWidth = bubble->placeholderRect().width();
    // A turn that differs only in its progress still reaches the bubble.
    t.progress = QStringLiteral("Reading the conversation\u2026 45%");
    bubble->setTurn(t);
    EXPECT_EQ(bubble->placeholderText(), t.progress);
    EXPECT_NE(bubble->placeholderRect().width(), thinkingWidth);
    t.progress = QStringLiteral("Reading the image\u2026 3s");
    bubble->setTurn(t);
    EXPECT_EQ(bubble->placeholderText(), t.progress);
    t.content = QStringLiteral("Hello");
    bubble->setTurn(t);
    EXPECT_TRUE(bubble->placeholderRect().isNull());
}

TEST_F(MessageBubbleTest, ActionRowsByRoleStateAndPermission)
{
    const QList<Action> userActions = {Action::copy, Action::edit, Action::resend, Action::remove};
    const QList<Action> assistantActions = {Action::copy, Action::remove};
    struct Case {
        Turn turn;
        bool enabled;
        QList<Action> expected;
    };
    const QList<Case> cases = {
        {assistant(QStringLiteral("done")), true, assistantActions},
        {user(QStringLiteral("hi")), true, userActions},
        {assistant(QStringLiteral("so far"), Turn::State::streaming()), true, {}},
        {assistant({}), true, {}},
        {assistant(QStringLiteral("done")), false, {}},
        {user(QStringLiteral("hi")), false, {}},
    };
    for (const Case& c : cases) {
        MessageBubble bubble(c.turn);
        bubble.setActionsEnabled(c.enabled);
        EXPECT_EQ(actions(bubble), c.expected) << qPrintable(c.turn.content);
    }
    const auto bubble = show(user(QStringLiteral("hi")));
    QStringList titles;
    for (const MessageActionButton* button : bubble->actionButtons())
        titles.append(button->toolTip() + u'/' + button->accessibleName());
    EXPECT_EQ(titles, (QStringList{QStringLiteral("Copy/Copy"), QStringLiteral("Edit/Edit"),
                                   QStringLiteral("Resend/Resend"), QStringLiteral("Delete/Delete")}));
    // Right-aligned with the bubble, 10 below it, 10 apart.
    const QRect last = bubble->actionButtons().last()->geometry();
    EXPECT_EQ(last.right() + 1, 797 - 30);
    EXPECT_EQ(bubble->actionButtons().first()->y(), int(bubble->userBubbleRect().bottom()) + 10);
    EXPECT_EQ(bubble->actionButtons()[1]->x() - bubble->actionButtons()[0]->x(), 38);

    int copies = 0;
    bubble->onCopy = [&] { ++copies; };
    QTest::mouseClick(bubble->actionButtons().first(), Qt::LeftButton, {}, QPoint(14, 14));
    QTest::mouseClick(bubble->actionButtons().first(), Qt::LeftButton, {}, QPoint(1, 1)); // outside the circle
    EXPECT_EQ(copies, 1);
}

TEST_F(MessageBubbleTest, UserBubbleCornersFilesAndWidth)
{
    EXPECT_EQ(MessageBubble::cornerRadiusFor(50), 25);
    EXPECT_EQ(MessageBubble::cornerRadiusFor(200), 34.5);
    EXPECT_EQ(MessageBubble::cornerRadiusFor(0), 34.5);

    const auto bubble = show(user(QStringLiteral("[Attached file: report.pdf]\nbody\n[End file]\n\n"
                                                 "[Attached file: notes.md]\nmore\n[End file]\n\nSummarise")));
    ASSERT_NE(bubble->filesRow(), nullptr);
    EXPECT_EQ(bubble->filesRow()->tiles().size(), 2);
    EXPECT_EQ(bubble->userText(), QStringLiteral("Summarise"));
    EXPECT_EQ(bubble->filesRow()->geometry().bottom() + 1, int(bubble->userBubbleRect().top()));
    EXPECT_EQ(int(bubble->userBubbleRect().right()), 797 - 30);
    // One line: a pill whose ends are half circles.
    EXPECT_LT(bubble->userBubbleRect().height(), 69);

    const auto longOne = show(user(QString(2000, u'w')));
    // Wrapped within 523, hugging its widest line.
    EXPECT_LE(longOne->userBubbleRect().width(), MessageBubble::userMaxWidth);
    EXPECT_GT(longOne->userBubbleRect().width(), MessageBubble::userMaxWidth - 30);
    EXPECT_GT(longOne->userBubbleRect().height(), 200);
}

TEST_F(MessageBubbleTest, ReasoningHeaderTogglesAndTheBodyHangsBelowIt)
{
    Turn t = assistant(QStringLiteral("The answer."));
    t.reasoning = QStringLiteral("First I looked.\n\nThen I thought.");
    t.reasoningDurationMs = 2000;
    const auto bubble = show(t);
    ASSERT_NE(bubble->reasoningToggle(), nullptr);
    EXPECT_EQ(bubble->reasoningToggle()->text(), QStringLiteral("Thought for 2 seconds"));
    EXPECT_EQ(bubble->reasoningToggle()->chevronAngle(), -90);
    EXPECT_EQ(bubble->reasoningBody(), nullptr);
    EXPECT_EQ(bubble->reasoningRect().width(), 595);

    int toggles = 0, copies = 0;
    bubble->onToggleReasoning = [&] { ++toggles; };
    bubble->onCopyReasoning = [&] { ++copies; };
    const QRect copy = bubble->reasoningCopyButton()->geometry();
    for (const int x : {2, 300, copy.left() - 1 - bubble->reasoningToggle()->x()})
        QTest::mouseClick(bubble->reasoningToggle(), Qt::LeftButton, {}, QPoint(x, 14));
    QTest::mouseClick(bubble->reasoningCopyButton(), Qt::LeftButton, {}, QPoint(14, 14));
    EXPECT_EQ(toggles, 3);
    EXPECT_EQ(copies, 1);
    EXPECT_EQ(bubble->reasoningCopyButton()->toolTip(), QStringLiteral("Copy reasoning"));

    t.reasoningExpanded = true;
    bubble->setTurn(t);
    ASSERT_NE(bubble->reasoningBody(), nullptr);
    EXPECT_EQ(bubble->reasoningToggle()->chevronAngle(), 0);
    EXPECT_EQ(bubble->reasoningBody()->y(), bubble->reasoningToggle()->geometry().bottom() + 1 + 16);
    EXPECT_GT(bubble->heightForWidth(797), bubble->reasoningBody()->geometry().bottom());
}

TEST_F(MessageBubbleTest, StreamedPiecesRedoOnlyTheAnswer)
{
    Turn t = assistant(QStringLiteral("Hello"), Turn::State::streaming());
    const auto bubble = show(t);
    MarkdownText* answer = bubble->answer();
    ASSERT_NE(answer, nullptr);
    EXPECT_FALSE(bubble->setTurn(t)); // the same snapshot changes nothing
    for (int i = 0; i < 50; ++i) {
        t.content += QStringLiteral(" word");
        EXPECT_TRUE(bubble->setTurn(t));
    }
    EXPECT_EQ(bubble->answer(), answer);
    EXPECT_EQ(answer->itemCount(), 1);
    t.state = Turn::State::complete();
    bubble->setTurn(t);
    EXPECT_EQ(actions(*bubble), (QList<Action>{Action::copy, Action::remove}));
}

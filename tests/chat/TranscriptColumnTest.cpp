#include "chat/transcript/TranscriptColumn.h"

#include "FakeSession.h"
#include "chat/transcript/MessageBubble.h"
#include "ui_kit/KitTest.h"

using namespace cvn;
using Turn = LlamaSession::Turn;

namespace {

QList<Turn> turns(int count)
{
    QList<Turn> list;
    for (int i = 0; i < count; ++i)
        list.append(cvn::test::makeTurn(i % 2 ? ChatMessage::Role::assistant : ChatMessage::Role::user,
                                        QStringLiteral("Message %1").arg(i)));
    return list;
}

// Every bubble where the column's bookkeeping says, stacked without gaps
// from the spacer to the tail, in the turns' order.
void expectStacked(const TranscriptColumn& column, const QList<Turn>& list)
{
    ASSERT_EQ(column.rowCount(), list.size());
    int y = TranscriptColumn::topSpacer;
    for (int i = 0; i < column.rowCount(); ++i) {
        MessageBubble* bubble = column.bubble(i);
        EXPECT_EQ(bubble->turn().id, list[i].id) << i;
        EXPECT_EQ(bubble->mapTo(&column, QPoint()), QPoint(column.columnX(), y)) << i;
        EXPECT_EQ(bubble->height(), bubble->heightForWidth(MessageBubble::columnWidth)) << i;
        EXPECT_TRUE(bubble->isVisibleTo(&column)) << i;
        const bool user = list[i].role == ChatMessage::Role::user;
        EXPECT_EQ(column.anchorY(list[i].id), user ? std::optional<int>(y) : std::nullopt) << i;
        y += bubble->height();
    }
    EXPECT_EQ(column.tailTop(), y);
    EXPECT_EQ(column.height(), y + column.tailHeight() + column.fillerHeight());
}

} // namespace

using TranscriptColumnTest = cvn::test::KitTest;

TEST_F(TranscriptColumnTest, RowsFollowTheTurnsAcrossGroups)
{
    TranscriptColumn column;
    column.resize(1000, 10);
    column.setTailHeight(140);
    cvn::test::showAndSettle(column);
    QList<Turn> list = turns(3 * TranscriptColumn::groupSize + 5);
    column.setTurns(list);
    expectStacked(column, list);
    MessageBubble* kept = column.bubble(40);

    // A row in the first group grows: every later row moves, none is remade.
    list[5].content += QStringLiteral("\n\nA second paragraph\n\nand a third");
    column.setTurns(list);
    expectStacked(column, list);
    EXPECT_EQ(column.bubble(40), kept);

    // Appending fills the last group and opens new ones.
    list.append(turns(30));
    column.setTurns(list);
    expectStacked(column, list);
    EXPECT_EQ(column.bubble(40), kept);

    // Removing and inserting regroup the rows and keep the rest.
    list.removeAt(3);
    list.insert(30, turns(1).first());
    column.setTurns(list);
    expectStacked(column, list);
    EXPECT_EQ(column.bubbleFor(kept->turn().id), kept);

    column.resize(1400, column.height());
    expectStacked(column, list);
    list = list.mid(0, 2);
    column.setTurns(list);
    expectStacked(column, list);
}

#include "chat/composer/ComposerEditor.h"

#include "ui_kit/KitTest.h"

#include <QApplication>
#include <QClipboard>
#include <QInputMethodEvent>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextLayout>

using namespace cvn;
using Key = ComposerEditor::MentionKey;

namespace {

class ComposerEditorTest : public cvn::test::KitTest {
protected:
    void SetUp() override
    {
        KitTest::SetUp();
        editor.resize(745, 35);
        editor.onSend = [this] { ++sends; };
        cvn::test::showAndSettle(editor);
        editor.setFocus();
    }
    void type(const QString& text) { QTest::keyClicks(&editor, text); }

    ComposerEditor editor;
    int sends = 0;
};

} // namespace

TEST_F(ComposerEditorTest, ReturnAndKeypadEnterSendWithoutInsertingShiftReturnBreaksTheLine)
{
    type(QStringLiteral("a"));
    QTest::keyClick(&editor, Qt::Key_Return);
    QTest::keyClick(&editor, Qt::Key_Enter, Qt::KeypadModifier);
    QTest::keyClick(&editor, Qt::Key_Return, Qt::ControlModifier);
    EXPECT_EQ(sends, 3);
    EXPECT_EQ(editor.text(), QStringLiteral("a"));

    QTest::keyClick(&editor, Qt::Key_Return, Qt::ShiftModifier);
    type(QStringLiteral("b"));
    EXPECT_EQ(sends, 3);
    EXPECT_EQ(editor.text(), QStringLiteral("a\nb"));
    EXPECT_EQ(editor.document()->blockCount(), 2);

    editor.onSend = nullptr;
    QTest::keyClick(&editor, Qt::Key_Return);
    EXPECT_EQ(editor.text(), QStringLiteral("a\nb"));
}

TEST_F(ComposerEditorTest, MentionKeysGoToTheHandlerFirst)
{
    QList<Key> offered;
    bool consume = true;
    editor.onMentionKey = [&](Key key) {
        offered.append(key);
        return consume;
    };
    type(QStringLiteral("ab"));
    QTest::keyClick(&editor, Qt::Key_Tab);
    QTest::keyClick(&editor, Qt::Key_Return);
    QTest::keyClick(&editor, Qt::Key_Up);
    QTest::keyClick(&editor, Qt::Key_Escape);
    EXPECT_EQ(offered, (QList<Key>{Key::accept, Key::accept, Key::up, Key::escape}));
    EXPECT_EQ(editor.text(), QStringLiteral("ab"));
    EXPECT_EQ(sends, 0);

    consume = false;
    QTest::keyClick(&editor, Qt::Key_Tab);
    EXPECT_EQ(editor.text(), QStringLiteral("ab\t"));
    QTest::keyClick(&editor, Qt::Key_Return, Qt::ShiftModifier);
    type(QStringLiteral("x"));
    QTest::keyClick(&editor, Qt::Key_Up);
    EXPECT_LT(editor.caret(), 3);
}

TEST_F(ComposerEditorTest, AnInputMethodCommitNeverSends)
{
    QInputMethodEvent commit;
    commit.setCommitString(QStringLiteral("日本"));
    QApplication::sendEvent(&editor, &commit);
    EXPECT_EQ(editor.text(), QStringLiteral("日本"));
    EXPECT_EQ(sends, 0);
}

TEST_F(ComposerEditorTest, HeightGrowsWithTheTextBetween35And180)
{
    EXPECT_EQ(editor.measuredHeight(), 35);
    QList<qreal> reports;
    QObject::connect(&editor, &ComposerEditor::heightMeasured, [&](qreal h) { reports.append(h); });
    editor.setText(QStringLiteral("one\ntwo\nthree"));
    const qreal line = QFontMetricsF(ComposerEditor::textFont()).lineSpacing();
    EXPECT_NEAR(editor.measuredHeight(), qCeil(3 * line) + 7, 1.0);
    QStringList twenty;
    for (int i = 0; i < 20; ++i)
        twenty << QString::number(i);
    editor.setText(twenty.join(u'\n'));
    EXPECT_EQ(editor.measuredHeight(), 180);
    EXPECT_EQ(reports.size(), 2);
    // Scrolls to the caret at the end with no bar showing.
    editor.resize(745, 173);
    editor.moveCursor(QTextCursor::End);
    EXPECT_GT(editor.verticalScrollBar()->value(), 0);
    EXPECT_FALSE(editor.verticalScrollBar()->isVisible());
    editor.setText({});
    EXPECT_EQ(editor.measuredHeight(), 35);
}

TEST_F(ComposerEditorTest, PendingCaretIsClampedToTheTextAndCleared)
{
    editor.setText(QStringLiteral("hello"));
    editor.setPendingCaret(99);
    EXPECT_EQ(editor.textCursor().position(), 5);
    EXPECT_EQ(editor.caret(), 5);
    EXPECT_FALSE(editor.pendingCaret());
}

TEST_F(ComposerEditorTest, BoldRangesPastTheTextAreSkippedAndMoveNoGlyph)
{
    editor.setText(QStringLiteral("@ab and @cd"));
    QTextCursor last(editor.document());
    last.setPosition(10);
    const qreal before = editor.cursorRect(last).x();
    editor.setBoldRanges({{0, 3}, {8, 3}, {8, 9}});
    const QList<QTextLayout::FormatRange> formats = editor.document()->firstBlock().layout()->formats();
    ASSERT_EQ(formats.size(), 2);
    EXPECT_EQ(formats[0].start, 0);
    EXPECT_EQ(formats[1].start, 8);
    EXPECT_EQ(formats[1].length, 3);
    EXPECT_TRUE(formats[1].format.hasProperty(QTextFormat::TextOutline));
    EXPECT_EQ(editor.cursorRect(last).x(), before);
    // The spans stay out of the undo history.
    EXPECT_FALSE(editor.document()->isUndoAvailable());
}

TEST(ComposerEditorShown, TextThatFitsShowsFromItsFirstLine)
{
    // Laid out while hidden, the base class scrolls as if nothing fitted.
    QWidget page;
    ComposerEditor editor(&page);
    editor.resize(745, 28);
    QObject::connect(&editor, &ComposerEditor::heightMeasured,
                     [&](qreal h) { editor.resize(745, int(h - ComposerEditor::topPadding)); });
    editor.setPlainText(QStringLiteral("one\ntwo\nthree\nfour"));
    editor.setPendingCaret(18);
    cvn::test::showAndSettle(page);
    EXPECT_EQ(editor.verticalScrollBar()->value(), 0);
}

TEST_F(ComposerEditorTest, APastedRunWithoutBreaksWrapsAnywhereAndStaysTheSameText)
{
    QString run;
    for (int i = 0; run.size() < 30000; ++i)
        run += QString::number(i * 2654435761u, 16);
    const QString prose = QStringLiteral("A short note before the dump, wrapped at its words as always.");
    editor.setText(prose);
    EXPECT_EQ(editor.wordWrapMode(), QTextOption::WrapAtWordBoundaryOrAnywhere);

    QTextCursor end = editor.textCursor();
    end.movePosition(QTextCursor::End);
    editor.setTextCursor(end);
    editor.insertPlainText(QStringLiteral("\n") + run);
    EXPECT_EQ(editor.wordWrapMode(), QTextOption::WrapAnywhere);
    EXPECT_EQ(editor.text(), prose + u'\n' + run);
    EXPECT_EQ(editor.toPlainText(), prose + u'\n' + run);

    // The run's paragraph is laid out whole, every line within the editor.
    const QTextBlock block = editor.document()->lastBlock();
    const QTextLayout* layout = block.layout();
    ASSERT_GT(layout->lineCount(), 100);
    QString joined;
    for (int i = 0; i < layout->lineCount(); ++i) {
        const QTextLine line = layout->lineAt(i);
        joined += block.text().mid(line.textStart(), line.textLength());
        EXPECT_LE(line.naturalTextWidth(), editor.viewport()->width());
    }
    EXPECT_EQ(joined, run);

    editor.selectAll();
    editor.copy();
    EXPECT_EQ(QApplication::clipboard()->text(), prose + u'\n' + run);

    // Once the run is gone, words wrap at their boundaries again.
    editor.undo();
    EXPECT_EQ(editor.text(), prose);
    EXPECT_EQ(editor.wordWrapMode(), QTextOption::WrapAtWordBoundaryOrAnywhere);
}

#include "chat/transcript/EditMessageDialog.h"

#include "chat/ChatView.h"
#include "platform/Unicode.h"
#include "ui_kit/CvnButton.h"
#include "ui_kit/KitTest.h"

#include <QApplication>
#include <QClipboard>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTest>
#include <QTextDocument>

#include <tuple>
#include <vector>

using namespace cvn;

namespace {

// `length` characters of plain words.
QString prose(int length)
{
    QString text;
    for (int i = 0; text.size() < length; ++i)
        text += QStringLiteral("word%1 ").arg(i % 97);
    return text.left(length);
}

// The field's text as the document holds it, separators as "\n".
QString fieldText(const QPlainTextEdit* field)
{
    QString text = field->document()->toRawText();
    text.replace(QChar::ParagraphSeparator, u'\n');
    text.replace(QChar::LineSeparator, u'\n');
    return text;
}

// An edit dialog on a 1280 x 800 page, its field at hand, and every change
// its document reports from `watch()` on.
class EditDialogTest : public cvn::test::KitTest {
protected:
    using Change = std::tuple<int, int, int>;

    void open(const QString& message, int maxLength = ChatView::editMaxLength)
    {
        host.resize(1280, 800);
        dialog = new EditMessageDialog(QStringLiteral("Edit message"), message, maxLength, {}, {}, &host);
        field = dialog->field();
        cvn::test::showAndSettle(host);
        dialog->show();
        QApplication::processEvents();
        QObject::connect(field->document(), &QTextDocument::contentsChange, dialog,
                         [this](int at, int removed, int added) { changes.emplace_back(at, removed, added); });
    }
    void watch() { changes.clear(); }
    void caretAt(int position)
    {
        QTextCursor cursor = field->textCursor();
        cursor.setPosition(position);
        field->setTextCursor(cursor);
    }
    void select(int from, int to)
    {
        QTextCursor cursor = field->textCursor();
        cursor.setPosition(from);
        cursor.setPosition(to, QTextCursor::KeepAnchor);
        field->setTextCursor(cursor);
    }
    void paste(const QString& text)
    {
        QGuiApplication::clipboard()->setText(text);
        field->paste();
    }
    void type(const QString& text) { QTest::keyClicks(field, text); }
    // One key that types `text`, as an input method or a compose key may.
    void key(const QString& text)
    {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, text);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, text);
        QApplication::sendEvent(field, &press);
        QApplication::sendEvent(field, &release);
    }
    // The dialog's own copy and count agree with the document.
    void expectInStep()
    {
        EXPECT_EQ(dialog->typedText(), fieldText(field));
        EXPECT_EQ(dialog->characterCount(), GraphemeIndex(dialog->typedText()).size());
        EXPECT_LE(dialog->characterCount(), dialog->limit());
    }

    QWidget host;
    EditMessageDialog* dialog = nullptr;
    QPlainTextEdit* field = nullptr;
    std::vector<Change> changes;
};

// At the limit a letter or a line break is refused before it reaches the
// field: the text is not set again, nothing of it changes, and the undo
// history stays.
TEST_F(EditDialogTest, ACharacterOverTheLimitLeavesTheTextAlone)
{
    const QString message = prose(6000);
    open(message);
    ASSERT_EQ(dialog->limit(), 6000);
    field->moveCursor(QTextCursor::End);
    QTest::keyClick(field, Qt::Key_Backspace);
    type(QStringLiteral("a"));
    ASSERT_EQ(dialog->typedText(), message.chopped(1) + u'a');

    watch();
    type(QStringLiteral("b"));
    QTest::keyClick(field, Qt::Key_Return);
    QTest::keyClick(field, Qt::Key_V, Qt::ShiftModifier);
    EXPECT_TRUE(changes.empty());
    EXPECT_EQ(dialog->typedText(), message.chopped(1) + u'a');
    EXPECT_EQ(field->textCursor().position(), 6000);
    expectInStep();

    // A letter typed over a selected one keeps the count, and goes in.
    select(0, 1);
    type(QStringLiteral("W"));
    EXPECT_EQ(changes, (std::vector<Change>{{0, 1, 1}}));
    EXPECT_EQ(dialog->typedText(), u'W' + message.mid(1).chopped(1) + u'a');

    ASSERT_TRUE(field->document()->isUndoAvailable());
    while (field->document()->isUndoAvailable())
        field->undo();
    EXPECT_EQ(dialog->typedText(), message);
    expectInStep();
}

// A paste that crosses the limit keeps as many of its first characters as
// fit, where it was put; the text after it stays whole.
TEST_F(EditDialogTest, APasteAcrossTheLimitKeepsWhatFits)
{
    const QString message = prose(5000);
    open(message);
    select(100, 103);
    QTest::keyClick(field, Qt::Key_Delete);
    watch();
    paste(QStringLiteral("XYZWV"));
    const QString pasted = message.left(100) + QStringLiteral("XYZ") + message.mid(103);
    EXPECT_EQ(dialog->typedText(), pasted);
    EXPECT_EQ(changes, (std::vector<Change>{{100, 0, 3}}));
    EXPECT_EQ(field->textCursor().position(), 103);

    // Nothing fits at the limit; over a selection, what it frees.
    watch();
    paste(QStringLiteral("more"));
    EXPECT_TRUE(changes.empty());
    select(0, 2);
    paste(QStringLiteral("1234"));
    EXPECT_EQ(dialog->typedText(), QStringLiteral("12") + pasted.mid(2));
    expectInStep();
}

// A character of several code units counts once: a flag's second half, a
// skin tone or a family fills no more room than a letter, and one that does
// not fit goes in not even in part.
TEST_F(EditDialogTest, CharactersOfSeveralCodeUnitsCountOnceAtTheLimit)
{
    const QString flagStart = QStringLiteral("\U0001F1FA");     // regional indicator U
    const QString flagEnd = QStringLiteral("\U0001F1F8");       // regional indicator S
    const QString thumb = QStringLiteral("\U0001F44D\U0001F3FD"); // thumbs up, medium skin tone
    const QString family = QStringLiteral("\U0001F468\u200D\U0001F469\u200D\U0001F467");
    const QString message = prose(3999) + flagStart;
    open(message);
    ASSERT_EQ(dialog->limit(), 4000);
    field->moveCursor(QTextCursor::End);

    key(flagEnd);
    EXPECT_EQ(dialog->typedText(), message + flagEnd);
    watch();
    key(flagEnd);
    paste(QStringLiteral("e\u0301"));
    EXPECT_TRUE(changes.empty());

    select(3999, 4003);
    paste(thumb);
    EXPECT_EQ(dialog->typedText(), prose(3999) + thumb);
    caretAt(0);
    QTest::keyClick(field, Qt::Key_Delete);
    paste(family + QStringLiteral("ab"));
    EXPECT_EQ(dialog->typedText(), family + prose(3999).mid(1) + thumb);
    EXPECT_EQ(dialog->characterCount(), 4000);
    expectInStep();
}

// Taking a joiner out of a family splits it into more characters than fit:
// the text is cut back to its first `limit` characters, and no undo leads
// back over the limit.
TEST_F(EditDialogTest, ASplitCharacterOverTheLimitCutsTheEnd)
{
    const QString man = QStringLiteral("\U0001F468");
    const QString rest = QStringLiteral("\U0001F469\u200D\U0001F467");
    const QString message = QStringLiteral("abc") + man + u'\u200D' + rest + QStringLiteral("xyz");
    open(message, 0);
    ASSERT_EQ(dialog->limit(), 7);
    caretAt(6);
    QTest::keyClick(field, Qt::Key_Backspace);
    EXPECT_EQ(dialog->typedText(), QStringLiteral("abc") + man + rest + QStringLiteral("xy"));
    EXPECT_EQ(dialog->characterCount(), 7);
    EXPECT_FALSE(field->document()->isUndoAvailable());
    expectInStep();
}

// An input method's commit over the limit goes in as far as it fits.
TEST_F(EditDialogTest, AComposedTextOverTheLimitKeepsWhatFits)
{
    const QString message = prose(4000);
    open(message);
    caretAt(10);
    QTest::keyClick(field, Qt::Key_Delete);
    QInputMethodEvent compose(QStringLiteral("\u3042"), {});
    QApplication::sendEvent(field, &compose);
    QInputMethodEvent commit;
    commit.setCommitString(QStringLiteral("\u65E5\u672C\u8A9E"));
    QApplication::sendEvent(field, &commit);
    EXPECT_EQ(dialog->typedText(), message.left(10) + QStringLiteral("\u65E5") + message.mid(11));
    expectInStep();
}

// A paste into an empty field, or at the start of a one-line one, sizes it
// at once as typing the same text does: beyond the tallest field, with the
// scroll bar and the end of what came in view.
TEST_F(EditDialogTest, APasteSizesTheFieldAsTypingDoes)
{
    for (const QString& start : {QString(), QStringLiteral("one line")}) {
        for (const int length : {600, 4000}) {
            open(start);
            caretAt(0);
            type(prose(length));
            const int typed = dialog->fieldFrame()->height();
            delete dialog;
            open(start);
            caretAt(0);
            paste(prose(length));
            EXPECT_EQ(dialog->fieldFrame()->height(), typed) << length;
            EXPECT_EQ(field->verticalScrollBar()->isVisible(), typed == EditMessageDialog::maxFieldHeight);
            EXPECT_TRUE(field->viewport()->rect().contains(field->cursorRect()));
            delete dialog;
        }
    }
}

// Line breaks of every kind, no-break spaces, undo and redo, a whole new
// text: the dialog's copy, its count and SAVE follow each.
TEST_F(EditDialogTest, TheTextAndItsCountFollowEveryKindOfChange)
{
    const QString head = QStringLiteral("[Attached file: a.txt]\nfile text\n[End file]\n\n");
    open(QStringLiteral("caf\u00e9 au\u00a0lait\nsecond line"));
    field->moveCursor(QTextCursor::End);
    type(QStringLiteral(" x"));
    QTest::keyClick(field, Qt::Key_Return, Qt::ShiftModifier);
    QTest::keyClick(field, Qt::Key_Return);
    paste(QStringLiteral("one\r\ntwo\rthree\u2029four"));
    expectInStep();
    EXPECT_TRUE(dialog->typedText().startsWith(QStringLiteral("caf\u00e9 au\u00a0lait\nsecond line x\n\none")));
    field->undo();
    field->undo();
    expectInStep();
    field->redo();
    expectInStep();

    field->selectAll();
    type(QStringLiteral("   "));
    EXPECT_EQ(dialog->typedText(), QStringLiteral("   "));
    EXPECT_FALSE(dialog->saveButton()->isEnabled());
    type(QStringLiteral("."));
    EXPECT_TRUE(dialog->saveButton()->isEnabled());
    QTest::keyClick(field, Qt::Key_Backspace);
    EXPECT_FALSE(dialog->saveButton()->isEnabled());
    field->setPlainText(QStringLiteral("new text"));
    EXPECT_EQ(dialog->message(), QStringLiteral("new text"));
    expectInStep();

    EditMessageDialog withFile(QStringLiteral("Edit message"), head + QStringLiteral("  "), 4000, {}, {}, &host);
    EXPECT_EQ(withFile.typedText(), QStringLiteral("  "));
    EXPECT_TRUE(withFile.saveButton()->isEnabled());
    EXPECT_EQ(withFile.message(), head + QStringLiteral("  "));
}

} // namespace

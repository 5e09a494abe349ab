#include "DialogHarness.h"

#include "ui_kit/CvnButton.h"
#include "ui_kit/CvnConfirmDialog.h"
#include "ui_kit/CvnDialogCard.h"
#include "ui_kit/CvnInputDialog.h"

#include <QTest>

using namespace cvn;
using namespace cvn::test;

namespace {

struct Confirm {
    Confirm(const QString& body, std::optional<QString> cancelText, bool destructive,
            const QString& title = QStringLiteral("Delete chat"))
    {
        dialog = host.open(new CvnConfirmDialog(
            title, body, QStringLiteral("DELETE"), cancelText, destructive, [this] { ++calls.save; },
            [this] { ++calls.cancel; }, &host.window));
    }
    DialogWindow host;
    Calls calls;
    CvnConfirmDialog* dialog;
};

struct Input {
    explicit Input(const QString& text = {}, int maxLength = 40)
    {
        dialog = host.open(new CvnInputDialog(
            QStringLiteral("Rename chat"), text, maxLength,
            [this](const QString& t) {
                ++calls.save;
                calls.saved.append(t);
            },
            [this] { ++calls.cancel; }, &host.window));
    }
    DialogWindow host;
    Calls calls;
    CvnInputDialog* dialog;
};

const QString kFamily = QStringLiteral("\U0001F468\u200D\U0001F469\u200D\U0001F467\u200D\U0001F466"); // 8 units

} // namespace

using ConfirmDialogTest = KitTest;
using InputDialogTest = KitTest;

TEST_F(ConfirmDialogTest, CardGeometryWithAndWithoutBody)
{
    Confirm bare({}, QStringLiteral("CANCEL"), true);
    QWidget* card = bare.dialog->card();
    EXPECT_EQ(card->width(), 500);
    EXPECT_NEAR(card->height(), 139, 2);
    EXPECT_EQ(bare.dialog->bodyText(), nullptr);
    EXPECT_EQ(bare.dialog->titleText()->geometry().topLeft(), QPoint(33, 28));
    EXPECT_EQ(bare.dialog->titleText()->width(), 434);
    // The title line sits right above the buttons.
    EXPECT_EQ(bare.dialog->confirmButton()->y(), bare.dialog->titleText()->geometry().bottom() + 1 + 20);
    EXPECT_EQ(bare.dialog->confirmButton()->geometry().right() + 1, 500 - 33);
    EXPECT_EQ(bare.dialog->confirmButton()->geometry().bottom() + 1, card->height() - 33);
    EXPECT_EQ(bare.dialog->confirmButton()->width(), 140);
    EXPECT_EQ(bare.dialog->cancelButton()->width(), 140);
    EXPECT_EQ(bare.dialog->cancelButton()->geometry().right() + 1 + 12, bare.dialog->confirmButton()->x());

    Confirm withBody(QStringLiteral("This cannot be undone."), QStringLiteral("CANCEL"), true);
    EXPECT_NEAR(withBody.dialog->card()->height(), 179, 2);
    EXPECT_EQ(withBody.dialog->bodyText()->text(), QStringLiteral("This cannot be undone."));

    // A long title wraps, never truncates: the card grows by a line.
    Confirm longTitle({}, QStringLiteral("CANCEL"), true,
                      QStringLiteral("Delete the chat about the trip to the mountains and every message in it now?"));
    EXPECT_EQ(longTitle.dialog->titleText()->lineCount(), 2);
    EXPECT_NEAR(longTitle.dialog->card()->height(), 139 + 20, 2);
}

TEST_F(ConfirmDialogTest, CardBorderTitleAndConfirmColours)
{
    Confirm destructive(QStringLiteral("\u2588\u2588"), QStringLiteral("CANCEL"), true,
                        QStringLiteral("\u2588\u2588"));
    Confirm plain({}, QStringLiteral("CANCEL"), false);
    const QRect card = destructive.dialog->card()->geometry();
    const QImage whole = destructive.host.window.grab().toImage();
    EXPECT_TRUE(pixelNear(whole, card.left(), card.center().y(), QColor(0x94, 0x94, 0x94), 3)) << "border";
    EXPECT_TRUE(rgbNear(firstGlyphColour(*destructive.dialog->titleText()), QColor(0xB0, 0xB0, 0xB0)));
    EXPECT_TRUE(rgbNear(firstGlyphColour(*destructive.dialog->bodyText()), kWhite));
    // The pills' own colours are the buttons' tests.
    EXPECT_EQ(destructive.dialog->confirmButton()->style(), CvnButton::Style::Destructive);
    EXPECT_EQ(plain.dialog->confirmButton()->style(), CvnButton::Style::SelectedPill);
}

TEST_F(ConfirmDialogTest, ConfirmAndCancelEachRunOnce)
{
    Confirm c(QStringLiteral("Sure?"), QStringLiteral("CANCEL"), true);
    QTest::mouseClick(c.dialog->confirmButton(), Qt::LeftButton, {}, QPoint(70, 19));
    EXPECT_EQ(c.calls.save, 1);
    EXPECT_EQ(c.calls.cancel, 0);
    QTest::mouseClick(c.dialog->cancelButton(), Qt::LeftButton, {}, QPoint(70, 19));
    EXPECT_EQ(c.calls.cancel, 1);

    // Without a cancel pill: one button at the trailing edge.
    Confirm notice(QStringLiteral("Type a question first."), std::nullopt, false);
    EXPECT_EQ(notice.dialog->cancelButton(), nullptr);
    EXPECT_EQ(notice.dialog->card()->findChildren<CvnButton*>().size(), 1);
    EXPECT_EQ(notice.dialog->confirmButton()->geometry().right() + 1, 467);
}

TEST_F(InputDialogTest, FieldButtonsAndKeys)
{
    Input in(QStringLiteral("Trip"));
    EXPECT_EQ(in.dialog->titleText()->text(), QStringLiteral("Rename chat"));
    EXPECT_EQ(in.dialog->cancelButton()->text(), QStringLiteral("CANCEL"));
    EXPECT_EQ(in.dialog->saveButton()->text(), QStringLiteral("SAVE"));
    EXPECT_EQ(in.dialog->fieldFrame()->height(), 38);
    EXPECT_EQ(in.dialog->fieldFrame()->width(), 434);
    EXPECT_EQ(in.dialog->field()->x(), 16);
    EXPECT_EQ(in.dialog->field()->width(), 434 - 32);
    EXPECT_NEAR(in.dialog->card()->height(), 28 + 20 + 20 + 38 + 20 + 38 + 33, 2);
    EXPECT_TRUE(in.dialog->field()->hasFocus()) << "ready to type";

    QTest::keyClick(in.dialog->field(), Qt::Key_Return);
    QTest::keyClick(in.dialog->field(), Qt::Key_Enter);
    EXPECT_EQ(in.calls.save + in.calls.cancel, 0) << "Return does nothing";
    QTest::keyClicks(in.dialog->field(), QStringLiteral(" plans"));
    QTest::mouseClick(in.dialog->saveButton(), Qt::LeftButton, {}, QPoint(70, 19));
    ASSERT_EQ(in.calls.saved, QStringList{QStringLiteral("Trip plans")});

    // The outline is onCard: white on the dark card in the light appearance.
    const QImage frame = renderOver(*in.dialog->fieldFrame(), kInk);
    EXPECT_TRUE(pixelNear(frame, 200, 0, kWhite));
    EXPECT_TRUE(pixelNear(frame, 200, 37, kWhite));
}

TEST_F(InputDialogTest, SaveNeedsMoreThanWhitespaceAndPassesTheTextUntrimmed)
{
    Input in(QStringLiteral("   "));
    EXPECT_FALSE(in.dialog->saveButton()->isEnabled());
    QTest::mouseClick(in.dialog->saveButton(), Qt::LeftButton, {}, QPoint(70, 19));
    EXPECT_EQ(in.calls.save, 0);

    in.dialog->field()->setText(QStringLiteral(" a "));
    EXPECT_TRUE(in.dialog->saveButton()->isEnabled());
    QTest::mouseClick(in.dialog->saveButton(), Qt::LeftButton, {}, QPoint(70, 19));
    EXPECT_EQ(in.calls.saved, QStringList{QStringLiteral(" a ")});

    in.dialog->field()->setText(QStringLiteral("\t \u3000"));
    EXPECT_FALSE(in.dialog->saveButton()->isEnabled()) << "tabs and wide spaces are whitespace too";
    in.dialog->field()->clear();
    EXPECT_FALSE(in.dialog->saveButton()->isEnabled());

    Input empty;
    EXPECT_FALSE(empty.dialog->saveButton()->isEnabled());
}

TEST_F(InputDialogTest, LimitCountsUserPerceivedCharacters)
{
    Input in({}, 40);
    QLineEdit* field = in.dialog->field();
    field->insert(QStringLiteral("x").repeated(100)); // a paste
    EXPECT_EQ(field->text(), QStringLiteral("x").repeated(40));
    QTest::keyClicks(field, QStringLiteral("yz"));
    EXPECT_EQ(field->text(), QStringLiteral("x").repeated(40)) << "typing at the limit adds nothing";

    field->clear();
    field->insert(kFamily.repeated(41));
    EXPECT_EQ(field->text(), kFamily.repeated(40));
    EXPECT_EQ(field->text().size(), 40 * 11);

    // A family of four is 11 UTF-16 units, a family of three 8.
    const QString familyOfThree = QStringLiteral("\U0001F469\u200D\U0001F469\u200D\U0001F466");
    field->clear();
    field->insert(familyOfThree.repeated(41));
    EXPECT_EQ(field->text().size(), 320);

    // A letter with two combining marks is one character.
    const QString marked = QStringLiteral("e\u0301\u0323");
    field->clear();
    field->insert(marked.repeated(39) + QStringLiteral("ab"));
    EXPECT_EQ(field->text(), marked.repeated(39) + QStringLiteral("a"));
    field->clear();
    field->insert(QStringLiteral("a").repeated(39) + marked);
    EXPECT_EQ(field->text(), QStringLiteral("a").repeated(39) + marked) << "the mark stays with its letter";

    // An initial text past the limit is cut too; 0 and below mean no limit.
    Input initial(kFamily.repeated(5) + QStringLiteral("tail"), 3);
    EXPECT_EQ(initial.dialog->text(), kFamily.repeated(3));
    for (const int unlimited : {0, -1}) {
        Input free({}, unlimited);
        free.dialog->field()->insert(QStringLiteral("y").repeated(500));
        EXPECT_EQ(free.dialog->text().size(), 500);
        // Past QLineEdit's own default cap of 32,767 UTF-16 units, which
        // could split a surrogate pair.
        free.dialog->field()->insert(kFamily.repeated(4000));
        EXPECT_EQ(free.dialog->text().size(), 500 + 44000);
    }
}

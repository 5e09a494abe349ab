#include "DialogHarness.h"

#include "ui_kit/CvnButton.h"
#include "ui_kit/CvnContentDialog.h"
#include "ui_kit/CvnDialogCard.h"

#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QVBoxLayout>

using namespace cvn;
using namespace cvn::test;

namespace {

void settle()
{
    // A change of the form travels form → area → card → overlay, one posted
    // layout request per step.
    for (int i = 0; i < 4; ++i)
        QApplication::processEvents();
}

QWidget* blockOfHeight(int height)
{
    auto* body = new QWidget;
    body->setFixedHeight(height);
    return body;
}

struct Content {
    explicit Content(QWidget* body, std::optional<QString> cancelText = QStringLiteral("CANCEL"),
                     QSize size = {1280, 800}, const QString& title = QStringLiteral("Edit model"))
        : host(size)
    {
        dialog = host.open(new CvnContentDialog(
            title, body, [this] { ++calls.save; }, [this] { ++calls.cancel; }, QStringLiteral("SAVE"), cancelText,
            &host.window));
    }
    QWidget* card() const { return dialog->card(); }
    QRect inCard(QWidget* w) const { return QRect(w->mapTo(card(), QPoint(0, 0)), w->size()); }

    DialogWindow host;
    Calls calls;
    CvnContentDialog* dialog;
};

} // namespace

using ContentDialogTest = KitTest;

TEST_F(ContentDialogTest, BodyAreaFollowsTheBodyUpTo440ThenScrolls)
{
    Content short_(blockOfHeight(300));
    EXPECT_EQ(short_.card()->width(), 667);
    EXPECT_EQ(short_.card()->x(), (1280 - 667) / 2);
    EXPECT_EQ(short_.dialog->bodyArea()->height(), 300);
    EXPECT_EQ(short_.dialog->bodyArea()->verticalScrollBar()->maximum(), 0);
    EXPECT_NEAR(short_.card()->height(), 39 + 20 + 300 + 20 + 38 + 59, 2);
    EXPECT_NEAR(short_.card()->y(), (800 - short_.card()->height()) / 2, 1);

    Content tall(blockOfHeight(1000));
    EXPECT_EQ(tall.dialog->measuredBodyHeight(), 1000);
    EXPECT_EQ(tall.dialog->bodyArea()->height(), 440);
    EXPECT_EQ(tall.dialog->bodyArea()->verticalScrollBar()->maximum(), 560);
    EXPECT_NEAR(tall.card()->height(), 39 + 20 + 440 + 20 + 38 + 59, 2);
}

TEST_F(ContentDialogTest, BodyIsMeasuredAgainWhenItsLayoutChanges)
{
    auto* body = new QWidget;
    auto* layout = new QVBoxLayout(body);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(10);
    layout->addWidget(blockOfHeight(100));
    QWidget* warning = blockOfHeight(50);
    layout->addWidget(warning);
    warning->hide();
    Content c(body);
    EXPECT_EQ(c.dialog->bodyArea()->height(), 100);

    // A warning line appears in the form: the area grows with it.
    warning->show();
    settle();
    EXPECT_EQ(c.dialog->bodyArea()->height(), 160);
    EXPECT_NEAR(c.card()->height(), 39 + 20 + 160 + 20 + 38 + 59, 2);

    // And a section taller than the cap: the area stops at 440.
    layout->addWidget(blockOfHeight(500));
    settle();
    EXPECT_EQ(c.dialog->bodyArea()->height(), 440);

    warning->hide();
    layout->itemAt(2)->widget()->hide();
    settle();
    EXPECT_EQ(c.dialog->bodyArea()->height(), 100);
    EXPECT_NEAR(c.card()->height(), 39 + 20 + 100 + 20 + 38 + 59, 2);
}

TEST_F(ContentDialogTest, ShortWindowKeepsTheButtonsReachable)
{
    Content c(blockOfHeight(1000), QStringLiteral("CANCEL"), QSize(1280, 500));
    // 24 of room above and below; the rest of the card is 176 high.
    EXPECT_EQ(c.dialog->bodyArea()->height(), 500 - 48 - 176);
    const QRect save = c.inCard(c.dialog->saveButton()).translated(c.card()->pos());
    EXPECT_GE(save.top(), 0);
    EXPECT_LE(save.bottom(), 500);
    QTest::mouseClick(c.dialog->saveButton(), Qt::LeftButton, {}, QPoint(70, 19));
    EXPECT_EQ(c.calls.save, 1);

    // The window grows back: so does the area, to its usual cap.
    c.host.window.resize(1280, 900);
    settle();
    EXPECT_EQ(c.dialog->bodyArea()->height(), 440);
    EXPECT_NEAR(c.card()->y(), (900 - c.card()->height()) / 2, 1);
}

TEST_F(ContentDialogTest, ButtonRowAndTitle)
{
    Content c(blockOfHeight(100));
    const QRect save = c.inCard(c.dialog->saveButton());
    const QRect cancel = c.inCard(c.dialog->cancelButton());
    EXPECT_EQ(save.right() + 1, 634) << "save ends at the card's inner edge";
    EXPECT_EQ(cancel.right() + 1 + 12, save.left());
    EXPECT_EQ(save.height(), 38);
    // The stretch and two pills split the 601 inner width equally.
    EXPECT_NEAR(save.width(), 192, 1);
    EXPECT_NEAR(cancel.width(), 192, 1);
    EXPECT_EQ(c.dialog->cancelButton()->style(), CvnButton::Style::OutlinePill);
    EXPECT_EQ(c.dialog->saveButton()->style(), CvnButton::Style::SelectedPill);
    EXPECT_EQ(c.dialog->saveButton()->text(), QStringLiteral("SAVE"));
    EXPECT_EQ(c.dialog->cancelButton()->text(), QStringLiteral("CANCEL"));

    DialogText* title = c.dialog->titleText();
    EXPECT_EQ(title->text(), QStringLiteral("Edit model"));
    EXPECT_EQ(title->font().pixelSize(), 32);
    EXPECT_EQ(title->font().weight(), QFont::Normal);
    EXPECT_EQ(c.inCard(title).top(), 26);

    Content saveOnly(blockOfHeight(100), std::nullopt);
    EXPECT_EQ(saveOnly.dialog->cancelButton(), nullptr);
    EXPECT_EQ(saveOnly.card()->findChildren<CvnButton*>().size(), 1);
    EXPECT_EQ(saveOnly.inCard(saveOnly.dialog->saveButton()).right() + 1, 634);

    // A long title wraps onto centred lines and the card grows with it.
    Content wrapped(blockOfHeight(100), QStringLiteral("CANCEL"), {1280, 800},
                    QStringLiteral("A title long enough to wrap onto a second centred line"));
    EXPECT_EQ(wrapped.dialog->titleText()->lineCount(), 2);
    EXPECT_NEAR(wrapped.card()->height() - c.card()->height(), 39, 2);
}

TEST_F(ContentDialogTest, FormClicksAndKeysStayInTheFormAndButtonsRunOnce)
{
    auto* body = new QWidget;
    auto* layout = new QVBoxLayout(body);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* nameField = new QLineEdit(QStringLiteral("Llama"));
    layout->addWidget(nameField);
    layout->addSpacing(200);
    Content c(body);

    QTest::mouseClick(body, Qt::LeftButton, {}, QPoint(300, 150));
    // Selecting text in the form and letting go over the scrim is no tap.
    QTest::mousePress(nameField, Qt::LeftButton, {}, QPoint(5, 5));
    QTest::mouseRelease(c.dialog, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_EQ(c.calls.cancel, 0) << "inert body";

    nameField->setFocus();
    QTest::keyClick(nameField, Qt::Key_Escape);
    EXPECT_EQ(c.calls.cancel, 1) << "Escape while editing the form";
    EXPECT_EQ(nameField->text(), QStringLiteral("Llama"));

    QTest::mouseClick(c.dialog->cancelButton(), Qt::LeftButton, {}, QPoint(60, 19));
    EXPECT_EQ(c.calls.cancel, 2);
    QTest::mouseClick(c.dialog->saveButton(), Qt::LeftButton, {}, QPoint(60, 19));
    EXPECT_EQ(c.calls.save, 1);
    EXPECT_EQ(c.calls.cancel, 2);
}

TEST_F(ContentDialogTest, CardAndTitleColoursInBothAppearances)
{
    Content c(blockOfHeight(100), QStringLiteral("CANCEL"), {1280, 800}, QStringLiteral("\u2588\u2588\u2588"));
    const QRect card = c.card()->geometry();
    const QImage whole = c.host.window.grab().toImage();
    EXPECT_TRUE(pixelNear(whole, card.left() + 1, card.center().y(), kInk)) << "no border";
    EXPECT_TRUE(rgbNear(firstGlyphColour(*c.dialog->titleText(), {c.dialog->titleText()->width() / 2, 20}), kWhite));
    Theme::setAppearance(Appearance::Dark);
    EXPECT_TRUE(rgbNear(firstGlyphColour(*c.dialog->titleText(), {c.dialog->titleText()->width() / 2, 20}), kInk));
}

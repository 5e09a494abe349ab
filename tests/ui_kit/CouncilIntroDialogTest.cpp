#include "DialogHarness.h"

#include "ui_kit/CouncilIntroDialog.h"
#include "ui_kit/CvnButton.h"
#include "ui_kit/CvnDialogCard.h"

#include <QFontInfo>
#include <QTest>

using namespace cvn;
using namespace cvn::test;

namespace {

struct Intro {
    Intro() { dialog = host.open(new CouncilIntroDialog([this] { ++calls.cancel; }, &host.window)); }
    QStringList texts(const char* name) const
    {
        QStringList out;
        for (DialogText* t : dialog->card()->findChildren<DialogText*>(QLatin1String(name)))
            out.append(t->text());
        return out;
    }
    DialogWindow host;
    Calls calls;
    CouncilIntroDialog* dialog;
};

} // namespace

using CouncilIntroDialogTest = KitTest;

TEST_F(CouncilIntroDialogTest, ThreeSectionsInOrderWithTwoExamples)
{
    Intro in;
    EXPECT_EQ(in.texts("cvn.dialog.title"), QStringList{QStringLiteral("Council Mode")});
    EXPECT_EQ(in.texts("cvn.council.heading"),
              (QStringList{QStringLiteral("TYPE @"), QStringLiteral("MULTIPLE MENTIONS"), QStringLiteral("HOW IT WORKS")}));
    EXPECT_EQ(in.texts("cvn.council.text"),
              (QStringList{QStringLiteral("Type @ in the message to summon a specific AI, followed by the model name "
                                          "you gave it in the Models tab. Example:"),
                           QStringLiteral("Add multiple @ mentions for a group discussion:"),
                           QStringLiteral("Each mentioned model responds in turn. Because local models load into RAM "
                                          "one at a time, responses are sequential, not parallel.")}));
    EXPECT_EQ(in.texts("cvn.council.example"),
              (QStringList{QStringLiteral("@YourModelName what do you think about this code?"),
                           QStringLiteral("@FirstModel @SecondModel compare your answers")}));
    EXPECT_EQ(in.dialog->understandButton()->text(), QStringLiteral("UNDERSTAND"));

    // The second example box comes after the second text and before the
    // third heading: every section is heading, text, example.
    const auto y = [&](const char* name, int i) {
        return in.dialog->card()->findChildren<DialogText*>(QLatin1String(name))[i]->y();
    };
    EXPECT_LT(y("cvn.council.heading", 1), y("cvn.council.text", 1));
    EXPECT_LT(y("cvn.council.text", 1), y("cvn.council.example", 1));
    EXPECT_LT(y("cvn.council.example", 1), y("cvn.council.heading", 2));
}

TEST_F(CouncilIntroDialogTest, FontsBoxesAndButton)
{
    Intro in;
    for (DialogText* heading : in.dialog->card()->findChildren<DialogText*>(QStringLiteral("cvn.council.heading"))) {
        EXPECT_EQ(heading->font().pixelSize(), 12);
        EXPECT_EQ(heading->font().weight(), QFont::Medium);
        EXPECT_EQ(QFontInfo(heading->font()).family(), QStringLiteral("Inter"));
    }
    const QList<DialogText*> examples = in.dialog->card()->findChildren<DialogText*>(QStringLiteral("cvn.council.example"));
    for (DialogText* example : examples) {
        EXPECT_EQ(example->font().pixelSize(), 14);
        EXPECT_TRUE(QFontInfo(example->font()).fixedPitch());
        EXPECT_EQ(example->width(), 434);
        EXPECT_EQ(example->x(), 33);
    }
    // The first example is longer than a line of the box: it wraps inside.
    EXPECT_EQ(examples[0]->lineCount(), 2);
    EXPECT_EQ(examples[1]->lineCount(), 1);
    EXPECT_NEAR(examples[1]->height(), QFontMetricsF(examples[1]->font()).height() + 16, 1) << "padded 8 above and below";
    // Box fill: onCard at 8 % over the dark card.
    const QImage box = renderOver(*examples[1], kInk);
    EXPECT_TRUE(pixelNear(box, 4, examples[1]->height() / 2, QColor(58, 58, 59), 2));

    CvnButton* understand = in.dialog->understandButton();
    EXPECT_EQ(understand->style(), CvnButton::Style::SelectedPill);
    EXPECT_EQ(understand->geometry().right() + 1, 467);
    EXPECT_GE(understand->width(), 140);
    EXPECT_EQ(in.dialog->card()->findChildren<CvnButton*>().size(), 1);
}

TEST_F(CouncilIntroDialogTest, TheButtonDismissesOnce)
{
    Intro in;
    QTest::mouseClick(in.dialog->understandButton(), Qt::LeftButton, {}, QPoint(70, 19));
    EXPECT_EQ(in.calls.cancel, 1);
}

#include "KitTest.h"

#include "ui_kit/CvnButton.h"
#include "rendering/ViewTest.h"
#include "ui_kit/Icons.h"

#include <QSignalSpy>
#include <QTest>

using namespace cvn;
using namespace cvn::test;

using ButtonTest = KitTest;

TEST_F(ButtonTest, SizesFollowTheStyle)
{
    CvnCompactOutlinePillButton cancel(QStringLiteral("CANCEL"));
    EXPECT_NEAR(cancel.sizeHint().width(), 85, 1);
    EXPECT_EQ(cancel.sizeHint().height(), 30);
    EXPECT_EQ(cancel.sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);

    CvnIconButton icon(new SearchIcon);
    EXPECT_EQ(icon.sizeHint(), QSize(39, 38));
    CvnCompactIconButton compact(new SearchIcon);
    EXPECT_EQ(compact.sizeHint(), QSize(35, 34));
    compact.resize(compact.sizeHint());
    showAndSettle(compact);
    EXPECT_EQ(compact.labelWidget()->geometry(), QRect(6, 6, 23, 22));

    CvnSelectedPillButton pill(QStringLiteral("NEW CHAT"));
    EXPECT_EQ(pill.sizeHint().height(), 38);
    EXPECT_EQ(pill.sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
    EXPECT_EQ(CvnCompactSurfacePillButton(QStringLiteral("ADD MODEL")).sizeHint().height(), 30);
    EXPECT_EQ(CvnOutlinePillButton(QStringLiteral("x")).sizeHint().height(), 38);
}

TEST_F(ButtonTest, CompactSurfacePillKeepsItsLabelOffTheRoundedEndsAtItsNaturalSize)
{
    CvnCompactSurfacePillButton pill(QStringLiteral("ADD MODEL"));
    pill.resize(pill.sizeHint());
    showAndSettle(pill);
    // Over red, anything near white is the label; the half-circle ends are 15 wide.
    const QImage image = renderOver(pill, Qt::red);
    const int w = image.width();
    ASSERT_GT(countPixels(image, kWhite, 100), 0);
    EXPECT_EQ(countPixels(image, kWhite, 100, QRect(0, 0, 15, 30)), 0);
    EXPECT_EQ(countPixels(image, kWhite, 100, QRect(w - 15, 0, 15, 30)), 0);
}

TEST_F(ButtonTest, SelectedPillFillsAndDimsAsAWhole)
{
    CvnSelectedPillButton pill(QStringLiteral("MODEL"));
    pill.resize(300, 38);
    showAndSettle(pill);
    EXPECT_TRUE(pixelNear(renderOver(pill, kInk), 20, 19, kWhite));
    pill.setDown(true);
    EXPECT_TRUE(pixelNear(renderOver(pill, kInk), 20, 19, QColor(223, 223, 223), 1));

    Theme::setAppearance(Appearance::Dark);
    pill.setDown(false);
    EXPECT_TRUE(pixelNear(renderOver(pill, kWhite), 20, 19, kInk));
    pill.setDown(true);
    EXPECT_TRUE(pixelNear(renderOver(pill, kWhite), 20, 19, QColor(73, 73, 74), 1));
}

TEST_F(ButtonTest, SurfaceOutlineAndDestructivePillColours)
{
    CvnCompactSurfacePillButton surface(QStringLiteral("ADD MODEL"));
    surface.resize(200, 30);
    showAndSettle(surface);
    EXPECT_TRUE(pixelNear(renderOver(surface, kWhite), 20, 15, kInk));
    Theme::setAppearance(Appearance::Dark);
    EXPECT_TRUE(pixelNear(renderOver(surface, kInk), 20, 15, kWhite));
    Theme::setAppearance(Appearance::Light);

    // Outline: the 1-pixel border lies inside the shape; the middle is clear.
    CvnOutlinePillButton outline(QStringLiteral("OTHER"));
    outline.resize(300, 38);
    showAndSettle(outline);
    QImage image = renderOver(outline, kInk);
    EXPECT_TRUE(pixelNear(image, 150, 0, kWhite));
    EXPECT_TRUE(pixelNear(image, 150, 37, kWhite));
    EXPECT_TRUE(pixelNear(image, 30, 1, kInk));
    outline.setDown(true);
    image = renderOver(outline, kInk);
    EXPECT_TRUE(pixelNear(image, 150, 0, QColor(212, 212, 212), 1)); // 0.8 over the card

    CvnButton destructive(CvnButton::Style::Destructive, QStringLiteral("DELETE"));
    destructive.resize(200, 38);
    showAndSettle(destructive);
    for (const Appearance a : {Appearance::Light, Appearance::Dark}) {
        Theme::setAppearance(a);
        EXPECT_TRUE(pixelNear(renderOver(destructive, kInk), 12, 19, QColor(211, 56, 66)));
    }
}

TEST_F(ButtonTest, IconButtonTintsOnlyWhilePressed)
{
    CvnIconButton button(new SearchIcon);
    button.resize(button.sizeHint());
    showAndSettle(button);
    EXPECT_TRUE(pixelNear(renderOver(button, kInk), 3, 19, kInk));
    button.setDown(true);
    EXPECT_TRUE(pixelNear(renderOver(button, kInk), 3, 19, QColor(58, 58, 59), 1));
    // The icon itself keeps its colour at full strength.
    EXPECT_TRUE(pixelNear(renderOver(button, kInk), 8 + 9, 8 + 1, QColor(148, 148, 148), 40));
}

TEST_F(ButtonTest, TheWholeRoundedShapeTakesClicksAndNothingOutsideIt)
{
    CvnSelectedPillButton pill(QStringLiteral("GO"));
    pill.resize(300, 38);
    showAndSettle(pill);
    QSignalSpy clicked(&pill, &QAbstractButton::clicked);
    QTest::mouseClick(&pill, Qt::LeftButton, {}, QPoint(1, 1));
    EXPECT_EQ(clicked.count(), 0);
    QTest::mouseClick(&pill, Qt::LeftButton, {}, QPoint(150, 19));
    EXPECT_EQ(clicked.count(), 1);
    QTest::mouseClick(&pill, Qt::LeftButton, {}, QPoint(290, 19)); // far from the label
    EXPECT_EQ(clicked.count(), 2);
}

TEST_F(ButtonTest, DisabledLooksTheSameAndIgnoresClicks)
{
    CvnOutlinePillButton pill(QStringLiteral("SAVE"));
    pill.resize(200, 38);
    showAndSettle(pill);
    const QImage enabled = renderOver(pill, kInk);
    pill.setEnabled(false);
    EXPECT_EQ(renderOver(pill, kInk), enabled);
    QSignalSpy clicked(&pill, &QAbstractButton::clicked);
    QTest::mouseClick(&pill, Qt::LeftButton, {}, QPoint(100, 19));
    EXPECT_EQ(clicked.count(), 0);
}

TEST_F(ButtonTest, LongLabelsStayOnOneLineAndElide)
{
    // Elided text keeps a clear band between the label and the pill's ends.
    CvnSelectedPillButton pill(QString(200, QLatin1Char('W')));
    pill.resize(120, 38);
    showAndSettle(pill);
    const QImage image = renderOver(pill, kInk);
    for (int y = 4; y < 34; ++y)
        EXPECT_TRUE(pixelNear(image, 106, y, kWhite)) << "padding kept clear at " << y;
    for (int x = 20; x < 100; ++x) {
        EXPECT_TRUE(pixelNear(image, x, 6, kWhite)) << "no line above at " << x;
        EXPECT_TRUE(pixelNear(image, x, 32, kWhite)) << "no line below at " << x;
    }
}

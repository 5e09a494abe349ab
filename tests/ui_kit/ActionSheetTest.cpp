#include "DialogHarness.h"

#include "ui_kit/CvnActionSheet.h"

#include <QTest>

using namespace cvn;
using namespace cvn::test;

namespace {

// A sheet of three items, the last destructive, over the white window, and a
// record of every report.
struct Sheet : DialogWindow {
    explicit Sheet(QList<CvnActionSheet::Item> items = {{QStringLiteral("rename"), QStringLiteral("Rename"), false},
                                                        {QStringLiteral("pin"), QStringLiteral("Pin"), false},
                                                        {QStringLiteral("delete"), QStringLiteral("Delete"), true}},
                   QSize size = {1280, 800})
        : DialogWindow(size)
    {
        sheet = new CvnActionSheet(QStringLiteral("Model actions"), items,
                                   [this](std::optional<QString> id) { reports.append(id); }, &window);
        sheet->show();
        QApplication::processEvents();
    }
    QWidget* card() const { return sheet->card(); }
    QWidget* row(const QString& id) const { return sheet->findChild<QWidget*>(QStringLiteral("cvn.row.") + id); }

    CvnActionSheet* sheet;
    QList<std::optional<QString>> reports;
};

} // namespace

using ActionSheetTest = KitTest;

TEST_F(ActionSheetTest, CardIsFourHundredWideCentredAndSizedByItsRows)
{
    Sheet s;
    EXPECT_EQ(s.sheet->geometry(), s.window.rect());
    const QRect card = s.card()->geometry();
    EXPECT_EQ(card.left(), 440);
    EXPECT_EQ(card.width(), 400);
    EXPECT_NEAR(card.height(), 56 + 49 * 3, 1);
    EXPECT_NEAR(card.top(), (800 - card.height()) / 2, 1);
    EXPECT_NEAR(s.sheet->findChild<QWidget*>(QStringLiteral("cvn.sheet.header"))->height(), 56, 1);
    EXPECT_EQ(s.row(QStringLiteral("pin"))->height(), 48);
    EXPECT_EQ(s.sheet->findChildren<QWidget*>(QStringLiteral("cvn.divider")).size(), 3);

    // The overlay follows the window; the card never shrinks.
    s.window.resize(300, 500);
    QApplication::processEvents();
    EXPECT_EQ(s.sheet->geometry(), QRect(0, 0, 300, 500));
    EXPECT_EQ(s.card()->width(), 400);
    EXPECT_EQ(s.card()->x(), -50) << "centred, overflowing both sides";

    Sheet empty(QList<CvnActionSheet::Item>{});
    EXPECT_NEAR(empty.card()->height(), 56, 1);
    EXPECT_TRUE(empty.sheet->findChildren<QWidget*>(QStringLiteral("cvn.divider")).isEmpty());
}

TEST_F(ActionSheetTest, RowsReportTheirIdAndTheHeaderNothing)
{
    Sheet s;
    QTest::mouseClick(s.row(QStringLiteral("delete")), Qt::LeftButton, {}, QPoint(200, 24));
    ASSERT_EQ(s.reports.size(), 1);
    EXPECT_EQ(s.reports[0], QStringLiteral("delete"));

    QTest::mouseClick(s.sheet->findChild<QWidget*>(QStringLiteral("cvn.sheet.header")), Qt::LeftButton, {},
                      QPoint(100, 20));
    QTest::mouseClick(s.card(), Qt::LeftButton, {}, QPoint(200, 56)); // the first divider
    EXPECT_EQ(s.reports.size(), 1);

    // Press on a row, drag out, release: the tint stays while held, then
    // clears, and nothing is reported.
    QWidget* pin = s.row(QStringLiteral("pin"));
    QTest::mousePress(pin, Qt::LeftButton, {}, QPoint(200, 24));
    QMouseEvent move(QEvent::MouseMove, QPointF(200, 300), pin->mapToGlobal(QPointF(200, 300)), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(pin, &move);
    EXPECT_TRUE(pixelNear(renderOver(*pin, kInk), 390, 24, QColor(71, 71, 72), 2)) << "pressed tint";
    QTest::mouseRelease(pin, Qt::LeftButton, {}, QPoint(200, 300));
    EXPECT_EQ(s.reports.size(), 1);
    EXPECT_TRUE(pixelNear(renderOver(*pin, kInk), 390, 24, kInk)) << "tint cleared";

    cvn::test::sendEnter(pin);
    EXPECT_TRUE(pixelNear(renderOver(*pin, kInk), 390, 24, QColor(58, 58, 59), 2)) << "hover tint";
}

TEST_F(ActionSheetTest, RowTintStaysInsideTheCardsRoundedCorners)
{
    Sheet s;
    QWidget* last = s.row(QStringLiteral("delete"));
    cvn::test::sendEnter(last);
    EXPECT_TRUE(pixelNear(renderOver(*last, kInk), 2, 46, kInk)) << "outside the radius-34 corner";
}

TEST_F(ActionSheetTest, ColoursOfLabelsHeaderAndScrim)
{
    Sheet s(QList<CvnActionSheet::Item>{{QStringLiteral("delete"), QStringLiteral("\u2588\u2588\u2588"), true},
             {QStringLiteral("keep"), QStringLiteral("\u2588\u2588\u2588"), false}});
    // Full blocks give solid glyph interiors to probe.
    const auto glyphColour = [](QWidget* row) { return firstGlyphColour(*row, {24 + 6, 24}); };
    EXPECT_TRUE(rgbNear(glyphColour(s.row(QStringLiteral("delete"))), QColor(0xF2, 0x8B, 0x93)));
    EXPECT_TRUE(rgbNear(glyphColour(s.row(QStringLiteral("keep"))), kWhite));

    const QImage whole = s.window.grab().toImage();
    EXPECT_TRUE(pixelNear(whole, 5, 5, QColor(73, 73, 74), 1)) << "scrim over white";

    Theme::setAppearance(Appearance::Dark);
    EXPECT_TRUE(rgbNear(glyphColour(s.row(QStringLiteral("delete"))), QColor(0xB3, 0x20, 0x2B)));
    EXPECT_TRUE(rgbNear(glyphColour(s.row(QStringLiteral("keep"))), kInk));

    Theme::setAppearance(Appearance::Light);
    Sheet header(QList<CvnActionSheet::Item>{}, QSize(600, 400));
    header.sheet->deleteLater();
    auto* probe = new CvnActionSheet(QStringLiteral("\u2588\u2588\u2588"), {}, {}, &header.window);
    probe->show();
    QApplication::processEvents();
    const QImage headerImage =
        renderOver(*probe->findChild<QWidget*>(QStringLiteral("cvn.sheet.header")), Qt::transparent);
    EXPECT_TRUE(pixelNear(headerImage, 24 + 6, 28, QColor(0xB0, 0xB0, 0xB0)));
}

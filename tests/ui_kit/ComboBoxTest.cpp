#include "KitTest.h"

#include "ui_kit/CvnComboBox.h"

#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

using namespace cvn;
using namespace cvn::test;

namespace {

// A card-coloured window with the combo 300 wide near its bottom and a
// sibling button above it, where the list opens.
struct Window {
    explicit Window(const QStringList& options, int selection = 0)
    {
        window.resize(400, 400);
        sibling = new QPushButton(QStringLiteral("sibling"), &window);
        sibling->setGeometry(20, 100, 100, 30);
        combo = new CvnComboBox(options, selection, &window);
        combo->setGeometry(50, 320, 300, 38);
        showAndSettle(window);
    }
    void click(QWidget* w, QPoint pos) { QTest::mouseClick(w, Qt::LeftButton, {}, pos); }

    QWidget window;
    QPushButton* sibling;
    CvnComboBox* combo;
};

QStringList numbered(int n)
{
    QStringList list;
    for (int i = 0; i < n; ++i)
        list << QStringLiteral("Option %1").arg(i);
    return list;
}

} // namespace

using ComboBoxTest = KitTest;

TEST_F(ComboBoxTest, TitleIsTheSelectedOptionOrEmpty)
{
    const QStringList abc = {QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")};
    EXPECT_EQ(CvnComboBox(abc, 1).title(), QStringLiteral("b"));
    EXPECT_EQ(CvnComboBox(abc, -1).title(), QString());
    EXPECT_EQ(CvnComboBox(abc, 5).title(), QString());
    EXPECT_EQ(CvnComboBox({}, 0).title(), QString());
    EXPECT_EQ(CvnComboBox(abc, 0).sizeHint().height(), 38);
}

TEST_F(ComboBoxTest, BorderIsFaintAtRestAndFullWhileHoveredOrOpen)
{
    CvnComboBox combo({QStringLiteral("a")}, 0);
    combo.resize(300, 38);
    showAndSettle(combo);
    // The edge pixel is a few per cent short of full coverage where the
    // half-circle meets it, hence the wider tolerance.
    const int edge = 12;
    EXPECT_TRUE(pixelNear(renderOver(combo, kInk), 0, 19, QColor(94, 94, 95), edge));
    EXPECT_TRUE(pixelNear(renderOver(combo, kInk), 150, 0, QColor(94, 94, 95), 2));
    EXPECT_TRUE(pixelNear(renderOver(combo, kInk), 150, 19, kInk)) << "no fill";
    cvn::test::sendEnter(&combo);
    EXPECT_TRUE(pixelNear(renderOver(combo, kInk), 0, 19, kWhite, edge));
    EXPECT_TRUE(pixelNear(renderOver(combo, kInk), 150, 0, kWhite));
    cvn::test::sendLeave(&combo);
    combo.setOpen(true);
    EXPECT_TRUE(pixelNear(renderOver(combo, kInk), 150, 37, kWhite));

    Theme::setAppearance(Appearance::Dark);
    combo.setOpen(false);
    // 0.25 of #29292A over the white card.
    EXPECT_TRUE(pixelNear(renderOver(combo, kWhite), 150, 0, QColor(202, 202, 202), 2));
}

TEST_F(ComboBoxTest, PopupOpensUpwardsAsWideAsTheButton)
{
    Window w({QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")});
    w.click(w.combo, QPoint(150, 19));
    ASSERT_TRUE(w.combo->isOpen());
    QWidget* popup = w.combo->popup();
    ASSERT_NE(popup, nullptr);
    EXPECT_EQ(popup->objectName(), QStringLiteral("cvn.popup"));
    EXPECT_EQ(popup->parentWidget(), &w.window);
    EXPECT_TRUE(popup->isVisible());
    EXPECT_EQ(popup->geometry(), QRect(50, 320 - 4 - 96, 300, 96));
    EXPECT_EQ(popup->findChild<QWidget*>(QStringLiteral("cvn.row.2"))->height(), 32);

    // It follows the button when the button moves.
    w.combo->move(50, 300);
    QApplication::processEvents();
    EXPECT_EQ(popup->geometry().bottom() + 1, 300 - 4);

    w.click(w.combo, QPoint(150, 19));
    EXPECT_FALSE(w.combo->isOpen());
    EXPECT_FALSE(popup->isVisible());

    Window many(numbered(16));
    many.combo->setOpen(true);
    QApplication::processEvents();
    EXPECT_EQ(many.combo->popup()->height(), 220);
    EXPECT_EQ(many.combo->popupScrollArea()->verticalScrollBar()->maximum(), 16 * 32 - 220);

    Window six(numbered(6));
    six.combo->setOpen(true);
    QApplication::processEvents();
    EXPECT_EQ(six.combo->popup()->height(), 192);
    EXPECT_EQ(six.combo->popupScrollArea()->verticalScrollBar()->maximum(), 0);
}

TEST_F(ComboBoxTest, ARowClickWritesItsIndexAndCloses)
{
    Window w({QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")}, 0);
    QSignalSpy written(w.combo, &CvnComboBox::selectionWritten);
    w.combo->setOpen(true);
    QApplication::processEvents();
    w.click(w.combo->popup()->findChild<QWidget*>(QStringLiteral("cvn.row.2")), QPoint(100, 16));
    ASSERT_EQ(written.count(), 1);
    EXPECT_EQ(written.last().at(0).toInt(), 2);
    EXPECT_EQ(w.combo->selection(), 2);
    EXPECT_EQ(w.combo->title(), QStringLiteral("c"));
    EXPECT_FALSE(w.combo->isOpen());
    EXPECT_FALSE(w.combo->popup()->isVisible());

    // The selected row writes again and closes.
    w.combo->setOpen(true);
    QApplication::processEvents();
    w.click(w.combo->popup()->findChild<QWidget*>(QStringLiteral("cvn.row.2")), QPoint(100, 16));
    EXPECT_EQ(written.count(), 2);
    EXPECT_FALSE(w.combo->isOpen());

    // An out-of-range selection comes back into range by a click.
    w.combo->setSelection(7);
    w.combo->setOpen(true);
    QApplication::processEvents();
    w.click(w.combo->popup()->findChild<QWidget*>(QStringLiteral("cvn.row.0")), QPoint(100, 16));
    EXPECT_EQ(w.combo->selection(), 0);
}

TEST_F(ComboBoxTest, RowsTintSelectedAndHoveredAndHoverHandsOver)
{
    Window w({QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")}, 1);
    w.combo->setOpen(true);
    QApplication::processEvents();
    QWidget* popup = w.combo->popup();
    QWidget* row0 = popup->findChild<QWidget*>(QStringLiteral("cvn.row.0"));
    QWidget* row1 = popup->findChild<QWidget*>(QStringLiteral("cvn.row.1"));
    QWidget* row2 = popup->findChild<QWidget*>(QStringLiteral("cvn.row.2"));

    // Enter on the next row may arrive before the leave of the last one.
    cvn::test::sendEnter(row0);
    cvn::test::sendEnter(row2);
    cvn::test::sendLeave(row0);
    EXPECT_EQ(w.combo->hoveredIndex(), 2);
    cvn::test::sendLeave(row2);
    EXPECT_EQ(w.combo->hoveredIndex(), std::nullopt);

    cvn::test::sendEnter(row2);
    // Over the card: selected 0.14, hovered 0.08, others clear.
    const QPoint probe(280, 16);
    EXPECT_TRUE(pixelNear(renderOver(*row1, kInk), probe.x(), probe.y(), QColor(71, 71, 72), 2));
    EXPECT_TRUE(pixelNear(renderOver(*row2, kInk), probe.x(), probe.y(), QColor(58, 58, 59), 2));
    EXPECT_TRUE(pixelNear(renderOver(*row0, kInk), probe.x(), probe.y(), kInk));
    // The popup's own card and border.
    const QImage window = w.window.grab().toImage();
    const QPoint topMiddle = popup->geometry().topLeft() + QPoint(150, 0);
    EXPECT_TRUE(pixelNear(window, topMiddle.x(), topMiddle.y(), QColor(94, 94, 95), 2)) << "border";
    EXPECT_TRUE(pixelNear(window, topMiddle.x(), topMiddle.y() + 8, kInk)) << "row 0 is clear over the card";
}

TEST_F(ComboBoxTest, RowTintStaysInsideTheCardsRoundedCorners)
{
    // The last of four rows is selected: its tint runs into the bottom corners.
    Window w(numbered(4), 3);
    w.combo->setOpen(true);
    QApplication::processEvents();
    QWidget* last = w.combo->popup()->findChild<QWidget*>(QStringLiteral("cvn.row.3"));
    EXPECT_TRUE(pixelNear(renderOver(*last, kInk), 1, 30, kInk)) << "outside the radius-19 corner";
}

TEST_F(ComboBoxTest, OnlyTheButtonOrARowClosesIt)
{
    Window w({QStringLiteral("a"), QStringLiteral("b")});
    w.combo->setOpen(true);
    QApplication::processEvents();
    w.click(w.sibling, QPoint(10, 10));
    EXPECT_TRUE(w.combo->isOpen());
    w.click(&w.window, QPoint(390, 390));
    EXPECT_TRUE(w.combo->isOpen());
    w.combo->setFocus();
    QTest::keyClick(w.combo, Qt::Key_Escape);
    QTest::keyClick(w.combo->popup(), Qt::Key_Escape);
    EXPECT_TRUE(w.combo->isOpen());
    EXPECT_TRUE(w.combo->popup()->isVisible());

    // Hiding the control takes the list with it; showing brings it back.
    w.combo->hide();
    EXPECT_FALSE(w.combo->popup()->isVisible());
    w.combo->show();
    EXPECT_TRUE(w.combo->popup()->isVisible());
}

TEST_F(ComboBoxTest, EmptyOptionsOpenAnEmptyCard)
{
    Window w({});
    EXPECT_EQ(w.combo->title(), QString());
    w.combo->setOpen(true);
    QApplication::processEvents();
    EXPECT_EQ(w.combo->popup()->height(), 0);
    EXPECT_EQ(w.combo->popup()->findChild<QWidget*>(QStringLiteral("cvn.row.0")), nullptr);

    // Deleting an open combo takes its list out of the window.
    QPointer<QWidget> popup = w.combo->popup();
    delete w.combo;
    EXPECT_TRUE(popup.isNull());
}

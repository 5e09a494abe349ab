#include "chat/composer/MentionPopup.h"

#include "rendering/ViewTest.h"
#include "support/Wait.h"
#include "ui_kit/KitTest.h"

#include <QAccessible>
#include <QApplication>
#include <QMouseEvent>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>

using namespace cvn;
using cvn::test::pixelNear;

namespace {

QList<ModelInfo> models(int count, const QString& prefix = QStringLiteral("Model "))
{
    QList<ModelInfo> list;
    for (int i = 0; i < count; ++i) {
        ModelInfo info;
        info.displayName = prefix + QString::number(i);
        list.append(info);
    }
    return list;
}

class MentionPopupTest : public cvn::test::KitTest {
protected:
    void open(int count, int highlighted = 0, const QString& prefix = QStringLiteral("Model "))
    {
        popup.setModels(models(count, prefix), highlighted);
        popup.setGeometry(20, 20, 797, MentionPopup::heightFor(count));
        popup.onHover = [this](int row) { hovered.append(row); };
        popup.onPick = [this](const ModelInfo& model) { picked.append(model.displayName); };
        host.resize(840, 300);
        cvn::test::showAndSettle(host);
    }
    void moveTo(QPoint pos)
    {
        QWidget* rows = popup.rowsWidget();
        QMouseEvent move(QEvent::MouseMove, pos, rows->mapToGlobal(pos), Qt::NoButton, Qt::NoButton, {});
        QApplication::sendEvent(rows, &move);
    }

    // The popup stands on a page, as on the chat page: a window of its own
    // could not draw its shadow.
    QWidget host;
    MentionPopup popup{&host};
    QList<int> hovered;
    QStringList picked;
};

} // namespace

TEST_F(MentionPopupTest, RowsDividersAndHeights)
{
    EXPECT_EQ(MentionPopup::heightFor(1), 61);
    EXPECT_EQ(MentionPopup::heightFor(5), 241);
    EXPECT_EQ(MentionPopup::heightFor(6), 256);

    open(5, 4);
    EXPECT_FALSE(popup.isScrolling());
    const QImage image = cvn::test::renderOver(popup, cvn::test::kWhite);
    const QColor divider = cvn::test::over(cvn::test::kInk, cvn::test::kWhite, 0.15);
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(pixelNear(image, 400, 6 + 45 * i + 44, divider, 2)) << i;
    // No divider under the last row, which is highlighted here.
    const QColor mark = cvn::test::over(cvn::test::kInk, cvn::test::kWhite, 31.0 / 255);
    EXPECT_TRUE(pixelNear(image, 400, 6 + 45 * 4 + 44, cvn::test::kInk, 2));
    EXPECT_TRUE(pixelNear(image, 700, 6 + 45 * 4 + 20, mark, 2));

    open(6);
    EXPECT_TRUE(popup.isScrolling());
    EXPECT_EQ(popup.scrollArea()->height(), 240);
    EXPECT_EQ(popup.scrollArea()->verticalScrollBar()->maximum(), 6 * 45 - 240);
}

TEST_F(MentionPopupTest, ANewHighlightScrollsIntoViewAndBack)
{
    open(8);
    QScrollBar* bar = popup.scrollArea()->verticalScrollBar();
    popup.setHighlighted(6);
    ASSERT_TRUE(cvn::test::waitUntil([&] { return bar->value() == 7 * 45 - 240; }));
    popup.setHighlighted(0);
    EXPECT_TRUE(cvn::test::waitUntil([&] { return bar->value() == 0; }));
}

TEST_F(MentionPopupTest, TheWholeRowIsItsHitAreaAndHoverReportsOnEntering)
{
    open(4);
    QWidget* rows = popup.rowsWidget();
    QTest::mouseClick(rows, Qt::LeftButton, {}, QPoint(3, 2 * 45 + 20));
    QTest::mouseClick(rows, Qt::LeftButton, {}, QPoint(400, 2 * 45 + 44));
    EXPECT_EQ(picked, (QStringList{QStringLiteral("Model 2"), QStringLiteral("Model 2")}));

    hovered.clear();
    moveTo({100, 3 * 45 + 5});
    moveTo({120, 3 * 45 + 30});
    cvn::test::sendLeave(rows);
    EXPECT_EQ(hovered, QList<int>{3});
}

TEST_F(MentionPopupTest, InkCardWithPaperTextInBothAppearances)
{
    for (const auto& [appearance, card, text] :
         {std::tuple{Appearance::Light, cvn::test::kInk, cvn::test::kWhite},
          std::tuple{Appearance::Dark, cvn::test::kWhite, cvn::test::kInk}}) {
        Theme::setAppearance(appearance);
        open(2, 1);
        const QImage image = cvn::test::renderOver(popup, Qt::transparent);
        EXPECT_TRUE(pixelNear(image, 700, 6 + 22, card, 2));
        EXPECT_GT(cvn::test::countPixels(image, text, 3, QRect(20, 6, 120, 44)), 20);
    }
}

TEST_F(MentionPopupTest, ALongNameStaysOnOneLineInsideItsPadding)
{
    open(2, 1, QString(200, u'W'));
    const QImage image = cvn::test::renderOver(popup, cvn::test::kInk);
    const QRect row0(8, 6, 781, 44);
    EXPECT_GT(cvn::test::countPixels(image, cvn::test::kWhite, 60, QRect(row0.x() + 20, 6, 700, 44)), 200);
    // Nothing of the text past the row's 20-pixel padding, nothing below its
    // one line.
    EXPECT_EQ(cvn::test::countPixels(image, cvn::test::kWhite, 60, QRect(row0.right() - 19, 6, 20, 44)), 0);
    EXPECT_EQ(cvn::test::countPixels(image, cvn::test::kWhite, 60, QRect(8, 6 + 36, 781, 8)), 0);
}

TEST_F(MentionPopupTest, EachRowIsOneAccessibleButtonNamedAfterItsModel)
{
    open(3, 1);
    QWidget* rows = popup.rowsWidget();
    QAccessibleInterface* list = QAccessible::queryAccessibleInterface(rows);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->role(), QAccessible::List);
    ASSERT_EQ(list->childCount(), 3);
    for (int i = 0; i < 3; ++i) {
        QAccessibleInterface* row = list->child(i);
        ASSERT_NE(row, nullptr);
        EXPECT_TRUE(row->isValid());
        EXPECT_EQ(row->role(), QAccessible::Button) << i;
        EXPECT_EQ(row->text(QAccessible::Name), QStringLiteral("Model %1").arg(i));
        EXPECT_EQ(row->childCount(), 0) << "the row's text and highlight are one element";
        EXPECT_EQ(row->rect(), QRect(rows->mapToGlobal(QPoint(0, 45 * i)), QSize(rows->width(), 45)));
        EXPECT_FALSE(row->state().invisible || row->state().offscreen);
        EXPECT_EQ(row->parent(), list);
        EXPECT_EQ(list->indexOfChild(row), i);
        EXPECT_EQ(list->child(i), row) << "one element per row, kept";
        // The whole 45-pixel row answers, the divider's line included.
        EXPECT_EQ(list->childAt(row->rect().left() + 2, row->rect().bottom()), row);
    }

    // Pressing it picks its model, as a click does.
    QAccessibleActionInterface* action = list->child(2)->actionInterface();
    ASSERT_NE(action, nullptr);
    EXPECT_EQ(action->actionNames(), QStringList{QAccessibleActionInterface::pressAction()});
    action->doAction(QAccessibleActionInterface::pressAction());
    EXPECT_EQ(picked, QStringList{QStringLiteral("Model 2")});

    // Other models: the rows read anew; a row past the end is gone.
    QAccessibleInterface* third = list->child(2);
    popup.setModels(models(2, QStringLiteral("Other ")), 0);
    EXPECT_EQ(list->childCount(), 2);
    EXPECT_EQ(list->child(1)->text(QAccessible::Name), QStringLiteral("Other 1"));
    EXPECT_FALSE(third->isValid());
    EXPECT_EQ(list->child(2), nullptr);
}

TEST_F(MentionPopupTest, RowsScrolledOutOfTheListAreOffscreen)
{
    open(8);
    QAccessibleInterface* list = QAccessible::queryAccessibleInterface(popup.rowsWidget());
    ASSERT_EQ(list->childCount(), 8);
    EXPECT_FALSE(list->child(0)->state().offscreen);
    EXPECT_FALSE(list->child(5)->state().offscreen); // partly in view
    EXPECT_TRUE(list->child(6)->state().offscreen);
    EXPECT_EQ(list->child(7)->text(QAccessible::Name), QStringLiteral("Model 7"));
    EXPECT_EQ(list->child(7)->role(), QAccessible::Button);
}

#include "chat/sidebar/SidebarRow.h"
#include "chat/sidebar/SidebarSearchField.h"

#include "rendering/ViewTest.h"
#include "support/Wait.h"
#include "ui_kit/KitTest.h"

#include <QSignalSpy>
#include <QTest>

using namespace cvn;
using namespace cvn::test;

namespace {

class SidebarRowTest : public KitTest {};

ChatStore::Row chat(const QString& title, bool reasoning = false, bool council = false)
{
    ChatStore::Row row;
    row.id = 7;
    row.title = title;
    row.reasoning = reasoning;
    row.council = council;
    return row;
}

// The badge column's painted extent: columns holding surface-coloured ink.
QRect badgeInk(const ChatStore::Row& row)
{
    SidebarRow widget(row);
    widget.resize(widget.sizeHint());
    const QImage image = renderOver(widget, kInk);
    QRect ink;
    for (int y = 0; y < SidebarRow::rowHeight - SidebarRow::dividerHeight; ++y)
        for (int x = 0; x < SidebarRow::badgeWidth; ++x)
            if (QColor(image.pixel(x, y)).lightness() > 0x60)
                ink |= QRect(x, y, 1, 1);
    return ink;
}

} // namespace

TEST_F(SidebarRowTest, BadgesShowTheFlagsAndNeitherLeavesTheColumnClear)
{
    EXPECT_EQ(SidebarRow::badgeText(true, true), "RC");
    EXPECT_EQ(SidebarRow::badgeText(false, true), "C");
    EXPECT_EQ(SidebarRow::badgeText(true, false), "R");
    EXPECT_EQ(SidebarRow::badgeText(false, false), "");

    EXPECT_TRUE(badgeInk(chat("plain")).isNull());
    const QRect r = badgeInk(chat("r", true));
    const QRect rc = badgeInk(chat("rc", true, true));
    const QRect c = badgeInk(chat("c", false, true));
    ASSERT_FALSE(r.isNull());
    EXPECT_EQ(r.left(), 8);
    EXPECT_EQ(c.left(), 8);
    // The small "C" stands beside the "R", its top above the "R"'s.
    EXPECT_GT(rc.right(), r.right() + 2);
    EXPECT_LT(rc.top(), r.top());
    EXPECT_LE(rc.right(), SidebarRow::badgeWidth);
}

TEST_F(SidebarRowTest, MoreActionsShowsOnHoverWithoutMovingTheTitle)
{
    SidebarRow row(chat("A title long enough to be cut at the end of the row, well past its width", true));
    row.resize(row.sizeHint());
    showAndSettle(row);
    const QRect title = row.titleButton()->geometry();
    EXPECT_EQ(title.left(), SidebarRow::badgeWidth);
    EXPECT_EQ(title.height(), SidebarRow::rowHeight);
    EXPECT_FALSE(row.moreButton()->isVisible());

    sendEnter(&row);
    QCoreApplication::processEvents(); // the layout runs on a posted request
    EXPECT_TRUE(row.moreButton()->isVisible());
    EXPECT_EQ(row.titleButton()->geometry(), title);
    EXPECT_EQ(row.moreButton()->geometry().right(), row.width() - 1);
    EXPECT_EQ(row.moreButton()->accessibleName(), "More actions");

    QSignalSpy select(&row, &SidebarRow::onSelect);
    QSignalSpy more(&row, &SidebarRow::onMore);
    QTest::mouseClick(row.moreButton(), Qt::LeftButton);
    QTest::mouseClick(row.titleButton(), Qt::LeftButton, {}, QPoint(title.width() - 5, 3));
    EXPECT_EQ(more.count(), 1);
    EXPECT_EQ(select.count(), 1);

    sendLeave(&row);
    QCoreApplication::processEvents();
    EXPECT_FALSE(row.moreButton()->isVisible());
    EXPECT_EQ(row.titleButton()->geometry(), title);

    // The divider: 282 by 2 from x 32, surface at half opacity.
    const QImage image = renderOver(row, kInk);
    EXPECT_TRUE(pixelNear(image, 40, SidebarRow::rowHeight - 1, over(kInk, kWhite, 0.5)));
    EXPECT_TRUE(pixelNear(image, 20, SidebarRow::rowHeight - 1, kInk));
}

TEST_F(SidebarRowTest, FieldReportsUserEditsOnlyAndTakesEachNewFocusToken)
{
    QWidget host;
    auto* other = new QLineEdit(&host);
    auto* field = new SidebarSearchField({}, &host);
    field->move(0, 40);
    showAndSettle(host);
    QApplication::setActiveWindow(&host);
    QSignalSpy edits(field, &SidebarSearchField::queryEdited);

    QTest::keyClicks(field, "ab");
    EXPECT_EQ(edits.count(), 2);
    EXPECT_EQ(edits.last().first().toString(), "ab");

    field->setQuery("xyz");
    EXPECT_EQ(field->text(), "xyz");
    EXPECT_EQ(edits.count(), 2);

    for (int token : {1, 2}) {
        other->setFocus();
        field->setFocusToken(token);
        // Deferred a turn, so the focus is still where it was.
        EXPECT_TRUE(other->hasFocus());
        EXPECT_TRUE(waitUntil([&] { return field->hasFocus(); })) << "token " << token;
    }
    // The same token again leaves the focus alone.
    other->setFocus();
    field->setFocusToken(2);
    QCoreApplication::processEvents();
    EXPECT_TRUE(other->hasFocus());
    EXPECT_EQ(field->accessibleName(), "Search chats");
}

TEST_F(SidebarRowTest, FooterHighlightOnlyWhileHeldDown)
{
    QWidget host;
    auto* button = new FooterRowButton("MODELS", &host);
    button->setGeometry(0, 0, 282, button->sizeHint().height());
    showAndSettle(host);
    const QPoint blank(250, button->height() / 2);
    const QColor pressed = over(kInk, kWhite, FooterRowButton::pressedOpacity);

    QTest::mousePress(button, Qt::LeftButton, {}, blank);
    EXPECT_TRUE(pixelNear(renderOver(*button, kInk), blank.x(), blank.y(), pressed));
    QTest::mouseRelease(button, Qt::LeftButton, {}, blank);
    EXPECT_TRUE(pixelNear(renderOver(*button, kInk), blank.x(), blank.y(), kInk));
}

#include "KitTest.h"

#include "ui_kit/CentredCardLayout.h"

#include <QApplication>
#include <QScrollBar>

using namespace cvn;
using cvn::test::showAndSettle;

namespace {

QWidget* block(int w, int h)
{
    auto* content = new QWidget;
    content->setFixedSize(w, h);
    return content;
}

int contentTopInViewport(const CentredCardLayout& layout)
{
    return layout.content()->mapTo(layout.viewport(), QPoint(0, 0)).y();
}

} // namespace

using CentredCardLayoutTest = cvn::test::KitTest;

TEST_F(CentredCardLayoutTest, ShortContentIsCentredAndDoesNotScroll)
{
    CentredCardLayout layout(40, block(400, 200));
    layout.resize(800, 600);
    showAndSettle(layout);
    EXPECT_EQ(layout.content()->mapTo(layout.viewport(), QPoint(0, 0)), QPoint(200, 200));
    EXPECT_EQ(layout.verticalScrollBar()->maximum(), 0);
    EXPECT_EQ(layout.horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);

    // A taller window re-centres at once.
    layout.resize(800, 800);
    QApplication::processEvents();
    EXPECT_EQ(contentTopInViewport(layout), 300);
    EXPECT_EQ(layout.verticalScrollBar()->maximum(), 0);
}

TEST_F(CentredCardLayoutTest, TallContentScrollsWithTheMarginAtBothEnds)
{
    // A zero margin lets tall content touch both ends.
    for (const int margin : {40, 0}) {
        SCOPED_TRACE(margin);
        CentredCardLayout layout(margin, block(400, 1000));
        layout.resize(800, 600);
        showAndSettle(layout);
        QScrollBar* bar = layout.verticalScrollBar();
        EXPECT_EQ(bar->maximum(), 1000 - 600 + 2 * margin);
        EXPECT_EQ(contentTopInViewport(layout), margin);
        bar->setValue(bar->maximum());
        QApplication::processEvents();
        EXPECT_EQ(contentTopInViewport(layout) + 1000, 600 - margin);
        // Still centred across the full width: the bar lies over the content.
        const int x = layout.content()->mapTo(layout.viewport(), QPoint(0, 0)).x();
        EXPECT_EQ(x, (layout.viewport()->width() - 400) / 2);
    }
}

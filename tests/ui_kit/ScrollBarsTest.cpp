#include "DialogHarness.h"

#include "ui_kit/CentredCardLayout.h"
#include "ui_kit/CvnComboBox.h"
#include "ui_kit/CvnContentDialog.h"

#include <QScrollArea>
#include <QScrollBar>

using namespace cvn;
using namespace cvn::test;

namespace {

QWidget* block(int w, int h)
{
    auto* content = new QWidget;
    content->setFixedSize(w, h);
    return content;
}

// The bar scrolled to its start, drawn over red: the handle sits at the top
// of its track, which starts `endInset` down the bar.
void expectKitBar(QAbstractScrollArea* area, int endInset)
{
    QScrollBar* bar = area->verticalScrollBar();
    ASSERT_TRUE(bar->isVisible());
    EXPECT_EQ(area->viewport()->width(), area->contentsRect().width()) << "the bar lies over the content";
    const QImage image = renderOver(*bar, Qt::red);
    EXPECT_TRUE(pixelNear(image, bar->width() / 2, endInset + 12, Theme::muted(), 3)) << "a muted handle";
    if (endInset > 0)
        EXPECT_TRUE(pixelNear(image, bar->width() / 2, 3, Qt::red)) << "clear of the rounded corner";
    EXPECT_TRUE(pixelNear(image, bar->width() / 2, bar->height() - 3, Qt::red)) << "no groove or arrow";
    EXPECT_LE(bar->width(), 10) << "thin";
}

} // namespace

using ScrollBarsTest = KitTest;

// The page layout, the combo's list and a dialog's body, in the light look
// and again after a live switch to dark.
TEST_F(ScrollBarsTest, EveryKitScrollerShowsAThinHandleOverItsContent)
{
    CentredCardLayout page(20, block(400, 1000));
    page.resize(800, 600);
    showAndSettle(page);

    QWidget window;
    window.resize(400, 400);
    QStringList options;
    for (int i = 0; i < 16; ++i)
        options << QStringLiteral("Option %1").arg(i);
    auto* combo = new CvnComboBox(options, 0, &window);
    combo->setGeometry(50, 320, 300, 38);
    showAndSettle(window);
    combo->setOpen(true);
    QApplication::processEvents();

    DialogWindow host;
    auto* dialog = host.open(new CvnContentDialog(QStringLiteral("Edit model"), block(500, 1000), [] {}, [] {},
                                                  QStringLiteral("SAVE"), QStringLiteral("CANCEL"), &host.window));

    for (const Appearance appearance : {Appearance::Light, Appearance::Dark}) {
        Theme::setAppearance(appearance);
        QApplication::processEvents();
        SCOPED_TRACE(appearance == Appearance::Dark ? "dark" : "light");
        expectKitBar(&page, 0);
        expectKitBar(combo->popupScrollArea(), 19); // the list's card corners
        expectKitBar(dialog->bodyArea(), 0);
    }
}

#include "ScreenFixture.h"

#include "chat/LayoutProbe.h"
#include "platform/AppSettings.h"
#include "ui_kit/CentredCardLayout.h"
#include "ui_kit/CvnButton.h"

#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QTimer>

namespace cvn {
namespace {

using ModelsScreenTest = test::KitTest;
using test::ScreenFixture;

void fireHover(ModelsScreen& screen)
{
    ASSERT_TRUE(screen.hoverTimer()->isActive());
    screen.hoverTimer()->stop();
    QMetaObject::invokeMethod(screen.hoverTimer(), "timeout");
}

TEST_F(ModelsScreenTest, EmptyFolderShowsTheEmptyCardAndAdd)
{
    ScreenFixture f(0);
    ModelsScreen& s = *f.screen;
    EXPECT_FALSE(s.listCard());
    ASSERT_TRUE(s.emptyCard());
    EXPECT_EQ(ModelsScreen::emptyText, QStringLiteral("No models yet. Drag a .gguf here or tap ADD."));
    EXPECT_EQ(s.emptyCard()->width(), 544);
    EXPECT_EQ(s.addButton()->text(), QStringLiteral("ADD MODEL"));
    EXPECT_EQ(s.addButton()->width(), 226);
    EXPECT_EQ(s.backButton()->pos(), QPoint(39, 53));
    EXPECT_EQ(s.backButton()->toolTip(), QStringLiteral("Back"));
    QTest::mouseClick(s.backButton(), Qt::LeftButton);
    EXPECT_EQ(f.backs, 1);
}

TEST_F(ModelsScreenTest, ListFitsFiveRowsAndScrollsFromSix)
{
    const struct {
        int count;
        int height;
        const char* detail;
    } cases[] = {{1, 70, "1 models, fitted"}, {5, 350, "5 models, fitted"}, {6, 365, "6 models, scrolling"}};
    for (const auto& c : cases) {
        ScreenFixture f(c.count);
        ModelsScreen& s = *f.screen;
        ASSERT_TRUE(s.listCard());
        EXPECT_FALSE(s.emptyCard());
        EXPECT_EQ(s.listCard()->size(), QSize(544, c.height)) << c.count;
        EXPECT_EQ(s.column()->mapTo(&s, QPoint()).x(), (900 - 544) / 2) << "centred";
        EXPECT_EQ(s.listScrollArea() && s.listScrollArea()->verticalScrollBar()->maximum() > 0, c.count > 5);
        const QStringList probes = LayoutProbe::snapshot().filter(QStringLiteral("models card: "));
        ASSERT_EQ(probes.size(), 1);
        EXPECT_TRUE(probes[0].endsWith(QStringLiteral("  (%1)").arg(QString::fromLatin1(c.detail)))) << probes[0].toStdString();
        QList<bool> dividers;
        for (ModelRow* row : s.rows())
            dividers.append(row->showsDivider() && row->dividerRect() == QRectF(31, 68, 544 - 62, 2));
        QList<bool> expected(c.count, true);
        expected.last() = false;
        EXPECT_EQ(dividers, expected);
    }
}

TEST_F(ModelsScreenTest, ListColoursInBothAppearances)
{
    for (const Appearance appearance : {Appearance::Light, Appearance::Dark}) {
        Theme::setAppearance(appearance);
        ScreenFixture f(2);
        const QImage image = test::renderOver(*f.screen, Theme::paper());
        const bool dark = appearance == Appearance::Dark;
        const QColor page = dark ? test::kInk : test::kWhite;
        const QColor ink = dark ? test::kWhite : test::kInk;
        EXPECT_TRUE(test::pixelNear(image, 5, 5, page));
        const QPoint card = f.screen->listCard()->mapTo(f.screen.get(), QPoint());
        EXPECT_TRUE(test::pixelNear(image, card.x() + 20, card.y() + 35, ink));
        // The divider: paper at half opacity over ink.
        const QColor half((page.red() + ink.red() + 1) / 2, (page.green() + ink.green() + 1) / 2,
                          (page.blue() + ink.blue() + 1) / 2);
        EXPECT_TRUE(test::pixelNear(image, card.x() + 272, card.y() + 69, half, 3));
    }
}

TEST_F(ModelsScreenTest, HoverCardWaitsAndPinnedCardStays)
{
    ScreenFixture f(3);
    ModelsScreen& s = *f.screen;
    ModelRow* first = s.rows()[0];
    ModelRow* second = s.rows()[1];

    ScreenFixture::moveTo(first->infoButton(), {5, 5});
    EXPECT_TRUE(s.hoverTimer()->isActive());
    EXPECT_EQ(s.hoverTimer()->interval(), 400);
    ScreenFixture::moveTo(first, {100, 10}); // off the button before the delay ran out
    EXPECT_FALSE(s.hoverTimer()->isActive());
    EXPECT_FALSE(s.infoCard()->isVisible());

    ScreenFixture::moveTo(first->infoButton(), {5, 5});
    fireHover(s);
    ASSERT_TRUE(s.infoCard()->isVisible());
    EXPECT_EQ(s.infoCard()->text(), first->model().capacityTooltip(60000));
    EXPECT_EQ(s.infoCard()->textMaxWidth(), 368);
    EXPECT_LE(s.infoCard()->textWidth(), 368);
    EXPECT_TRUE(s.infoCard()->testAttribute(Qt::WA_TransparentForMouseEvents));
    ScreenFixture::moveTo(first, {100, 10});
    EXPECT_FALSE(s.infoCard()->isVisible());

    QTest::mouseClick(first->infoButton(), Qt::LeftButton);
    ASSERT_TRUE(s.infoCard()->isVisible());
    EXPECT_EQ(s.pinnedInfo(), first->model().id);
    EXPECT_EQ(s.infoCard()->textMaxWidth(), 448);
    EXPECT_LE(s.infoCard()->textWidth(), 448);
    EXPECT_TRUE(s.clickCatcher()->isVisible());
    // Hovering another button does not replace the pinned card.
    s.infoHovered(true, second->model().id);
    fireHover(s);
    EXPECT_EQ(s.infoCard()->property("modelId").toUuid(), first->model().id);
    // A click on the card keeps it; the first click elsewhere only closes it.
    QTest::mouseClick(s.infoCard(), Qt::LeftButton, {}, QPoint(10, 10));
    EXPECT_TRUE(s.infoCard()->isVisible());
    const QPoint onSecond = second->infoButton()->mapTo(&s, QPoint(5, 5));
    QTest::mouseClick(s.childAt(onSecond), Qt::LeftButton, {}, s.childAt(onSecond)->mapFrom(&s, onSecond));
    EXPECT_FALSE(s.pinnedInfo());
    EXPECT_FALSE(s.clickCatcher()->isVisible());
}

TEST_F(ModelsScreenTest, InfoCardPlacement)
{
    const struct {
        QRect anchor;
        QSize card;
        int width;
        QPoint expected;
    } cases[] = {
        {{400, 300, 35, 35}, {200, 100}, 900, {318, 196}},   // centred, 4 above
        {{400, 50, 35, 35}, {200, 100}, 900, {318, 89}},     // too high: 4 below
        {{850, 300, 35, 35}, {200, 100}, 900, {692, 196}},   // right edge: W - 8
        {{10, 300, 35, 35}, {200, 100}, 900, {8, 196}},      // left edge: 8
        {{100, 300, 35, 35}, {500, 100}, 400, {8, 196}},     // wider than the window
    };
    for (const auto& c : cases)
        EXPECT_EQ(ModelsScreen::infoCardPosition(c.anchor, c.card, c.width), c.expected) << c.anchor.x();

    // The card follows its button when the list scrolls.
    ScreenFixture f(8, {900, 700});
    ModelsScreen& s = *f.screen;
    ModelRow* row = s.rows()[3];
    s.infoClicked(row->model().id);
    s.listScrollArea()->verticalScrollBar()->setValue(60);
    const QRect anchor(row->infoButton()->mapTo(&s, QPoint()), row->infoButton()->size());
    EXPECT_EQ(s.infoCard()->pos(), ModelsScreen::infoCardPosition(anchor, s.infoCard()->size(), 900));
}

TEST_F(ModelsScreenTest, VisionAdapterRowAndDebugPanel)
{
    ScreenFixture f(0);
    f.writeModel(QStringLiteral("mmproj-eyes.gguf"));
    f.store->reload();
    ModelsScreen& s = *f.screen;
    ASSERT_EQ(s.rows().size(), 1);
    EXPECT_EQ(s.rows()[0]->nameOpacity(), 0.5);
    EXPECT_EQ(s.rows()[0]->secondLine(),
              QStringLiteral("Vision adapter, not a model · not selectable · delete it from ⋯ if you like"));

    s.setPanelFactory([] {
        auto* panel = new QWidget;
        panel->setFixedSize(544, 120);
        return panel;
    });
    EXPECT_FALSE(s.debugPanel());
    AppSettings::setValue(QString::fromLatin1(AppSettings::showRuntimePanel), true);
    ASSERT_TRUE(s.debugPanel());
    QApplication::processEvents();
    EXPECT_TRUE(s.debugPanel()->isVisibleTo(&s));
    EXPECT_EQ(s.debugPanel()->mapTo(s.column(), QPoint()).y(), 0);
    EXPECT_EQ(s.titleLabel()->mapTo(s.column(), QPoint()).y(), 120 + 16);
    AppSettings::setValue(QString::fromLatin1(AppSettings::showRuntimePanel), false);
    EXPECT_FALSE(s.debugPanel()->isVisibleTo(&s));
}

} // namespace
} // namespace cvn

#include "Fakes.h"
#include "chat/shared/LayoutProbe.h"
#include "screens/AttachSheetOverlay.h"
#include "screens/CopyProgressOverlay.h"
#include "screens/ModelPickerOverlay.h"
#include "screens/SettingsPageKit.h"
#include "ui_kit/CvnButton.h"
#include "ui_kit/CvnDialogCard.h"
#include "ui_kit/KitTest.h"

#include <QScrollArea>
#include <QScrollBar>
#include <QTest>

using namespace cvn;
using namespace cvn::test;

namespace {

using OverlayTest = KitTest;

// A click where the pointer lands: on the deepest child under `at`, from
// which an unhandled press climbs to its parents as it would on screen.
void clickAt(QWidget* top, QPoint at)
{
    QWidget* target = top->childAt(at) ? top->childAt(at) : top;
    QTest::mouseClick(target, Qt::LeftButton, {}, target->mapFrom(top, at));
}

// The picker over a 1280 by 800 window, with `count` models named "Model i"
// unless `names` are given; `current` indexes the current one, and one past
// the list is an id of no model.
struct Picker {
    explicit Picker(int count, int current = -1, qreal inset = 0, QStringList names = {})
    {
        for (int i = names.size(); i < count; ++i)
            names.append(QStringLiteral("Model %1").arg(i));
        for (const QString& name : names)
            list.append(ModelInfo{}), list.last().displayName = name;
        window.resize(1280, 800);
        showAndSettle(window);
        std::optional<QUuid> id;
        if (current >= 0)
            id = current < list.size() ? list[current].id : QUuid::createUuid();
        overlay = new ModelPickerOverlay(list, all, id, inset, [this](const QUuid& picked) { picks.append(picked); },
                                         [this] { ++dismissals; }, &window);
        showAndSettle(*overlay);
    }
    QWidget* card() const { return overlay->card(); }

    QWidget window;
    QList<ModelInfo> list;
    QList<ModelInfo> all; // what the pills' projectors are found in
    ModelPickerOverlay* overlay;
    QList<QUuid> picks;
    int dismissals = 0;
};

// The attach sheet over a window `width` wide.
struct Attach {
    explicit Attach(int width = 1280)
    {
        window.resize(width, 800);
        showAndSettle(window);
        sheet = new AttachSheetOverlay([this](bool documents) { choices.append(documents); },
                                       [this] { ++dismissals; }, &window);
        showAndSettle(*sheet);
    }
    QWidget window;
    AttachSheetOverlay* sheet;
    QList<bool> choices;
    int dismissals = 0;
};

} // namespace

TEST_F(OverlayTest, PickerTagsTheModelsThatSeeImages)
{
    QWidget window;
    window.resize(1280, 800);
    showAndSettle(window);
    QList<ModelInfo> models(3);
    for (int i = 0; i < 3; ++i) {
        models[i].displayName = QStringLiteral("Model %1").arg(i);
        models[i].fileName = models[i].displayName + ".gguf";
        models[i].discoveredMetadata = GgufInfo{.nEmbd = i == 2 ? 2048 : 4096};
    }
    models[1].projectorChoice = ModelInfo::noProjector;
    QList<ModelInfo> all = models;
    all.append(test::sampleProjector("mmproj-model.gguf", 4096));
    auto* overlay = new ModelPickerOverlay(models, all, models[0].id, 0, {}, {}, &window);
    showAndSettle(*overlay);
    QList<bool> tagged;
    for (CvnButton* pill : overlay->pills())
        tagged.append(!static_cast<ModelPickerPill*>(pill)->tagRect().isEmpty());
    EXPECT_EQ(tagged, (QList<bool>{true, false, false}));
    // The tag sits inside the pill, clear of its rounded end.
    auto* pill = static_cast<ModelPickerPill*>(overlay->pills()[0]);
    EXPECT_TRUE(QRectF(pill->rect()).adjusted(pill->height() / 2.0 - 12, 0, -8, 0).contains(pill->tagRect()));
    const QImage image = test::renderOver(*pill, Qt::white);
    const QPoint tagEdge = pill->tagRect().toRect().center() - QPoint(int(pill->tagRect().width() / 2) - 1, 0);
    EXPECT_FALSE(test::pixelNear(image, tagEdge.x(), tagEdge.y(), Theme::onCard(), 60));
}

TEST_F(OverlayTest, PickerCardStandsAboveTheInsetAndFillsColumnByColumn)
{
    for (const qreal inset : {0.0, 378.0}) {
        Picker p(3, -1, inset);
        EXPECT_EQ(p.card()->geometry(), QRect(int(306.5 + inset / 2), 411, 667, 340)) << inset;
    }
    using Row = ModelPickerOverlay::GridRow;
    const std::optional<int> none;
    const QList<std::pair<int, QList<Row>>> cases = {
        {0, {}}, {1, {{0, none}}}, {4, {{0, 2}, {1, 3}}}, {7, {{0, 4}, {1, 5}, {2, 6}, {3, none}}}};
    for (const auto& [n, rows] : cases)
        EXPECT_EQ(ModelPickerOverlay::gridRows(n), rows) << n;
    Picker one(1);
    EXPECT_EQ(one.overlay->pills()[0]->width(), 282);
    Picker five(5);
    const auto& pills = five.overlay->pills();
    EXPECT_TRUE(pills[3]->y() == pills[0]->y() && pills[3]->x() > pills[0]->x()) << "D stands beside A";
}

TEST_F(OverlayTest, CurrentPillIsFilledAndProbedOthersOutlined)
{
    // Six user-perceived characters in ten UTF-16 units: an accent and a flag.
    Picker p(2, 1, 0, {QStringLiteral("Other"), QStringLiteral("Cafe\u0301 \U0001F1EB\U0001F1F7")});
    CvnButton* current = p.overlay->pills()[1];
    EXPECT_EQ(current->style(), CvnButton::Style::SelectedPill);
    EXPECT_EQ(p.overlay->pills()[0]->style(), CvnButton::Style::OutlinePill);
    EXPECT_TRUE(pixelNear(renderOver(*current, Qt::transparent), 20, 4, kWhite));
    EXPECT_TRUE(LayoutProbe::snapshot().filter(QStringLiteral("picker pill (current):")).join(QString()).endsWith(
        QStringLiteral("(6 chars)")));
    EXPECT_TRUE(p.overlay->pills()[0]->findChildren<LayoutProbe*>().isEmpty());
    for (const int id : {-1, 2}) { // none, or one of no model
        Picker other(2, id);
        for (CvnButton* pill : other.overlay->pills())
            EXPECT_TRUE(pill->style() == CvnButton::Style::OutlinePill && pill->findChildren<LayoutProbe*>().isEmpty());
    }
}

TEST_F(OverlayTest, PickerClicksPickDismissOrDoNothing)
{
    Picker p(3, 1);
    QTest::mouseClick(p.overlay->pills()[1], Qt::LeftButton, {}, QPoint(141, 19));
    ASSERT_EQ(p.picks, QList<QUuid>{p.list[1].id}) << "the current pill still picks";
    // The title, the card's margin and the empty list area below the pills.
    for (const QPoint at : {QPoint(60, 50), QPoint(10, 170), QPoint(300, 290), QPoint(330, 120)})
        clickAt(p.card(), at);
    EXPECT_EQ(p.picks.size(), 1);
    EXPECT_EQ(p.dismissals, 0);
    QTest::mouseClick(p.overlay, Qt::LeftButton, {}, QPoint(640, 200));
    QTest::keyClick(p.overlay, Qt::Key_Escape);
    EXPECT_EQ(p.dismissals, 2);
}

TEST_F(OverlayTest, NoModelsSayItAndManyScrollInsideAFixedCard)
{
    Picker none(0);
    EXPECT_TRUE(none.overlay->pills().isEmpty());
    auto* empty = none.card()->findChild<DialogText*>(QStringLiteral("cvn.picker.empty"));
    ASSERT_TRUE(empty && empty->isVisible());
    EXPECT_EQ(empty->text(), QStringLiteral("No models installed"));

    Picker p(30);
    EXPECT_EQ(p.card()->height(), 340);
    EXPECT_GT(p.overlay->list()->verticalScrollBar()->maximum(), 0);
    EXPECT_LE(p.overlay->list()->geometry().bottom(), 340 - 33);
}

TEST_F(OverlayTest, AttachSheetReportsItsChoiceAndIgnoresTheCard)
{
    Attach a;
    QTest::mouseClick(a.sheet->fileButton(), Qt::LeftButton);
    QTest::mouseClick(a.sheet->imageButton(), Qt::LeftButton);
    EXPECT_EQ(a.choices, (QList<bool>{true, false}));

    QWidget* card = a.sheet->card();
    const int between = (a.sheet->fileButton()->geometry().bottom() + a.sheet->imageButton()->y()) / 2;
    for (const QPoint at : {QPoint(40, 34), QPoint(5, card->height() / 2), QPoint(100, between), QPoint(500, 60)})
        clickAt(card, at);
    EXPECT_EQ(a.choices.size(), 2);
    EXPECT_EQ(a.dismissals, 0);
    QTest::mouseClick(a.sheet, Qt::LeftButton, {}, QPoint(640, 100));
    QTest::keyClick(a.sheet, Qt::Key_Escape);
    EXPECT_EQ(a.dismissals, 2);
    EXPECT_EQ(card->geometry().bottom() + 1, 800 - 49);
}

TEST_F(OverlayTest, AttachCardKeepsItsWidthAndInvertsInDark)
{
    for (const auto& [width, appearance] : {std::pair{900, Appearance::Light}, {1600, Appearance::Dark}}) {
        Theme::setAppearance(appearance);
        Attach a(width);
        EXPECT_EQ(a.sheet->card()->width(), 667) << width;
        auto* caption = static_cast<OneLineText*>(a.sheet->card()->findChild<QWidget*>("cvn.attach.caption"));
        const bool dark = appearance == Appearance::Dark;
        EXPECT_EQ(caption->color()(), dark ? QColor(0x6E, 0x6E, 0x6F) : QColor(0xB0, 0xB0, 0xB0));
        const QPoint inside = a.sheet->card()->geometry().topLeft() + QPoint(400, 10);
        EXPECT_TRUE(pixelNear(a.window.grab().toImage(), inside.x(), inside.y(), dark ? kWhite : kInk));
    }
}

TEST_F(OverlayTest, CopyProgressFigures)
{
    const struct { CopyProgress progress; const char *percent, *rate, *bytes; double bar; } cases[] = {
        {{0, 1048576, 0.0}, "0%", "0 MB/s", "0 B / 1 MB", 0},
        {{3, 8, 123.45}, "37.5%", "123.4 MB/s", "3 B / 8 B", 37.5},
        {{8, 8, 80}, "100%", "80 MB/s", "8 B / 8 B", 100},
        {{12, 8, 80}, "150%", "80 MB/s", "12 B / 8 B", 100},
        {{5, 0, 1}, "0%", "1 MB/s", "5 B / 0 B", 0},
        {{1023, 1024, 1}, "99.9%", "1 MB/s", "1023 B / 1 KB", 1023 * 100.0 / 1024},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CopyProgressOverlay::percentText(c.progress), QString::fromUtf8(c.percent)) << c.percent;
        EXPECT_EQ(CopyProgressOverlay::rateText(c.progress), QString::fromUtf8(c.rate)) << c.rate;
        EXPECT_EQ(CopyProgressOverlay::bytesText(c.progress), QString::fromUtf8(c.bytes)) << c.bytes;
        EXPECT_DOUBLE_EQ(CopyProgressOverlay::barPercent(c.progress), c.bar) << c.percent;
    }
}

TEST_F(OverlayTest, CopyProgressCardGeometryColoursAndCancel)
{
    for (const Appearance appearance : {Appearance::Light, Appearance::Dark}) {
        Theme::setAppearance(appearance);
        QWidget host;
        host.resize(800, 600);
        int cancels = 0;
        auto* overlay = new CopyProgressOverlay({3, 8, 1}, [&] { ++cancels; }, &host);
        showAndSettle(host);
        QWidget* card = overlay->cardWidget();
        EXPECT_EQ(card->width(), 368);
        EXPECT_EQ(card->geometry().center().x(), 400 - 1);
        EXPECT_EQ(overlay->barRect(), QRectF(29, overlay->barRect().top(), 310, 4));
        EXPECT_NEAR(overlay->fillRect().width(), 116, 1);
        const QRect cancel = overlay->cancelButton()->geometry();
        EXPECT_EQ(cancel.right() + 1, 368 - 29) << "CANCEL at the trailing edge";
        EXPECT_EQ(card->height() - cancel.bottom() - 1, 26);

        const QImage image = renderOver(host, Theme::pageBackground());
        const bool dark = appearance == Appearance::Dark;
        const QColor page = dark ? kInk : kWhite;
        auto dimmed = [&](int channel) { return channel * (255 - 176) / 255; };
        EXPECT_TRUE(pixelNear(image, 5, 5, QColor(dimmed(page.red()), dimmed(page.green()), dimmed(page.blue()))));
        const QPoint origin = card->geometry().topLeft();
        const QColor ink = dark ? kWhite : kInk;
        EXPECT_TRUE(pixelNear(image, origin.x() + 14, origin.y() + 40, ink));
        const QPointF fill = overlay->fillRect().center() + origin;
        EXPECT_TRUE(pixelNear(image, int(fill.x()), int(fill.y()), dark ? kInk : kWhite));
        const QPointF track = QPointF(overlay->barRect().right() - 10, overlay->barRect().center().y()) + origin;
        EXPECT_TRUE(pixelNear(image, int(track.x()), int(track.y()), QColor(148, 148, 148)));

        QTest::keyClick(overlay, Qt::Key_Escape);
        QTest::mouseClick(overlay, Qt::LeftButton, {}, QPoint(5, 5));
        EXPECT_EQ(cancels, 0) << "the backdrop and Escape do nothing";
        QTest::mouseClick(overlay->cancelButton(), Qt::LeftButton);
        EXPECT_EQ(cancels, 1);
        EXPECT_TRUE(overlay->isVisible()) << "the host removes it";
    }
}

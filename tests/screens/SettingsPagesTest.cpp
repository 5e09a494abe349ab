#include "platform/AppSettings.h"
#include "screens/AppearancePage.h"
#include "screens/SettingsPage.h"
#include "ui_kit/CvnDialogCard.h"
#include "ui_kit/KitTest.h"

#include <QTest>

using namespace cvn;
using namespace cvn::test;

namespace {

const QString kMode = QString::fromLatin1(AppSettings::appearanceMode);

class SettingsPagesTest : public KitTest {
protected:
    void SetUp() override
    {
        KitTest::SetUp();
        AppSettings::remove(kMode);
    }
    void TearDown() override
    {
        AppSettings::remove(kMode);
        Theme::setAppearanceMode(AppearanceMode::System);
        KitTest::TearDown();
    }
};

struct Settings {
    Settings()
    {
        page = std::make_unique<SettingsPage>([this] { ran.append("close"); }, [this] { ran.append("appearance"); },
                                              [this] { ran.append("models"); }, [this] { ran.append("hardware"); },
                                              [this](const QUrl& url) { opened.append(url); });
        page->resize(800, 700);
        showAndSettle(*page);
    }
    template <typename T>
    T* named(const char* name) const
    {
        return page->findChild<T*>(QString::fromLatin1(name));
    }
    std::unique_ptr<SettingsPage> page;
    QStringList ran;
    QList<QUrl> opened;
};

QWidget* linkLabelled(QWidget* page, const QString& label)
{
    for (QAbstractButton* button : page->findChildren<QAbstractButton*>())
        if (button->text() == label)
            return button;
    return nullptr;
}

} // namespace

TEST_F(SettingsPagesTest, CardsAreFortySevenPerRowLessTwo)
{
    EXPECT_EQ(SettingsKit::cardHeight(3), 139);
    EXPECT_EQ(SettingsKit::cardHeight(2), 92);
    Settings s;
    EXPECT_EQ(s.page->generalCard()->height(), 139);
    AppearancePage appearance({});
    appearance.resize(800, 600);
    showAndSettle(appearance);
    EXPECT_EQ(appearance.themeCard()->height(), 92);
}

TEST_F(SettingsPagesTest, BackControlsShowOnlyTheArrowWithTheirLabelAsTooltip)
{
    Settings s;
    AppearancePage appearance({});
    for (auto [back, label] : {std::pair{s.page->frame()->backButton(), "Close"},
                               std::pair{appearance.frame()->backButton(), "Back"}}) {
        EXPECT_EQ(back->pos(), QPoint(39, 53));
        EXPECT_EQ(back->toolTip(), QLatin1String(label));
        EXPECT_EQ(back->accessibleName(), QLatin1String(label));
        EXPECT_TRUE(back->text().isEmpty());
    }
    QTest::mouseClick(s.page->frame()->backButton(), Qt::LeftButton);
    EXPECT_EQ(s.ran, QStringList{"close"});
}

TEST_F(SettingsPagesTest, RowsRunTheirOwnActionsAndLinksOpenTheirPaths)
{
    Settings s;
    const auto rows = s.page->generalCard()->findChildren<CardRowButton*>();
    ASSERT_EQ(rows.size(), 3);
    for (CardRowButton* row : rows)
        QTest::mouseClick(row, Qt::LeftButton);
    EXPECT_EQ(s.ran, (QStringList{"appearance", "models", "hardware"}));

    // The capsule and the separators are no buttons.
    QTest::mouseClick(s.named<QWidget>("cvn.settings.version"), Qt::LeftButton);
    QWidget* links = s.named<QWidget>("cvn.settings.links");
    for (QWidget* child : links->findChildren<QWidget*>())
        if (!qobject_cast<QAbstractButton*>(child))
            QTest::mouseClick(child, Qt::LeftButton);
    EXPECT_EQ(s.ran.size(), 3);
    EXPECT_TRUE(s.opened.isEmpty());

    QWidget* licences = linkLabelled(links, QStringLiteral("Licences"));
    ASSERT_TRUE(licences);
    QTest::mouseClick(licences, Qt::LeftButton, {}, QPoint(1, 1)); // the padding takes clicks too
    ASSERT_EQ(s.opened.size(), 1);
    EXPECT_EQ(s.opened[0].path(), QStringLiteral("/licenses/"));
    EXPECT_EQ(s.opened[0].scheme(), QStringLiteral("https"));
    EXPECT_EQ(s.named<OneLineText>("cvn.settings.versionText")->text(), QStringLiteral("1.0.0"));
}

TEST_F(SettingsPagesTest, RowHighlightsOnlyWhileHeldAndElidesLongTitles)
{
    SettingsCard card;
    auto* row = new CardRowButton(QString(60, QLatin1Char('W')), CardRowButton::Trailing::Chevron, {});
    card.addRow(row);
    card.resize(300, 45);
    showAndSettle(card);
    EXPECT_EQ(row->width(), 300) << "a long title does not widen the row";
    const QColor ink = kInk;
    const QColor held(qRound(ink.red() + 0.08 * (255 - ink.red())), qRound(ink.green() + 0.08 * (255 - ink.green())),
                      qRound(ink.blue() + 0.08 * (255 - ink.blue())));
    QTest::mousePress(row, Qt::LeftButton, {}, QPoint(150, 22));
    EXPECT_TRUE(pixelNear(renderOver(card, Qt::transparent), 150, 2, held));
    QTest::mouseRelease(row, Qt::LeftButton, {}, QPoint(150, 22));
    const QImage released = renderOver(card, Qt::transparent);
    EXPECT_TRUE(pixelNear(released, 150, 2, ink));
    // Between the elided title and the chevron nothing is drawn.
    for (int x = 300 - 22 - 10 - 9; x < 300 - 22 - 10; ++x)
        for (int y = 0; y < 45; ++y)
            ASSERT_TRUE(pixelNear(released, x, y, ink)) << x << "," << y;

    PageTitle title(QStringLiteral("A PAGE TITLE FAR TOO LONG FOR ONE LINE"));
    title.resize(300, title.heightForWidth(300));
    showAndSettle(title);
    EXPECT_GT(title.textView()->lineCount(), 1);
}

TEST_F(SettingsPagesTest, AppearanceSwitchRecoloursCardsAndText)
{
    Settings s;
    QWidget* card = s.page->generalCard();
    const QPoint middle = card->mapTo(s.page.get(), QPoint(card->width() / 2, 1));
    EXPECT_TRUE(pixelNear(s.page->grab().toImage(), middle.x(), middle.y(), kInk));
    Theme::setAppearance(Appearance::Dark);
    const QImage dark = s.page->grab().toImage();
    EXPECT_TRUE(pixelNear(dark, middle.x(), middle.y(), kWhite));
    EXPECT_TRUE(pixelNear(dark, 2, 2, kInk));

    // A row title of one full block shows its colour in its middle.
    SettingsCard rowCard;
    rowCard.addRow(new CardRowButton(QStringLiteral("\u2588"), CardRowButton::Trailing::None, {}));
    rowCard.resize(200, 45);
    showAndSettle(rowCard);
    const QPoint glyph(22 + QFontMetrics(Theme::interMedium13()).horizontalAdvance(QChar(0x2588)) / 2, 22);
    for (const auto& [appearance, text] : {std::pair{Appearance::Light, kWhite}, std::pair{Appearance::Dark, kInk}}) {
        Theme::setAppearance(appearance);
        EXPECT_TRUE(pixelNear(rowCard.grab().toImage(), glyph.x(), glyph.y(), text));
    }
}

TEST_F(SettingsPagesTest, AppearanceRowsStoreApplyAndMarkExactMatches)
{
    AppearancePage page({});
    page.resize(800, 600);
    showAndSettle(page);
    const auto marked = [&] {
        return QList<bool>{page.lightRow()->trailing() == CardRowButton::Trailing::CheckMark,
                           page.darkRow()->trailing() == CardRowButton::Trailing::CheckMark};
    };
    EXPECT_EQ(marked(), (QList<bool>{false, false}));

    QTest::mouseClick(page.darkRow(), Qt::LeftButton);
    EXPECT_EQ(AppSettings::value(kMode).toString(), QStringLiteral("dark"));
    EXPECT_EQ(marked(), (QList<bool>{false, true}));
    const QImage once = page.grab().toImage();
    EXPECT_TRUE(pixelNear(once, 2, 2, kInk)) << "the page turns dark at once";
    QTest::mouseClick(page.darkRow(), Qt::LeftButton);
    EXPECT_EQ(page.grab().toImage(), once);

    AppSettings::setValue(kMode, QStringLiteral("Dark"));
    applyAppearance();
    EXPECT_EQ(marked(), (QList<bool>{false, false}));
    EXPECT_EQ(Theme::appearanceMode(), AppearanceMode::System);
}

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

// The pages shown, with nothing stored for the appearance.
struct SettingsPagesTest : KitTest {
    void SetUp() override
    {
        KitTest::SetUp();
        AppSettings::remove(kMode);
        page = std::make_unique<SettingsPage>([this] { ran.append("close"); }, [this] { ran.append("appearance"); },
                                              [this] { ran.append("models"); }, [this] { ran.append("hardware"); },
                                              [this](const QUrl& url) { opened.append(url); });
        page->resize(800, 700);
        showAndSettle(*page);
        appearance.resize(800, 600);
        showAndSettle(appearance);
    }
    void TearDown() override
    {
        AppSettings::remove(kMode);
        Theme::setAppearanceMode(AppearanceMode::System);
        KitTest::TearDown();
    }
    std::unique_ptr<SettingsPage> page;
    AppearancePage appearance{{}};
    QStringList ran;
    QList<QUrl> opened;
};

} // namespace

TEST_F(SettingsPagesTest, CardsBackControlsRowsAndLinks)
{
    EXPECT_EQ(page->generalCard()->height(), 139);
    EXPECT_EQ(appearance.themeCard()->height(), 92);
    for (auto [back, label] : {std::pair{page->frame()->backButton(), "Close"},
                               std::pair{appearance.frame()->backButton(), "Back"}}) {
        EXPECT_EQ(back->pos(), QPoint(39, 53));
        EXPECT_EQ(back->toolTip(), QLatin1String(label));
        EXPECT_EQ(back->accessibleName(), QLatin1String(label));
        EXPECT_TRUE(back->text().isEmpty());
    }
    QTest::mouseClick(page->frame()->backButton(), Qt::LeftButton);
    for (CardRowButton* row : page->generalCard()->findChildren<CardRowButton*>())
        QTest::mouseClick(row, Qt::LeftButton);
    EXPECT_EQ(ran, (QStringList{"close", "appearance", "models", "hardware"}));

    // The capsule and the separators are no buttons.
    QTest::mouseClick(page->findChild<QWidget*>("cvn.settings.version"), Qt::LeftButton);
    QWidget* links = page->findChild<QWidget*>("cvn.settings.links");
    QAbstractButton* licences = nullptr;
    for (QWidget* child : links->findChildren<QWidget*>()) {
        if (auto* button = qobject_cast<QAbstractButton*>(child))
            licences = button->text() == QStringLiteral("Licences") ? button : licences;
        else
            QTest::mouseClick(child, Qt::LeftButton);
    }
    EXPECT_EQ(ran.size(), 4);
    EXPECT_TRUE(opened.isEmpty());
    ASSERT_TRUE(licences);
    QTest::mouseClick(licences, Qt::LeftButton, {}, QPoint(1, 1)); // the padding takes clicks too
    ASSERT_EQ(opened.size(), 1);
    EXPECT_EQ(opened[0].scheme() + opened[0].path(), QStringLiteral("https/licenses/"));
    EXPECT_EQ(page->findChild<OneLineText*>("cvn.settings.versionText")->text(), QStringLiteral("1.0.0"));
}

TEST_F(SettingsPagesTest, RowHighlightsOnlyWhileHeldAndElidesLongTitles)
{
    SettingsCard card;
    auto* row = new CardRowButton(QString(60, QLatin1Char('W')), CardRowButton::Trailing::Chevron, {});
    card.addRow(row);
    card.resize(300, 45);
    showAndSettle(card);
    EXPECT_EQ(row->width(), 300) << "a long title does not widen the row";
    const QColor held(qRound(0x29 + 0.08 * (255 - 0x29)), qRound(0x29 + 0.08 * (255 - 0x29)),
                      qRound(0x2A + 0.08 * (255 - 0x2A)));
    QTest::mousePress(row, Qt::LeftButton, {}, QPoint(150, 22));
    EXPECT_TRUE(pixelNear(renderOver(card, Qt::transparent), 150, 2, held));
    QTest::mouseRelease(row, Qt::LeftButton, {}, QPoint(150, 22));
    const QImage released = renderOver(card, Qt::transparent);
    // Between the elided title and the chevron nothing is drawn.
    for (int x = 300 - 22 - 10 - 9; x < 300 - 22 - 10; ++x)
        for (int y = 0; y < 45; ++y)
            ASSERT_TRUE(pixelNear(released, x, y, kInk)) << x << "," << y;

    PageTitle title(QStringLiteral("A PAGE TITLE FAR TOO LONG FOR ONE LINE"));
    title.resize(300, title.heightForWidth(300));
    showAndSettle(title);
    EXPECT_GT(title.textView()->lineCount(), 1);
}

TEST_F(SettingsPagesTest, AppearanceSwitchRecoloursCardsAndText)
{
    QWidget* card = page->generalCard();
    const QPoint middle = card->mapTo(page.get(), QPoint(card->width() / 2, 1));
    // A row title of one full block shows its colour in its middle.
    SettingsCard rowCard;
    rowCard.addRow(new CardRowButton(QStringLiteral("\u2588"), CardRowButton::Trailing::None, {}));
    rowCard.resize(200, 45);
    showAndSettle(rowCard);
    const QPoint glyph(22 + QFontMetrics(Theme::interMedium13()).horizontalAdvance(QChar(0x2588)) / 2, 22);
    for (const auto& [mode, ink, paper] :
         {std::tuple{Appearance::Light, kInk, kWhite}, std::tuple{Appearance::Dark, kWhite, kInk}}) {
        Theme::setAppearance(mode);
        const QImage image = page->grab().toImage();
        EXPECT_TRUE(pixelNear(image, middle.x(), middle.y(), ink));
        EXPECT_TRUE(pixelNear(image, 2, 2, paper));
        EXPECT_TRUE(pixelNear(rowCard.grab().toImage(), glyph.x(), glyph.y(), paper));
    }
}

TEST_F(SettingsPagesTest, AppearanceRowsStoreApplyAndMarkExactMatches)
{
    const auto marked = [&] {
        return QList<bool>{appearance.lightRow()->trailing() == CardRowButton::Trailing::CheckMark,
                           appearance.darkRow()->trailing() == CardRowButton::Trailing::CheckMark};
    };
    EXPECT_EQ(marked(), (QList<bool>{false, false}));
    QTest::mouseClick(appearance.darkRow(), Qt::LeftButton);
    EXPECT_EQ(AppSettings::value(kMode).toString(), QStringLiteral("dark"));
    EXPECT_EQ(marked(), (QList<bool>{false, true}));
    const QImage once = appearance.grab().toImage();
    EXPECT_TRUE(pixelNear(once, 2, 2, kInk)) << "the page turns dark at once";
    QTest::mouseClick(appearance.darkRow(), Qt::LeftButton);
    EXPECT_EQ(appearance.grab().toImage(), once);

    AppSettings::setValue(kMode, QStringLiteral("Dark"));
    applyAppearance();
    EXPECT_EQ(marked(), (QList<bool>{false, false}));
    EXPECT_EQ(Theme::appearanceMode(), AppearanceMode::System);
}

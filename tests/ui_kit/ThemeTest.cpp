#include "KitTest.h"

#include "ui_kit/CvnButton.h"
#include "ui_kit/Theme.h"

#include <QFontInfo>
#include <QGlyphRun>
#include <QPainter>
#include <QRawFont>
#include <QTextLayout>
#include <QSignalSpy>

using namespace cvn;
using cvn::test::KitTest;

namespace {

QColor over(const QColor& top, const QColor& bottom)
{
    QImage image(1, 1, QImage::Format_ARGB32_Premultiplied);
    image.fill(bottom);
    QPainter p(&image);
    p.fillRect(image.rect(), top);
    p.end();
    return QColor::fromRgba(image.pixel(0, 0));
}

} // namespace

using ThemeTest = KitTest;

TEST_F(ThemeTest, RolesResolveToTheirLightAndDarkValues)
{
    const Appearance L = Appearance::Light;
    const Appearance D = Appearance::Dark;
    EXPECT_EQ(Theme::text(L), QColor(0x29, 0x29, 0x2A));
    EXPECT_EQ(Theme::text(D), QColor(0xFF, 0xFF, 0xFF));
    EXPECT_EQ(Theme::card(L), QColor(0x29, 0x29, 0x2A));
    EXPECT_EQ(Theme::card(D), QColor(0xFF, 0xFF, 0xFF));
    EXPECT_EQ(Theme::onCardSecondary(L), QColor(0xB0, 0xB0, 0xB0));
    EXPECT_EQ(Theme::onCardSecondary(D), QColor(0x6E, 0x6E, 0x6F));
    EXPECT_EQ(Theme::muted(L), QColor(148, 148, 148));
    EXPECT_EQ(Theme::muted(D), QColor(148, 148, 148));
    EXPECT_EQ(Theme::destructive(L), QColor(211, 56, 66));
    EXPECT_EQ(Theme::destructive(D), QColor(211, 56, 66));
    EXPECT_EQ(Theme::onDestructive(D), QColor(Qt::white));
    EXPECT_EQ(Theme::statusGreen(D), QColor(0x1E, 0x6B, 0x23));

    // The other screens' names are the same roles, including the one pair
    // that reads the wrong way round at first sight.
    EXPECT_EQ(Theme::warningAmber(L), QColor(0xE0, 0xA0, 0x30));
    EXPECT_EQ(Theme::cautionAmber(L), QColor(0x8A, 0x58, 0x04));
    EXPECT_EQ(Theme::paper(D), Theme::pageBackground(D));
    EXPECT_EQ(Theme::mutedOnInk(L), Theme::onCardSecondary(L));
    EXPECT_EQ(Theme::dangerOnInk(D), QColor(0xB3, 0x20, 0x2B));
    EXPECT_EQ(&Theme::composerInk, &Theme::composerInkNSColor);
    EXPECT_EQ(Theme::mutedOnPaper(L), QColor(0x6E, 0x6E, 0x6F));
    EXPECT_EQ(Theme::mutedOnPaper(D), QColor(0xB0, 0xB0, 0xB0));
    EXPECT_EQ(Theme::amberOnInk(L), QColor(0xE0, 0xA0, 0x30));
    EXPECT_EQ(Theme::amberOnInk(D), QColor(0x8A, 0x58, 0x04));
    EXPECT_EQ(Theme::goodOnInk(L), QColor(0x7F, 0xD1, 0x84));
    EXPECT_EQ(Theme::goodOnInk(D), QColor(0x1E, 0x6B, 0x23));
    const QColor dim = Theme::overlayDim(D);
    EXPECT_EQ(dim.rgb(), Theme::overlayDim(L).rgb());
    EXPECT_EQ(dim, QColor::fromRgbF(41 / 255.0f, 41 / 255.0f, 42 / 255.0f, 0.85f));

    // Exact 8-bit components, not rounded through floats.
    const QColor ink = Theme::text(L);
    EXPECT_EQ(ink.red(), 41);
    EXPECT_EQ(ink.blue(), 42);
    EXPECT_FLOAT_EQ(ink.redF(), 41.0f / 255.0f);
    EXPECT_FLOAT_EQ(ink.greenF(), 41.0f / 255.0f);
    EXPECT_FLOAT_EQ(ink.blueF(), 42.0f / 255.0f);

    // Anything that is not Dark draws light.
    const auto unknown = static_cast<Appearance>(7);
    EXPECT_EQ(Theme::pageBackground(unknown), Theme::pageBackground(L));
    EXPECT_EQ(Theme::danger(unknown), QColor(0xB3, 0x20, 0x2B));
}

TEST_F(ThemeTest, AlphasHoldInBothAppearancesAndBlendAsExpected)
{
    for (const Appearance a : {Appearance::Light, Appearance::Dark}) {
        EXPECT_NEAR(Theme::ink10(a).alphaF(), 0.1, 1e-4);
        EXPECT_NEAR(Theme::onCard70(a).alphaF(), 0.7, 1e-4);
        EXPECT_NEAR(Theme::scrim(a).alphaF(), 0.85, 1e-4);
        EXPECT_EQ(Theme::text(a).alpha(), 255);
    }
    EXPECT_EQ(Theme::ink10(Appearance::Dark).rgb(), QColor(Qt::white).rgb());
    EXPECT_EQ(Theme::scrim(Appearance::Dark).rgb(), QColor(41, 41, 42).rgb());

    const QColor scrimOnWhite = over(Theme::scrim(Appearance::Light), Qt::white);
    EXPECT_NEAR(scrimOnWhite.red(), 73, 1);
    EXPECT_NEAR(scrimOnWhite.blue(), 74, 1);
    const QColor ink10OnWhite = over(Theme::ink10(Appearance::Light), Qt::white);
    EXPECT_NEAR(ink10OnWhite.red(), 233, 1);
    EXPECT_NEAR(ink10OnWhite.blue(), 233, 1);
}

TEST_F(ThemeTest, FontsAvailable)
{
    ASSERT_TRUE(Theme::fontsAvailable()) << "the Inter fonts (Debian package fonts-inter) are not installed";
    struct Case {
        QFont font;
        const char* style;
        int weight;
        int pixels;
    };
    const Case cases[] = {
        {Theme::interMedium16(), "Medium", 500, 16}, {Theme::interMedium13(), "Medium", 500, 13},
        {Theme::interRegular40(), "Regular", 400, 40}, {Theme::interRegular32(), "Regular", 400, 32},
        {Theme::interRegular16(), "Regular", 400, 16}, {Theme::interRegular13(), "Regular", 400, 13},
        {Theme::inter(500, 7), "Medium", 500, 7},       {Theme::inter(500, 12), "Medium", 500, 12},
    };
    for (const Case& c : cases) {
        const QFontInfo info(c.font);
        EXPECT_EQ(info.family(), QStringLiteral("Inter")) << c.pixels;
        EXPECT_EQ(info.styleName(), QLatin1String(c.style)) << c.pixels;
        EXPECT_EQ(info.weight(), c.weight) << c.pixels;
        EXPECT_EQ(info.pixelSize(), c.pixels);
    }
}

namespace {

QStringList textWarnings;

void keepTextWarning(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtWarningMsg)
        textWarnings.append(message);
}

} // namespace

// A reply may mix any scripts: each piece finds an installed font with its
// glyphs (no boxes), and shaping it says nothing on stderr once the
// program's filter of Qt's fallback notes is in place; other messages pass.
TEST_F(ThemeTest, TextInEveryScriptFindsAFont)
{
    const std::pair<const char*, QString> samples[] = {
        {"Latin", "Hello"},
        {"Cyrillic", QString::fromUtf8("Привет")},
        {"Greek", QString::fromUtf8("Γειά σου")},
        {"Armenian", QString::fromUtf8("Բարեւ")},
        {"Georgian", QString::fromUtf8("გამარჯობა")},
        {"Arabic", QString::fromUtf8("مرحبا بالعالم")},
        {"Hebrew", QString::fromUtf8("שלום עולם")},
        {"Devanagari", QString::fromUtf8("नमस्ते दुनिया")},
        {"Bengali", QString::fromUtf8("হ্যালো")},
        {"Tamil", QString::fromUtf8("வணக்கம்")},
        {"Thai", QString::fromUtf8("สวัสดีชาวโลก")},
        {"Ethiopic", QString::fromUtf8("ሰላም")},
        {"Han", QString::fromUtf8("你好，世界")},
        {"Kana", QString::fromUtf8("こんにちは、カタカナ")},
        {"Hangul", QString::fromUtf8("안녕하세요")},
    };
    QString text;
    QList<std::pair<qsizetype, qsizetype>> ranges;
    for (const auto& [name, sample] : samples) {
        ranges.append({text.size(), sample.size()});
        text += sample + QLatin1Char(' ');
    }

    textWarnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler(keepTextWarning);
    Theme::filterFontFallbackNotes();
    for (const QFont& font : {Theme::interRegular16(), Theme::monospace(13)}) {
        QTextLayout layout(text, font);
        layout.beginLayout();
        while (layout.createLine().isValid()) {
        }
        layout.endLayout();
        QImage image(int(layout.boundingRect().width()) + 1, int(layout.boundingRect().height()) + 1,
                     QImage::Format_ARGB32_Premultiplied);
        QPainter painter(&image);
        layout.draw(&painter, {});
        painter.end();

        for (qsizetype i = 0; i < ranges.size(); ++i) {
            const auto [from, length] = ranges[i];
            const QString piece = text.mid(from, length);
            const QList<QGlyphRun> runs = layout.glyphRuns(int(from), int(length));
            ASSERT_FALSE(runs.isEmpty()) << samples[i].first;
            for (const QGlyphRun& run : runs) {
                EXPECT_FALSE(run.glyphIndexes().contains(0u))
                    << samples[i].first << " drawn with boxes in " << run.rawFont().familyName().toStdString();
            }
            for (const QChar c : piece) {
                if (c.isSpace() || c.isMark() || c.category() == QChar::Other_Format)
                    continue;
                const bool found = std::any_of(runs.cbegin(), runs.cend(), [&](const QGlyphRun& run) {
                    return run.rawFont().supportsCharacter(c);
                });
                EXPECT_TRUE(found) << samples[i].first << ": no font for U+" << std::hex << unsigned(c.unicode());
            }
        }
    }
    EXPECT_TRUE(textWarnings.isEmpty()) << textWarnings.join('\n').toStdString();

    // Without any face for a script Qt names none: boxes, worth hearing.
    qWarning("  OpenType support missing for \"\", script 11");
    qWarning("OpenType support missing for \"Inter\", script 11 and more");
    qWarning("  OpenType support missing for \"Inter\", script 11");
    qInstallMessageHandler(previous);
    EXPECT_EQ(textWarnings.size(), 2) << textWarnings.join('\n').toStdString();
}

TEST_F(ThemeTest, SwitchingAppearanceNotifiesOnceAndRecoloursTheSameWidget)
{
    QSignalSpy spy(&ThemeNotifier::instance(), &ThemeNotifier::appearanceChanged);
    CvnButton pill(CvnButton::Style::CompactSurfacePill, QString());
    pill.resize(200, 30);
    cvn::test::showAndSettle(pill);
    EXPECT_TRUE(cvn::test::pixelNear(cvn::test::renderOver(pill, Qt::transparent), 100, 15, QColor(0x29, 0x29, 0x2A)));

    Theme::setAppearance(Appearance::Dark);
    Theme::setAppearance(Appearance::Dark); // no change, no signal
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy.at(0).at(0).value<Appearance>(), Appearance::Dark);
    EXPECT_EQ(Theme::appearanceMode(), AppearanceMode::Dark);
    EXPECT_EQ(Theme::text(), QColor(Qt::white));
    EXPECT_TRUE(cvn::test::pixelNear(cvn::test::renderOver(pill, Qt::transparent), 100, 15, QColor(Qt::white)));

    // The offscreen platform's palette is light, so "system" resolves light.
    Theme::setAppearanceMode(AppearanceMode::System);
    EXPECT_EQ(Theme::systemAppearance(), Appearance::Light);
    EXPECT_EQ(Theme::appearance(), Appearance::Light);
    EXPECT_EQ(spy.count(), 2);
}

TEST_F(ThemeTest, StandardChildrenGetTheirSurfacePaletteAgainAfterASwitch)
{
    QWidget child;
    Theme::keepPalette(&child, Theme::Surface::Card);
    EXPECT_EQ(child.palette().color(QPalette::Base), QColor(0x29, 0x29, 0x2A));
    EXPECT_EQ(child.palette().color(QPalette::Text), QColor(Qt::white));
    Theme::setAppearance(Appearance::Dark);
    EXPECT_EQ(child.palette().color(QPalette::Base), QColor(Qt::white));
    EXPECT_EQ(child.palette().color(QPalette::Text), QColor(0x29, 0x29, 0x2A));
}

#include "attachments/AttachmentStager.h"
#include "attachments/views/AttachmentLabels.h"
#include "attachments/views/AttachmentTile.h"
#include "attachments/views/StagedStrip.h"
#include "rendering/ViewTest.h"
#include "support/TempEnv.h"
#include "ui_kit/KitTest.h"

#include <QDir>
#include <QImage>
#include <QLabel>
#include <QScrollArea>
#include <QScrollBar>
#include <QtTest/QTest>

#include <gtest/gtest.h>

#include <clocale>

namespace cvn {
namespace {

using test::KitTest;

StagedAttachment staged(const QString& name, int64_t size, int64_t tokens, const QUrl& url = {}, bool image = false)
{
    StagedAttachment item;
    item.id = QUuid::createUuid();
    item.url = url.isEmpty() ? QUrl::fromLocalFile(QStringLiteral("/nowhere/") + name) : url;
    item.originalFilename = name;
    item.isImage = image;
    item.sizeBytes = size;
    item.extracted = true;
    item.approxTokens = tokens;
    return item;
}

bool sameColor(DynamicColor a, DynamicColor b)
{
    return a(Appearance::Light) == b(Appearance::Light) && a(Appearance::Dark) == b(Appearance::Dark);
}

class AttachmentViewsTest : public KitTest {};

TEST_F(AttachmentViewsTest, StripHeightsReserveStatusAndFiles)
{
    EXPECT_EQ(stripHeight(false, false), 0);
    EXPECT_EQ(stripHeight(true, false), 24);
    EXPECT_EQ(stripHeight(true, true), 139);
    EXPECT_EQ(stripHeight(false, true), 115);
    AttachmentStager stager;
    EXPECT_EQ(StagedStrip::stripHeight(stager), 0);
    stager.setStaged({staged(QStringLiteral("a.txt"), 10, 3)});
    EXPECT_EQ(StagedStrip::stripHeight(stager), 115);
}

TEST_F(AttachmentViewsTest, SizeLabelsIgnoreTheLocale)
{
    // Qt takes LC_ALL from the environment; a comma locale must not leak in.
    const std::string before = std::setlocale(LC_ALL, nullptr);
    for (const char* locale : {"de_DE.UTF-8", "fr_FR.UTF-8", "C.UTF-8"})
        if (std::setlocale(LC_ALL, locale))
            break;
    const struct {
        int64_t bytes;
        const char* label;
    } cases[] = {{0, ""},           {-5, ""},          {1, "1 B"},           {1024, "1024 B"},
                 {1025, "1 KB"},    {1536, "2 KB"},    {2560, "2 KB"},       {1048576, "1024 KB"},
                 {1048577, "1.0 MB"}, {52428800, "50.0 MB"}, {1572864, "1.5 MB"}};
    for (const auto& c : cases)
        EXPECT_EQ(sizeLabel(c.bytes), QString::fromUtf8(c.label)) << c.bytes;
    std::setlocale(LC_ALL, before.c_str());
}

TEST_F(AttachmentViewsTest, ChipLabelsShowShareAndWarnings)
{
    const QString dot = QStringLiteral("  \u00B7  ");
    EXPECT_EQ(chipLabel(staged(QStringLiteral("r.pdf"), 2048, 6000), 10000),
              QStringLiteral("r.pdf") + dot + QStringLiteral("2 KB") + dot
                  + QStringLiteral("~6,000 tokens (60% of context)  \u26A0 Model may forget earlier messages"));
    EXPECT_EQ(chipLabel(staged(QStringLiteral("r.pdf"), 2048, 9001), 10000),
              QStringLiteral("r.pdf") + dot + QStringLiteral("2 KB") + dot
                  + QStringLiteral("~9,001 tokens (90% of context)  \u26A0 Exceeds context \u2014 some content will be "
                                   "truncated"));
    EXPECT_EQ(chipLabel(staged(QStringLiteral("r.pdf"), 2048, 9000), 10000),
              QStringLiteral("r.pdf") + dot + QStringLiteral("2 KB") + dot
                  + QStringLiteral("~9,000 tokens (90% of context)  \u26A0 Model may forget earlier messages"));
    EXPECT_EQ(chipLabel(staged(QStringLiteral("r.pdf"), 2048, 5000), 10000),
              QStringLiteral("r.pdf") + dot + QStringLiteral("2 KB") + dot + QStringLiteral("~5,000 tokens (50% of context)"));
    // The chip truncates its share: 6,999 of 10,000 is 69, not 70.
    EXPECT_TRUE(chipLabel(staged(QStringLiteral("a"), 1, 6999), 10000).contains(QStringLiteral("(69% of context)")));
    EXPECT_EQ(chipLabel(staged(QStringLiteral("x.txt"), 0, 0), 0),
              QStringLiteral("x.txt") + dot + dot + QStringLiteral("~0 tokens"));
}

TEST_F(AttachmentViewsTest, HeaderTextRoundsAndColoursByShare)
{
    EXPECT_EQ(stripHeaderText(6999, 10000), QStringLiteral("Attachments: \u22486,999 tokens (70% of context)"));
    EXPECT_EQ(stripHeaderText(5, 0), QStringLiteral("Attachments: \u22485 tokens (0% of context)"));
    EXPECT_EQ(stripHeaderText(1234567, 1000), QStringLiteral("Attachments: \u22481,234,567 tokens (123457% of context)"));
    EXPECT_EQ(stripHeaderText(5, 1000), QStringLiteral("Attachments: \u22485 tokens (1% of context)")); // 0.5 up
    EXPECT_TRUE(sameColor(stripHeaderColor(6999, 10000), Theme::neutralGrey));
    EXPECT_TRUE(sameColor(stripHeaderColor(7000, 10000), Theme::cautionAmber));
    EXPECT_TRUE(sameColor(stripHeaderColor(8999, 10000), Theme::cautionAmber));
    EXPECT_TRUE(sameColor(stripHeaderColor(9000, 10000), Theme::alertRed));
    EXPECT_TRUE(sameColor(stripHeaderColor(50000, 0), Theme::neutralGrey));
}

TEST_F(AttachmentViewsTest, LevelColoursAndTypeLabels)
{
    EXPECT_TRUE(sameColor(levelColor(9000, 10000), chipWarningAmber));
    EXPECT_TRUE(sameColor(levelColor(9001, 10000), chipWarningRed));
    EXPECT_TRUE(sameColor(levelColor(5000, 10000), Theme::neutralGrey));
    EXPECT_TRUE(sameColor(levelColor(5001, 10000), chipWarningAmber));
    EXPECT_TRUE(sameColor(levelColor(99999, 0), Theme::neutralGrey));
    EXPECT_FALSE(showsWarning(5000, 10000));
    EXPECT_TRUE(showsWarning(5001, 10000));
    EXPECT_FALSE(showsWarning(99999, 0));

    EXPECT_EQ(attachmentTypeLabel(QStringLiteral("notes")), QStringLiteral("FILE"));
    EXPECT_EQ(attachmentTypeLabel(QStringLiteral("report.Pdf")), QStringLiteral("PDF"));
    EXPECT_EQ(attachmentTypeLabel(QStringLiteral("a.tar.gz")), QStringLiteral("GZ"));
    EXPECT_EQ(attachmentTypeLabel(QStringLiteral(".bashrc")), QStringLiteral("FILE"));
    EXPECT_EQ(attachmentTypeLabel(QStringLiteral("notes.")), QStringLiteral("FILE"));
}

TEST_F(AttachmentViewsTest, SentRowScrollsOnlyBeyondSixTiles)
{
    QList<SentAttachments::File> files;
    for (int i = 0; i < 6; ++i)
        files.append({QStringLiteral("same.md")}); // duplicate names stay separate tiles
    SentAttachmentRow six(files);
    EXPECT_EQ(six.contentWidth(), 482);
    EXPECT_EQ(six.scrollArea(), nullptr);
    EXPECT_EQ(six.sizeHint(), QSize(482, 72 + 6));
    ASSERT_EQ(six.tiles().size(), 6);
    EXPECT_EQ(six.tiles()[5]->x(), 5 * 82);
    EXPECT_EQ(six.tiles()[0]->toolTip(), QStringLiteral("same.md"));
    EXPECT_EQ(six.tiles()[0]->typeLabel(), QStringLiteral("MD"));
    EXPECT_FALSE(six.tiles()[0]->showsImage());

    files.append({QStringLiteral("notes")});
    SentAttachmentRow seven(files);
    EXPECT_EQ(seven.contentWidth(), 564);
    ASSERT_NE(seven.scrollArea(), nullptr);
    EXPECT_EQ(seven.scrollArea()->size(), QSize(523, 72));
    EXPECT_EQ(seven.tiles()[6]->typeLabel(), QStringLiteral("FILE"));
    test::showAndSettle(seven);
    EXPECT_GT(seven.scrollArea()->horizontalScrollBar()->maximum(), 0);

    EXPECT_EQ(SentAttachmentRow({}).sizeHint(), QSize(0, 78));
}

TEST_F(AttachmentViewsTest, StripShowsHeaderChipsAndRemoves)
{
    AttachmentStager stager;
    stager.setStaged({staged(QStringLiteral("big.pdf"), 2048, 6000), staged(QStringLiteral("small.txt"), 100, 1000)});
    StagedStrip strip(&stager, 10000);
    test::showAndSettle(strip);
    EXPECT_EQ(strip.width(), 797);
    EXPECT_FALSE(strip.statusLine()->isVisible());
    EXPECT_EQ(strip.header()->text(), QStringLiteral("Attachments: \u22487,000 tokens (70% of context)"));
    EXPECT_EQ(strip.header()->palette().color(QPalette::WindowText), Theme::cautionAmber());
    EXPECT_EQ(strip.header()->x(), 18);
    EXPECT_EQ(strip.header()->width(), 797 - 36);
    EXPECT_EQ(strip.chipScroller()->height(), 84);
    EXPECT_EQ(strip.height(), strip.header()->height() + 8 + 84);

    const auto chips = strip.chips();
    ASSERT_EQ(chips.size(), 2);
    EXPECT_EQ(chips[1]->x(), 82);
    EXPECT_TRUE(chips[0]->showsWarning());
    EXPECT_FALSE(chips[1]->showsWarning());
    EXPECT_EQ(chips[0]->toolTip(), QStringLiteral("big.pdf  \u00B7  2 KB  \u00B7  ~6,000 tokens (60% of context)"
                                                  "  \u26A0 Model may forget earlier messages"));
    EXPECT_TRUE(sameColor(chips[0]->tile()->border(), chipWarningAmber));
    EXPECT_EQ(chips[0]->tile()->typeLabel(), QStringLiteral("PDF"));
    // The remove button overhangs the tile's corner by 6.
    EXPECT_EQ(chips[0]->removeButton()->geometry(), QRect(58, 2, 20, 20));

    // The tile's border is drawn in the level colour, inside its edge. The
    // warning triangle shows clear of the remove button in the corner: of its
    // 55 pixels, less the cut-out mark and the soft edges, at least 20 are
    // solid amber between the tile's straight sides, where no border bends.
    const QImage image = test::renderOver(*chips[0], Qt::white);
    EXPECT_TRUE(test::pixelNear(image, 0, 8 + 36, chipWarningAmber(), 3));
    const QRect band(2, 8 + 19, 72 - 4, 72 - 2 * 19);
    EXPECT_GE(test::countPixels(image, chipWarningAmber(), 3, band), 20);
    const QImage quiet = test::renderOver(*chips[1], Qt::white);
    EXPECT_EQ(test::countPixels(quiet, chipWarningAmber(), 40, band), 0);

    // Dark: the header recolours with the appearance.
    Theme::setAppearance(Appearance::Dark);
    EXPECT_EQ(strip.header()->palette().color(QPalette::WindowText), Theme::cautionAmber(Appearance::Dark));
    Theme::setAppearance(Appearance::Light);

    // A press in the button's corner, outside its circle, does nothing; one
    // in the middle removes the file.
    QTest::mouseClick(chips[1]->removeButton(), Qt::LeftButton, {}, QPoint(1, 1));
    EXPECT_EQ(stager.staged().size(), 2);
    QTest::mouseClick(chips[1]->removeButton(), Qt::LeftButton, {}, QPoint(10, 10));
    ASSERT_EQ(stager.staged().size(), 1);
    EXPECT_EQ(stager.staged()[0].originalFilename, QStringLiteral("big.pdf"));
    EXPECT_EQ(strip.chips().size(), 1);
    EXPECT_EQ(strip.header()->text(), QStringLiteral("Attachments: \u22486,000 tokens (60% of context)"));
    EXPECT_EQ(strip.header()->palette().color(QPalette::WindowText), Theme::neutralGrey());

    stager.clear();
    EXPECT_EQ(strip.height(), 0);
    EXPECT_TRUE(strip.chips().isEmpty());
}

TEST_F(AttachmentViewsTest, ImagesAreDecodedOncePerStagedFile)
{
    const QString folder = test::makeTempFolder();
    QImage picture(600, 300, QImage::Format_RGB32);
    picture.fill(QColor(0, 0, 255));
    const QString path = QDir(folder).filePath(QStringLiteral("blue.png"));
    ASSERT_TRUE(picture.save(path));
    const QString broken = QDir(folder).filePath(QStringLiteral("broken.png"));
    QFile file(broken);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("not a png at all");
    file.close();

    AttachmentStager stager;
    const StagedAttachment blue = staged(QStringLiteral("blue.png"), 1000, 9500, QUrl::fromLocalFile(path), true);
    const StagedAttachment bad = staged(QStringLiteral("broken.png"), 16, 9500, QUrl::fromLocalFile(broken), true);
    stager.setStaged({blue, bad});
    StagedStrip strip(&stager, 10000);
    test::showAndSettle(strip);
    ASSERT_EQ(strip.chips().size(), 2);
    EXPECT_EQ(strip.thumbnailsDecoded(), 2);
    StagedChip* picture0 = strip.chips()[0];
    EXPECT_TRUE(picture0->tile()->showsImage());
    EXPECT_FALSE(strip.chips()[1]->tile()->showsImage());
    // The picture is stretched to the square with no border, even over the
    // context; the triangle still marks it.
    const QImage image = test::renderOver(*picture0, Qt::white);
    EXPECT_TRUE(test::pixelNear(image, 36, 8 + 36, QColor(0, 0, 255)));
    EXPECT_TRUE(test::pixelNear(image, 2, 8 + 36, QColor(0, 0, 255)));
    EXPECT_TRUE(picture0->showsWarning());

    // Rebuilding (a new file, a new context) decodes nothing again.
    stager.setStaged({blue, bad, staged(QStringLiteral("c.txt"), 5, 5)});
    strip.setContextSize(20000);
    EXPECT_EQ(strip.thumbnailsDecoded(), 2);
    EXPECT_TRUE(strip.chips()[0]->tile()->showsImage());
    // Removed and staged again it is a new staging, read once more.
    stager.setStaged({});
    StagedAttachment again = blue;
    again.id = QUuid::createUuid();
    stager.setStaged({again});
    EXPECT_EQ(strip.thumbnailsDecoded(), 3);
}

TEST_F(AttachmentViewsTest, AThumbnailIsCroppedToTheTileNeverStretched)
{
    // Three bands across a wide picture: the tile shows the middle one.
    QImage bands(600, 200, QImage::Format_RGB32);
    bands.fill(QColor(0, 160, 0));
    for (int y = 0; y < 200; ++y) {
        for (int x = 0; x < 200; ++x) {
            bands.setPixel(x, y, qRgb(255, 0, 0));
            bands.setPixel(599 - x, y, qRgb(0, 0, 255));
        }
    }
    const QString path = QDir(test::makeTempFolder()).filePath(QStringLiteral("bands.png"));
    ASSERT_TRUE(bands.save(path));
    AttachmentStager stager;
    stager.setStaged({staged(QStringLiteral("bands.png"), 1000, 10, QUrl::fromLocalFile(path), true)});
    StagedStrip strip(&stager, 10000);
    test::showAndSettle(strip);
    ASSERT_EQ(strip.chips().size(), 1);
    const QImage image = test::renderOver(*strip.chips()[0], Qt::white);
    for (const int x : {6, 36, 66})
        EXPECT_TRUE(test::pixelNear(image, x, 8 + 36, QColor(0, 160, 0), 12)) << x;
}

} // namespace
} // namespace cvn

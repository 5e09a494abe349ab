#include "KitTest.h"

#include "Gallery.h"

#include <QDir>
#include <QSet>

using namespace cvn;

using GalleryTest = cvn::test::KitTest;

// The gallery draws every control and every dialog in every state; it must
// produce a picture per control and the two appearances must really differ.
TEST_F(GalleryTest, EveryControlRendersInBothAppearances)
{
    const QList<gallery::Sheet> light = gallery::renderSheets(Appearance::Light);
    const QList<gallery::Sheet> dark = gallery::renderSheets(Appearance::Dark);
    ASSERT_EQ(light.size(), dark.size());
    QSet<QString> names;
    for (int i = 0; i < light.size(); ++i) {
        names.insert(light[i].name);
        EXPECT_EQ(light[i].name, dark[i].name);
        EXPECT_FALSE(light[i].image.isNull()) << qPrintable(light[i].name);
        EXPECT_NE(light[i].image, dark[i].image) << qPrintable(light[i].name);
        EXPECT_EQ(QColor(light[i].image.pixel(1, 1)), QColor(Qt::white)) << qPrintable(light[i].name);
        EXPECT_EQ(QColor(dark[i].image.pixel(1, 1)), QColor(0x29, 0x29, 0x2A)) << qPrintable(dark[i].name);
    }
    EXPECT_EQ(names.size(), light.size());
    for (const char* control : {"selected-pill", "compact-surface-pill", "outline-pill", "compact-outline-pill",
                                "icon-button", "compact-icon-button", "card-slider", "radio-button", "combo-box",
                                "centred-card-layout", "action-sheet", "icons", "palette", "fonts",
                                "content-dialog", "confirm-dialog", "input-dialog", "context-warning-dialog",
                                "council-intro-dialog"})
        EXPECT_TRUE(names.contains(QLatin1String(control))) << control;
}

TEST_F(GalleryTest, UnwritableFolderIsAClearError)
{
    const QString file = QDir::temp().filePath(QStringLiteral("cvn-gallery-not-a-folder"));
    QFile(file).open(QIODevice::WriteOnly);
    try {
        gallery::writeGallery(file + QStringLiteral("/sub"));
        FAIL() << "expected an error";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("cannot create"), std::string::npos) << e.what();
    }
    QFile::remove(file);
}

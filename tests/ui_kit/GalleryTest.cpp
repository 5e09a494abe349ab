#include "KitTest.h"

#include "Gallery.h"
#include "ReplyGallery.h"
#include "rendering/Markdown.h"

#include <QDir>
#include <QTemporaryDir>
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

// The sample reply says what its markup shows: no emphasis it uses leaves a
// stray "*" or "_" in the text a reader sees.
TEST_F(GalleryTest, SampleReplyShowsNoStrayEmphasisMarkers)
{
    std::vector<Markdown::Spans> texts;
    for (const Markdown::Block& block : Markdown::parse(gallery::replySample())) {
        std::visit([&texts](const auto& b) {
            using B = std::decay_t<decltype(b)>;
            if constexpr (requires { b.spans; }) {
                texts.push_back(b.spans);
            } else if constexpr (std::is_same_v<B, Markdown::Bullet>) {
                texts.insert(texts.end(), b.items.begin(), b.items.end());
            } else if constexpr (std::is_same_v<B, Markdown::Numbered>) {
                for (const auto& item : b.items)
                    texts.push_back(item.spans);
            } else if constexpr (std::is_same_v<B, Markdown::Table>) {
                texts.insert(texts.end(), b.header.begin(), b.header.end());
                for (const auto& row : b.rows)
                    texts.insert(texts.end(), row.begin(), row.end());
            }
        }, block);
    }
    ASSERT_GT(texts.size(), 10u);
    for (const Markdown::Spans& spans : texts)
        for (const Markdown::Span& span : spans)
            if (!span.code)
                EXPECT_FALSE(span.text.contains(u'*') || span.text.contains(u'_')) << qPrintable(span.text);
}

TEST_F(GalleryTest, UnwritableFolderIsAClearError)
{
    const QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString file = folder.filePath(QStringLiteral("not-a-folder"));
    ASSERT_TRUE(QFile(file).open(QIODevice::WriteOnly));
    try {
        gallery::writeGallery(file + QStringLiteral("/sub"));
        FAIL() << "expected an error";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("cannot create"), std::string::npos) << e.what();
    }
}

#include "KitTest.h"

#include "ui_kit/Icons.h"

#include <QPainter>

using namespace cvn;
using namespace cvn::test;

using IconsTest = KitTest;

TEST_F(IconsTest, EachIconHasItsOneNaturalSize)
{
    EXPECT_EQ(SearchIcon().sizeHint(), QSize(23, 22));
    EXPECT_EQ(NewChatIcon().sizeHint(), QSize(24, 21));
    EXPECT_EQ(DrawerClosedIcon().sizeHint(), QSize(27, 22));
    EXPECT_EQ(DrawerOpenIcon().sizeHint(), QSize(27, 22));
    EXPECT_EQ(BackArrowIcon().sizeHint(), QSize(88, 30));
    EXPECT_EQ(InfoIcon().sizeHint(), QSize(23, 23));
    EXPECT_EQ(AddButtonIcon().sizeHint(), QSize(38, 38));
    EXPECT_EQ(MoreHorizontalIcon().sizeHint(), QSize(27, 7));
    EXPECT_EQ(ChevronDownIcon().sizeHint(), QSize(12, 7));
    EXPECT_EQ(InfoIcon().size(), QSize(23, 23)); // fixed, not just hinted
}

TEST_F(IconsTest, MoreHorizontalDotsAndGapsInBothAppearances)
{
    MoreHorizontalIcon icon;
    for (const auto& [appearance, colour] : {std::pair{Appearance::Light, kWhite}, std::pair{Appearance::Dark, kInk}}) {
        Theme::setAppearance(appearance);
        const QImage image = renderOver(icon, Qt::transparent);
        for (int x : {3, 13, 23})
            EXPECT_TRUE(pixelNear(image, x, 3, colour)) << x;
        EXPECT_EQ(alphaAt(image, 8, 3), 0);
        EXPECT_EQ(alphaAt(image, 18, 3), 0);
    }
}

TEST_F(IconsTest, InfoAddAndBackArrowStrokesLieWhereTheGeometrySays)
{
    InfoIcon info;
    const QImage infoImage = renderOver(info, Qt::transparent);
    EXPECT_TRUE(pixelNear(infoImage, 11, 7, kWhite, 40)) << "dot";
    EXPECT_TRUE(pixelNear(infoImage, 11, 13, kWhite)) << "stem";
    EXPECT_TRUE(pixelNear(infoImage, 11, 1, kWhite, 40)) << "ring";
    EXPECT_EQ(alphaAt(infoImage, 11, 4), 0);

    AddButtonIcon add;
    const QImage addImage = renderOver(add, Qt::transparent);
    EXPECT_TRUE(pixelNear(addImage, 19, 1, kInk, 40)) << "ring";
    EXPECT_TRUE(pixelNear(addImage, 14, 18, kInk)) << "plus";
    EXPECT_EQ(alphaAt(addImage, 12, 12), 0);

    BackArrowIcon back;
    const QImage backImage = renderOver(back, Qt::transparent);
    for (int y = 13; y <= 16; ++y)
        EXPECT_EQ(alphaAt(backImage, 50, y), 255) << y;
    EXPECT_EQ(alphaAt(backImage, 50, 12), 0);
    EXPECT_EQ(alphaAt(backImage, 50, 17), 0);
}

TEST_F(IconsTest, DrawerIconsShareOneGlyphInDifferentColours)
{
    DrawerOpenIcon open;
    DrawerClosedIcon closed;
    const QImage a = renderOver(open, Qt::transparent);
    const QImage b = renderOver(closed, Qt::transparent);
    int opaque = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            ASSERT_EQ(alphaAt(a, x, y), alphaAt(b, x, y)) << x << "," << y;
            if (alphaAt(a, x, y) == 255) {
                ++opaque;
                EXPECT_TRUE(pixelNear(a, x, y, QColor(148, 148, 148)));
                EXPECT_TRUE(pixelNear(b, x, y, kInk));
            }
        }
    EXPECT_GT(opaque, 50);
    EXPECT_EQ(alphaAt(a, 10, 10), 255) << "divider";
    EXPECT_EQ(DrawerGlyph::path(QRectF()), DrawerGlyph::path(QRectF(0, 0, 500, 500)));
}

TEST_F(IconsTest, StaticPaintScalesTheNaturalFrame)
{
    QImage image(54, 14, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    MoreHorizontalIcon::paint(p, QRectF(0, 0, 54, 14));
    p.end();
    EXPECT_TRUE(pixelNear(image, 46, 7, kWhite)); // centre of the third dot, doubled
    EXPECT_EQ(alphaAt(image, 17, 7), 0);
}

TEST_F(IconsTest, DiroruViewTintsTheSilhouetteAndKeepsItsFrame)
{
    ASSERT_FALSE(DiroruView::templateImage().isNull());
    const auto transparent = [](QWidget& widget) {
        const QImage image = renderOver(widget, Qt::transparent);
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (alphaAt(image, x, y) != 0)
                    return false;
        return true;
    };
    DiroruView none(0, Theme::silhouette, 1);
    EXPECT_EQ(none.sizeHint(), QSize(0, 0));
    none.resize(10, 10);
    EXPECT_TRUE(transparent(none));
    DiroruView hidden(120, Theme::silhouette, 0);
    EXPECT_EQ(hidden.size(), QSize(120, 120));
    EXPECT_TRUE(transparent(hidden));
    const QColor tint(0x12, 0x80, 0xF0);
    DiroruView view(120, Theme::dynamicColor(tint.rgb(), tint.rgb()), 1);
    const QImage image = renderOver(view, Qt::transparent);
    int painted = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (alphaAt(image, x, y) == 255) {
                ++painted;
                ASSERT_TRUE(pixelNear(image, x, y, tint)) << x << "," << y;
            }
    EXPECT_GT(painted, 120 * 120 / 5);

    // Painted once, the silhouette still takes the new tint after a switch.
    DiroruView themed(120, Theme::silhouette, 1);
    const auto firstOpaque = [](const QImage& picture) {
        for (int y = 0; y < picture.height(); ++y)
            for (int x = 0; x < picture.width(); ++x)
                if (alphaAt(picture, x, y) == 255)
                    return QPoint(x, y);
        return QPoint(-1, -1);
    };
    const QImage light = renderOver(themed, Qt::transparent);
    const QPoint solid = firstOpaque(light);
    ASSERT_NE(solid, QPoint(-1, -1));
    EXPECT_TRUE(pixelNear(light, solid.x(), solid.y(), kInk));
    Theme::setAppearance(Appearance::Dark);
    EXPECT_TRUE(pixelNear(renderOver(themed, Qt::transparent), solid.x(), solid.y(), kWhite));
}

#include "screens/CopyProgressOverlay.h"

#include "ui_kit/CvnButton.h"
#include "ui_kit/KitTest.h"

#include <QTest>

namespace cvn {
namespace {

using CopyProgressOverlayTest = test::KitTest;

TEST_F(CopyProgressOverlayTest, Figures)
{
    const struct {
        CopyProgress progress;
        const char* percent;
        const char* rate;
        const char* bytes;
        double bar;
    } cases[] = {
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

TEST_F(CopyProgressOverlayTest, CardGeometryColoursAndCancel)
{
    for (const Appearance appearance : {Appearance::Light, Appearance::Dark}) {
        Theme::setAppearance(appearance);
        QWidget host;
        host.resize(800, 600);
        int cancels = 0;
        auto* overlay = new CopyProgressOverlay({3, 8, 1}, [&] { ++cancels; }, &host);
        test::showAndSettle(host);
        QWidget* card = overlay->cardWidget();
        EXPECT_EQ(card->width(), 368);
        EXPECT_EQ(card->geometry().center().x(), 400 - 1);
        EXPECT_EQ(overlay->barRect(), QRectF(29, overlay->barRect().top(), 310, 4));
        EXPECT_NEAR(overlay->fillRect().width(), 116, 1);
        const QRect cancel = overlay->cancelButton()->geometry();
        EXPECT_EQ(cancel.right() + 1, 368 - 29) << "CANCEL at the trailing edge";
        EXPECT_EQ(card->height() - cancel.bottom() - 1, 26);

        const QImage image = test::renderOver(host, Theme::pageBackground());
        const bool dark = appearance == Appearance::Dark;
        const QColor page = dark ? test::kInk : test::kWhite;
        auto dimmed = [&](int channel) { return channel * (255 - 176) / 255; };
        EXPECT_TRUE(test::pixelNear(image, 5, 5, QColor(dimmed(page.red()), dimmed(page.green()), dimmed(page.blue()))));
        const QPoint origin = card->geometry().topLeft();
        const QColor ink = dark ? test::kWhite : test::kInk;
        EXPECT_TRUE(test::pixelNear(image, origin.x() + 14, origin.y() + 40, ink));
        const QPointF fill = overlay->fillRect().center() + origin;
        EXPECT_TRUE(test::pixelNear(image, int(fill.x()), int(fill.y()), dark ? test::kInk : test::kWhite));
        const QPointF track = QPointF(overlay->barRect().right() - 10, overlay->barRect().center().y()) + origin;
        EXPECT_TRUE(test::pixelNear(image, int(track.x()), int(track.y()), QColor(148, 148, 148)));

        QTest::keyClick(overlay, Qt::Key_Escape);
        QTest::mouseClick(overlay, Qt::LeftButton, {}, QPoint(5, 5));
        EXPECT_EQ(cancels, 0) << "the backdrop and Escape do nothing";
        QTest::mouseClick(overlay->cancelButton(), Qt::LeftButton);
        EXPECT_EQ(cancels, 1);
        EXPECT_TRUE(overlay->isVisible()) << "the host removes it";
    }
}

} // namespace
} // namespace cvn

#include "chat/shared/EmptyState.h"
#include "chat/shared/Toasts.h"

#include "rendering/ViewTest.h"
#include "support/Wait.h"
#include "ui_kit/KitTest.h"

#include <QPushButton>
#include <QRegularExpression>

using namespace cvn;
using cvn::test::pixelNear;

namespace {

const QColor kRed{0xD3, 0x38, 0x42};

class ToastTest : public cvn::test::KitTest {
protected:
    void SetUp() override
    {
        KitTest::SetUp();
        area.resize(800, 600);
        beneath = new QPushButton(QStringLiteral("under"), &area);
        beneath->setGeometry(300, 420, 200, 60);
        view = new ToastView(&center, &area);
        cvn::test::showAndSettle(area);
    }
    void showAndWait(const QString& text, ToastKind kind)
    {
        center.show(text, kind);
        ASSERT_TRUE(cvn::test::waitUntil([&] { return view->entrance() == 1; }));
    }
    QImage image() { return cvn::test::renderOver(*view, Qt::transparent); }

    ToastCenter center;
    QWidget area;
    QPushButton* beneath = nullptr;
    ToastView* view = nullptr;
};

} // namespace

TEST_F(ToastTest, KindAndTextChangeTogetherAndTheTimerRestarts)
{
    QList<std::pair<QString, ToastKind>> seen;
    QObject::connect(&center, &ToastCenter::changed,
                     [&] { seen.append({center.message().value_or(QString()), center.kind()}); });
    center.show(QStringLiteral("Failed"), ToastKind::error);
    EXPECT_EQ(center.dismissal().interval(), 3000);
    center.show(QStringLiteral("Copied"), ToastKind::info);
    EXPECT_EQ(center.dismissal().interval(), 1000);
    EXPECT_TRUE(center.dismissal().isActive());
    ASSERT_EQ(seen.size(), 2);
    EXPECT_EQ(seen[0], std::pair(QStringLiteral("Failed"), ToastKind::error));
    EXPECT_EQ(seen[1], std::pair(QStringLiteral("Copied"), ToastKind::info));
    EXPECT_EQ(view->shownText(), QStringLiteral("Copied"));

    // The timeout clears the message; the view fades out, then goes.
    ASSERT_TRUE(cvn::test::waitUntil([&] { return !center.message(); }, 3000));
    EXPECT_TRUE(cvn::test::waitUntil([&] { return !view->isVisible(); }, 2000));
}

TEST_F(ToastTest, ColoursOfEachKindInBothAppearances)
{
    struct Case {
        Appearance appearance;
        ToastKind kind;
        QColor box, text;
    };
    const QList<Case> cases = {{Appearance::Light, ToastKind::info, cvn::test::kInk, cvn::test::kWhite},
                               {Appearance::Dark, ToastKind::info, cvn::test::kWhite, cvn::test::kInk},
                               {Appearance::Light, ToastKind::error, kRed, cvn::test::kWhite},
                               {Appearance::Dark, ToastKind::error, kRed, cvn::test::kWhite}};
    for (const Case& c : cases) {
        Theme::setAppearance(c.appearance);
        showAndWait(QStringLiteral("Copied"), c.kind);
        const QRect box = view->boxRect();
        EXPECT_EQ(box.bottom() + 1, 600 - 130);
        EXPECT_EQ(box.width(), 800);
        const QImage shot = image();
        EXPECT_TRUE(pixelNear(shot, 5, box.center().y(), c.box, 1));
        EXPECT_GT(cvn::test::countPixels(shot, c.text, 3, box), 30);
    }
}

TEST_F(ToastTest, ClicksPassThroughAndLongTextWrapsCentred)
{
    showAndWait(QString(300, u'a').replace(QRegularExpression(QStringLiteral("a{9}")), QStringLiteral("aaaaaaaa ")),
                ToastKind::info);
    const QRect box = view->boxRect();
    EXPECT_GT(box.height(), 3 * 19 + 28);
    ASSERT_TRUE(box.contains(400, 460));
    EXPECT_EQ(area.childAt(400, 460), beneath);
    // The last line is shorter than the others and centred: its ink starts
    // as far from the left edge as it ends from the right.
    const QImage shot = image();
    const int lastLine = box.bottom() - 14 - 8;
    int left = -1, right = -1;
    for (int x = 0; x < shot.width(); ++x)
        if (cvn::test::pixelNear(shot, x, lastLine, cvn::test::kWhite, 100)) {
            if (left < 0)
                left = x;
            right = x;
        }
    ASSERT_GE(left, 16);
    EXPECT_NEAR(left, 800 - 1 - right, 4);
}

TEST_F(ToastTest, EmptyStateCentresTheSilhouetteAboveTheMiddle)
{
    EmptyState empty(&area);
    empty.setGeometry(area.rect());
    empty.show();
    EXPECT_EQ(empty.silhouetteRect(), QRect(350, 205, 100, 100));
    EXPECT_EQ(area.childAt(beneath->geometry().center()), beneath);
    const QImage light = cvn::test::renderOver(empty, cvn::test::kWhite);
    EXPECT_TRUE(pixelNear(light, 400, 255, cvn::test::kInk, 2));
    Theme::setAppearance(Appearance::Dark);
    const QImage dark = cvn::test::renderOver(empty, cvn::test::kInk);
    EXPECT_TRUE(pixelNear(dark, 400, 255, cvn::test::kWhite, 2));

    empty.resize(800, 150);
    EXPECT_EQ(empty.silhouetteRect().top() + 50, 30);
}

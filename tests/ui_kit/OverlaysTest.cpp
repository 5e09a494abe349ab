#include "DialogHarness.h"

#include "models/ContextWarning.h"
#include "ui_kit/ContextWarningDialog.h"
#include "ui_kit/CouncilIntroDialog.h"
#include "ui_kit/CvnActionSheet.h"
#include "ui_kit/CvnConfirmDialog.h"
#include "ui_kit/CvnContentDialog.h"
#include "ui_kit/CvnInputDialog.h"

#include <QTest>

#include <functional>

using namespace cvn;
using namespace cvn::test;

namespace {

// Every overlay of the kit over `parent`, its ways out counted in `calls`.
using Make = std::function<ModalOverlay*(QWidget* parent, Calls& calls)>;

const std::vector<std::pair<const char*, Make>>& overlays()
{
    static const std::vector<std::pair<const char*, Make>> all = {
        {"action sheet",
         [](QWidget* parent, Calls& calls) -> ModalOverlay* {
             return new CvnActionSheet(QStringLiteral("Model actions"), {{QStringLiteral("pin"), QStringLiteral("Pin"), false}},
                                       [&calls](std::optional<QString> id) { ++(id ? calls.save : calls.cancel); }, parent);
         }},
        {"confirm",
         [](QWidget* parent, Calls& calls) -> ModalOverlay* {
             return new CvnConfirmDialog(QStringLiteral("Delete chat"), QStringLiteral("Sure?"), QStringLiteral("DELETE"),
                                         QStringLiteral("CANCEL"), true, [&calls] { ++calls.save; },
                                         [&calls] { ++calls.cancel; }, parent);
         }},
        {"notice without cancel",
         [](QWidget* parent, Calls& calls) -> ModalOverlay* {
             return new CvnConfirmDialog(QStringLiteral("Nothing to send"), QStringLiteral("Type a question first."),
                                         QStringLiteral("OK"), std::nullopt, false, [&calls] { ++calls.save; },
                                         [&calls] { ++calls.cancel; }, parent);
         }},
        {"input",
         [](QWidget* parent, Calls& calls) -> ModalOverlay* {
             return new CvnInputDialog(QStringLiteral("Rename chat"), QStringLiteral("Trip"), 40,
                                       [&calls](const QString&) { ++calls.save; }, [&calls] { ++calls.cancel; }, parent);
         }},
        {"content",
         [](QWidget* parent, Calls& calls) -> ModalOverlay* {
             auto* body = new QLineEdit(QStringLiteral("Llama"));
             body->setMinimumHeight(200);
             return new CvnContentDialog(QStringLiteral("Model settings"), body, [&calls] { ++calls.save; },
                                         [&calls] { ++calls.cancel; }, QStringLiteral("SAVE"), QStringLiteral("CANCEL"),
                                         parent);
         }},
        {"context warning",
         [](QWidget* parent, Calls& calls) -> ModalOverlay* {
             return new ContextWarningDialog(ContextWarning{4096, 5000, 0}, [&calls] { ++calls.save; },
                                             [&calls] { ++calls.cancel; }, parent);
         }},
        {"council intro",
         [](QWidget* parent, Calls& calls) -> ModalOverlay* {
             return new CouncilIntroDialog([&calls] { ++calls.cancel; }, parent);
         }},
    };
    return all;
}

// Where the keyboard is while an overlay is up.
QWidget* keyboard(ModalOverlay* overlay)
{
    QWidget* focus = QApplication::focusWidget();
    return focus ? focus : overlay;
}

} // namespace

using OverlaysTest = KitTest;

TEST_F(OverlaysTest, ScrimAndEscapeCancelOnceEachTheCardNeverAndItsColoursFollowTheAppearance)
{
    for (const auto& [name, make] : overlays()) {
        SCOPED_TRACE(name);
        DialogWindow host;
        Calls calls;
        ModalOverlay* overlay = host.open(make(&host.window, calls));
        QWidget* card = overlay->card();
        EXPECT_EQ(overlay->geometry(), host.window.rect());
        // The card takes a new appearance while it is up.
        for (const Appearance appearance : {Appearance::Dark, Appearance::Light}) {
            Theme::setAppearance(appearance);
            QApplication::processEvents();
            EXPECT_TRUE(pixelNear(host.window.grab().toImage(), card->x() + 3, card->y() + card->height() / 2,
                                  appearance == Appearance::Dark ? kWhite : kInk));
        }
        EXPECT_TRUE(overlay->isAncestorOf(QApplication::focusWidget()) || overlay->hasFocus()) << "takes the keyboard";

        QTest::mouseClick(overlay, Qt::LeftButton, {}, QPoint(5, 5));
        EXPECT_EQ(calls.cancel, 1) << "scrim";
        QTest::keyClick(keyboard(overlay), Qt::Key_Escape);
        EXPECT_EQ(calls.cancel, 2) << "Escape";
        // The card's padding, and a press on the card let go over the scrim.
        QTest::mouseClick(card, Qt::LeftButton, {}, QPoint(10, 10));
        QTest::mouseClick(card, Qt::LeftButton, {}, QPoint(card->width() - 12, card->height() / 2));
        QTest::mousePress(card, Qt::LeftButton, {}, QPoint(10, 10));
        QTest::mouseRelease(overlay, Qt::LeftButton, {}, QPoint(5, 5));
        EXPECT_EQ(calls.cancel, 2);
        EXPECT_EQ(calls.save, 0);
        EXPECT_TRUE(host.field->text().isEmpty()) << "no key reached the screen behind";
        EXPECT_TRUE(overlay->isVisible()) << "the owner hides it, not the overlay";

        delete overlay;
        EXPECT_TRUE(host.field->hasFocus()) << "the keyboard goes back";
    }
}

TEST_F(OverlaysTest, StackedOverlaysAnswerFromTheTopDown)
{
    DialogWindow host;
    Calls lower;
    Calls upper;
    ModalOverlay* sheet = host.open(overlays()[0].second(&host.window, lower));
    ModalOverlay* confirm = host.open(overlays()[1].second(&host.window, upper));

    QTest::keyClick(keyboard(confirm), Qt::Key_Escape);
    QTest::mouseClick(confirm, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_EQ(upper.cancel, 2);
    EXPECT_EQ(lower.cancel, 0) << "the covered sheet hears nothing";

    // The top one goes: the keyboard returns to the sheet, not the screen.
    delete confirm;
    EXPECT_TRUE(sheet->hasFocus() || sheet->isAncestorOf(QApplication::focusWidget()));
    QTest::keyClick(keyboard(sheet), Qt::Key_Escape);
    EXPECT_EQ(lower.cancel, 1);
    delete sheet;
    EXPECT_TRUE(host.field->hasFocus());
    EXPECT_TRUE(host.field->text().isEmpty());
}

#include "rendering/CodeBlock.h"
#include "rendering/SidewaysScrollArea.h"
#include "rendering/ViewTest.h"
#include "support/Wait.h"
#include "ui_kit/KitTest.h"

#include <QApplication>
#include <QClipboard>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

#include <gtest/gtest.h>

namespace cvn {
namespace {

using test::KitTest;

class CodeBlockTest : public KitTest {};

TEST_F(CodeBlockTest, LanguageLabelAndCopyButtonPlace)
{
    CodeBlock swift(QStringLiteral("swift"), QStringLiteral("let x = 1"));
    swift.resize(400, swift.heightForWidth(400));
    test::showAndSettle(swift);
    EXPECT_EQ(swift.languageLabel(), QStringLiteral("SWIFT"));
    ASSERT_EQ(swift.copyButtons().size(), 1);
    EXPECT_EQ(swift.copyButtons()[0]->geometry(), QRect(400 - 6 - 28, 4, 28, 28));
    // The label is drawn, in the muted colour.
    EXPECT_GT(test::countPixels(test::renderOver(swift, Qt::white), Theme::mutedText(), 30, QRect(12, 4, 60, 28)),
              0);

    // A long name stops short of the gap before the button.
    CodeBlock longName(QString(80, u'w'), QStringLiteral("x"));
    longName.resize(200, longName.heightForWidth(200));
    test::showAndSettle(longName);
    const QImage named = test::renderOver(longName, Qt::white);
    EXPECT_GT(test::countPixels(named, Theme::mutedText(), 30, QRect(12, 4, 100, 28)), 0);
    EXPECT_EQ(test::countPixels(named, Theme::mutedText(), 30, QRect(200 - 6 - 28 - 8, 4, 8, 28)), 0);

    for (const std::optional<QString>& none : {std::optional<QString>(), std::optional<QString>(QString())}) {
        CodeBlock plain(none, QStringLiteral("x"));
        plain.resize(300, plain.heightForWidth(300));
        test::showAndSettle(plain);
        EXPECT_TRUE(plain.languageLabel().isEmpty());
        EXPECT_EQ(plain.copyButtons()[0]->x(), 300 - 6 - 28);
        EXPECT_EQ(test::countPixels(test::renderOver(plain, Qt::white), Theme::mutedText(), 30,
                                    QRect(12, 4, 200, 28)),
                  0);
    }
}

TEST_F(CodeBlockTest, SecondCopyButtonComesWithLongCode)
{
    const QString fifteenLines = QStringLiteral("x\n").repeated(14) + QStringLiteral("x");
    EXPECT_FALSE(CodeBlock::wantsSecondCopyButton(fifteenLines));
    EXPECT_FALSE(CodeBlock::wantsSecondCopyButton(QString(500, u'a')));
    EXPECT_TRUE(CodeBlock::wantsSecondCopyButton(QStringLiteral("x\n").repeated(15)));
    EXPECT_TRUE(CodeBlock::wantsSecondCopyButton(QString(501, u'a')));
    // 501 code units, 500 characters: an accent joins its letter.
    EXPECT_FALSE(CodeBlock::wantsSecondCopyButton(QString(499, u'a') + QStringLiteral("e\u0301")));

    CodeBlock shortCode(std::nullopt, fifteenLines);
    EXPECT_EQ(shortCode.copyButtons().size(), 1);
    CodeBlock longCode(std::nullopt, QStringLiteral("x\n").repeated(15));
    longCode.resize(300, longCode.heightForWidth(300));
    test::showAndSettle(longCode);
    const auto buttons = longCode.copyButtons();
    ASSERT_EQ(buttons.size(), 2);
    EXPECT_EQ(buttons[1]->x(), buttons[0]->x());
    EXPECT_EQ(buttons[1]->geometry().bottom() + 1 + 6, longCode.heightForWidth(300));
    EXPECT_EQ(longCode.lines().size(), 16);

    // The bottom button goes when the code shrinks again.
    longCode.setCode(std::nullopt, QStringLiteral("x"));
    EXPECT_EQ(longCode.copyButtons().size(), 1);
}

TEST_F(CodeBlockTest, CopyPutsTheExactCodeOnTheClipboardAndMarksForAWhile)
{
    const QString code = QStringLiteral("\tint a = 1;   \n  \n}\t ");
    CodeBlock block(QStringLiteral("c"), code);
    auto* button = block.copyButtons()[0];
    EXPECT_EQ(button->toolTip(), QStringLiteral("Copy code"));
    EXPECT_EQ(button->accessibleName(), QStringLiteral("Copy code"));
    EXPECT_EQ(button->symbolName(), QStringLiteral("doc.on.doc"));
    QApplication::clipboard()->setText(QStringLiteral("old"));
    button->click();
    EXPECT_EQ(QApplication::clipboard()->text(), code);
    EXPECT_TRUE(button->copied());
    EXPECT_EQ(button->symbolName(), QStringLiteral("checkmark"));
    QApplication::processEvents();
    EXPECT_TRUE(button->copied());
    EXPECT_TRUE(test::waitUntil([button] { return !button->copied(); }, 5000));
    EXPECT_EQ(button->symbolName(), QStringLiteral("doc.on.doc"));
}

TEST_F(CodeBlockTest, TheFirstPendingResetClearsTheMarkWhateverCameAfter)
{
    CodeBlock block(std::nullopt, QStringLiteral("x = 1"));
    CopyCodeButton* button = block.copyButtons()[0];
    // The resets the presses scheduled, in the order they fall due.
    QList<std::function<void()>> pending;
    QList<int> delays;
    button->setScheduler([&](int ms, std::function<void()> reset) {
        delays.append(ms);
        pending.append(std::move(reset));
    });

    button->click();
    EXPECT_TRUE(button->copied());
    button->click(); // further presses, each scheduling its own reset
    button->click();
    EXPECT_EQ(delays, (QList<int>{1500, 1500, 1500}));
    EXPECT_TRUE(button->copied());
    // The first press's reset clears the mark although later presses came.
    pending.takeFirst()();
    EXPECT_FALSE(button->copied());
    EXPECT_EQ(button->symbolName(), QStringLiteral("doc.on.doc"));
    // A press after the mark went shows it again, but only until the next
    // earlier press's reset falls due.
    button->click();
    EXPECT_TRUE(button->copied());
    pending.takeFirst()();
    EXPECT_FALSE(button->copied());
    // Resets that find the mark gone change nothing.
    pending.takeFirst()();
    pending.takeFirst()();
    EXPECT_FALSE(button->copied());
    ASSERT_TRUE(pending.isEmpty());
    button->click();
    EXPECT_TRUE(button->copied());
    pending.takeFirst()();
    EXPECT_FALSE(button->copied());

    // The top and bottom buttons of a long card keep separate marks.
    CodeBlock longCode(std::nullopt, QStringLiteral("x\n").repeated(15));
    const auto buttons = longCode.copyButtons();
    ASSERT_EQ(buttons.size(), 2);
    QList<std::function<void()>> top, bottom;
    buttons[0]->setScheduler([&](int, std::function<void()> reset) { top.append(std::move(reset)); });
    buttons[1]->setScheduler([&](int, std::function<void()> reset) { bottom.append(std::move(reset)); });
    buttons[0]->click();
    buttons[1]->click();
    top.takeFirst()();
    EXPECT_FALSE(buttons[0]->copied());
    EXPECT_TRUE(buttons[1]->copied());
}

TEST_F(CodeBlockTest, EmptyCodeKeepsTheHeaderAndButton)
{
    CodeBlock block(QStringLiteral("python"), QString());
    EXPECT_TRUE(block.lines().isEmpty());
    EXPECT_EQ(block.copyButtons().size(), 1);
    EXPECT_EQ(block.heightForWidth(300), 4 + 28 + 4 + 10);
    EXPECT_EQ(block.languageLabel(), QStringLiteral("PYTHON"));
}

TEST_F(CodeBlockTest, TokensAreDrawnInTheirColoursInBothAppearances)
{
    // Long tokens so each colour has solid pixels.
    const QString code = QStringLiteral("return \"MMMMMMMM\"\n// MMMMMMMMMM\n88888888 HHHHHHHH");
    CodeBlock block(QStringLiteral("swift"), code);
    block.resize(500, block.heightForWidth(500));
    const struct {
        QColor light, dark;
    } colours[] = {
        {QColor(0x7B, 0x1F, 0xA2), QColor(0xC7, 0x92, 0xEA)}, // keyword
        {QColor(0x2E, 0x7D, 0x32), QColor(0xA5, 0xD6, 0xA7)}, // string
        {QColor(0x6E, 0x6E, 0x6F), QColor(0x9E, 0x9E, 0x9E)}, // comment
        {QColor(0xA0, 0x5A, 0x00), QColor(0xF9, 0xA8, 0x25)}, // number
        {QColor(0x29, 0x29, 0x2A), QColor(0xFF, 0xFF, 0xFF)}, // plain
    };
    const QRect codeArea(12, 36, 480, block.height() - 36);
    const QImage light = test::renderOver(block, Qt::white);
    for (const auto& c : colours)
        EXPECT_GT(test::countPixels(light, c.light, 4, codeArea), 5) << c.light.name().toStdString();
    Theme::setAppearance(Appearance::Dark);
    const QImage dark = test::renderOver(block, QColor(0x29, 0x29, 0x2A));
    for (const auto& c : colours)
        EXPECT_GT(test::countPixels(dark, c.dark, 4, codeArea), 5) << c.dark.name().toStdString();
    EXPECT_EQ(test::countPixels(dark, colours[0].light, 4, codeArea), 0);
}

TEST_F(CodeBlockTest, LongLinesScrollSidewaysWhileVerticalWheelsReachTheTranscript)
{
    QScrollArea transcript;
    transcript.resize(400, 300);
    auto* column = new QWidget;
    auto* layout = new QVBoxLayout(column);
    auto* block = new CodeBlock(std::nullopt, QString(400, u'x') + QStringLiteral("\nshort"));
    layout->addWidget(block);
    layout->addSpacing(2000);
    transcript.setWidget(column);
    transcript.setWidgetResizable(true);
    test::showAndSettle(transcript);

    QScrollBar* sideways = block->scrollArea()->horizontalScrollBar();
    QScrollBar* down = transcript.verticalScrollBar();
    ASSERT_GT(sideways->maximum(), 0);
    QWidget* lines = block->scrollArea()->widget();
    EXPECT_EQ(lines->height(), block->scrollArea()->height());

    test::turnWheel(lines, {10, 5}, {0, -120});
    EXPECT_GT(down->value(), 0);
    EXPECT_EQ(sideways->value(), 0);

    test::turnWheel(lines, {10, 5}, {-120, 0});
    EXPECT_GT(sideways->value(), 0);
    const int afterHorizontal = sideways->value();
    const int transcriptAt = down->value();
    test::turnWheel(lines, {10, 5}, {0, -120}, Qt::ShiftModifier);
    EXPECT_GT(sideways->value(), afterHorizontal);
    EXPECT_EQ(down->value(), transcriptAt);
}

// The sideways scroller of code, tables and attachment rows: when its bar
// shows, it is the kit's thin handle over the content, not a strip beside it.
TEST_F(CodeBlockTest, SidewaysBarIsAMutedHandleOverTheContent)
{
    auto* wide = new QWidget;
    wide->setFixedSize(2000, 84);
    SidewaysScrollArea area(wide, true);
    area.resize(400, 84);
    test::showAndSettle(area);
    QScrollBar* bar = area.horizontalScrollBar();
    ASSERT_TRUE(bar->isVisible());
    EXPECT_EQ(area.viewport()->height(), 84);
    const QImage image = test::renderOver(*bar, Qt::red);
    EXPECT_TRUE(test::pixelNear(image, 12, bar->height() / 2, Theme::muted(), 3)) << "a muted handle";
    EXPECT_TRUE(test::pixelNear(image, bar->width() - 3, bar->height() / 2, Qt::red)) << "no groove or arrow";
}

} // namespace
} // namespace cvn

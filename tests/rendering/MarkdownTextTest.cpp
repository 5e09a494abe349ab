#include "rendering/CodeBlock.h"
#include "rendering/MarkdownText.h"
#include "rendering/TableBlock.h"
#include "rendering/ViewTest.h"
#include "ui_kit/KitTest.h"

#include <QFontInfo>

#include <gtest/gtest.h>

namespace cvn {
namespace {

using test::KitTest;

const QColor kCodeLight{0xA8, 0x50, 0x0A};
const QColor kCodeDark{0xF0, 0xA8, 0x68};
constexpr DynamicColor kRed{0xFF0000, 0xFF0000};

QList<QTextLayout::FormatRange> rangesOf(const MarkdownText& view, int item, int row = 0)
{
    return view.item(item)->rows()[size_t(row)]->layout.formats();
}

// Lines of `text` in `font` wrapped at `width` by Qt's own text layout.
int linesAt(const QString& text, const QFont& font, int width)
{
    QTextLayout layout(text, font);
    layout.beginLayout();
    int lines = 0;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        ++lines;
    }
    layout.endLayout();
    return lines;
}

class MarkdownTextTest : public KitTest {};

TEST_F(MarkdownTextTest, EmptyAndBlankSourcesDrawNothing)
{
    for (const char* source : {"", "\n\n   \n\t\n"}) {
        MarkdownText view(QString::fromUtf8(source), Theme::ink);
        EXPECT_EQ(view.itemCount(), 0) << source;
        EXPECT_EQ(view.heightForWidth(400), 0) << source;
    }
}

TEST_F(MarkdownTextTest, HeadingsAreBoldAtTheirSizes)
{
    const struct {
        const char* source;
        int size;
    } cases[] = {{"# A", 22}, {"## A", 19}, {"### A", 16}, {"###### A", 16}};
    for (const auto& c : cases) {
        MarkdownText view(QString::fromUtf8(c.source), Theme::ink);
        ASSERT_EQ(view.itemCount(), 1);
        const auto ranges = rangesOf(view, 0);
        ASSERT_EQ(ranges.size(), 1) << c.source;
        const QFont font = ranges[0].format.font();
        EXPECT_EQ(font.pixelSize(), c.size) << c.source;
        EXPECT_TRUE(font.bold()) << c.source;
        EXPECT_EQ(QFontInfo(font).family(), QStringLiteral("Inter")) << c.source;
    }
}

TEST_F(MarkdownTextTest, EmphasisBecomesRangesOfOneWrappingText)
{
    MarkdownText view(QStringLiteral("plain **bold** *it*"), Theme::ink);
    ASSERT_EQ(view.itemCount(), 1);
    ASSERT_EQ(view.item(0)->rows().size(), 1u);
    EXPECT_EQ(view.item(0)->rows()[0]->layout.text(), QStringLiteral("plain bold it"));
    // The parser keeps the blank between the emphases as a span of its own.
    const auto ranges = rangesOf(view, 0);
    ASSERT_EQ(ranges.size(), 4);
    EXPECT_EQ(ranges[0].start + ranges[0].length, 6);
    EXPECT_EQ(ranges[1].length, 4);
    EXPECT_EQ(ranges[3].length, 2);
    const QFont plain = ranges[0].format.font();
    const QFont bold = ranges[1].format.font();
    const QFont italic = ranges[3].format.font();
    EXPECT_EQ(plain.pixelSize(), 16);
    EXPECT_EQ(plain.weight(), QFont::Normal);
    EXPECT_FALSE(plain.italic());
    EXPECT_EQ(bold.pixelSize(), 16);
    EXPECT_TRUE(bold.bold());
    EXPECT_FALSE(bold.italic());
    EXPECT_EQ(italic.pixelSize(), 16);
    EXPECT_TRUE(italic.italic());
    EXPECT_FALSE(italic.bold());
    for (const auto& range : ranges)
        EXPECT_EQ(range.format.foreground().color(), Theme::ink());

    // A long paragraph wraps inside the width, and again at every new
    // width, as a plain text layout of its font wraps it.
    const QString words = QString(QStringLiteral("word ")).repeated(80);
    MarkdownText wide(words, Theme::ink);
    for (const int width : {300, 150, 420, 300}) {
        wide.resize(width, wide.heightForWidth(width));
        test::renderOver(wide, Qt::white);
        const QTextLayout& layout = wide.item(0)->rows()[0]->layout;
        EXPECT_EQ(layout.lineCount(), linesAt(words, plain, width)) << width;
        for (int i = 0; i < layout.lineCount(); ++i)
            EXPECT_LE(layout.lineAt(i).naturalTextWidth(), width) << width << " " << i;
        EXPECT_EQ(wide.height(), wide.item(0)->height()) << width;
    }
}

TEST_F(MarkdownTextTest, InlineCodeIsMonospacedInItsOwnColourInBothAppearances)
{
    for (const char* source : {"a `x` b", "- a `x` b", "> a `x` b"}) {
        MarkdownText view(QString::fromUtf8(source), kRed);
        view.resize(400, view.heightForWidth(400));
        const auto ranges = rangesOf(view, 0);
        ASSERT_EQ(ranges.size(), 3) << source;
        EXPECT_EQ(ranges[0].format.foreground().color(), QColor(Qt::red)) << source;
        EXPECT_EQ(ranges[1].format.foreground().color(), kCodeLight) << source;
        EXPECT_EQ(ranges[1].format.font().pixelSize(), 15) << source;
        EXPECT_TRUE(QFontInfo(ranges[1].format.font()).fixedPitch()) << source;

        // The colours follow the appearance at the next paint.
        Theme::setAppearance(Appearance::Dark);
        test::renderOver(view, Qt::black);
        EXPECT_EQ(rangesOf(view, 0)[1].format.foreground().color(), kCodeDark) << source;
        Theme::setAppearance(Appearance::Light);
        test::renderOver(view, Qt::white);
        EXPECT_EQ(rangesOf(view, 0)[1].format.foreground().color(), kCodeLight) << source;
    }

    MarkdownText heading(QStringLiteral("# see `f()`"), Theme::ink);
    const auto ranges = rangesOf(heading, 0);
    ASSERT_EQ(ranges.size(), 2);
    EXPECT_EQ(ranges[1].format.font().pixelSize(), 21);
    EXPECT_TRUE(ranges[1].format.font().bold());
    EXPECT_EQ(ranges[1].format.foreground().color(), kCodeLight);

    // The paint really uses the colour: inline code pixels show up.
    MarkdownText big(QStringLiteral("`MMMMMMMM`"), Theme::ink);
    big.resize(300, big.heightForWidth(300));
    EXPECT_GT(test::countPixels(test::renderOver(big, Qt::white), kCodeLight, 6), 10);
}

TEST_F(MarkdownTextTest, ListMarkersSitInTheirOwnColumn)
{
    MarkdownText numbered(QStringLiteral("3. x\n7. y"), Theme::ink);
    ASSERT_EQ(numbered.itemCount(), 1);
    const auto& rows = numbered.item(0)->rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0]->marker, QStringLiteral("3."));
    EXPECT_EQ(rows[1]->marker, QStringLiteral("7."));
    EXPECT_EQ(rows[0]->x, 26);
    EXPECT_EQ(rows[1]->x, 26);

    MarkdownText bullets(QStringLiteral("- one\n- two"), Theme::ink);
    bullets.resize(400, bullets.heightForWidth(400));
    const auto& items = bullets.item(0)->rows();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0]->marker, QStringLiteral("\u2022"));
    EXPECT_EQ(items[1]->x, 26);
    EXPECT_EQ(items[1]->y, items[0]->height + MarkdownText::itemSpacing);
    EXPECT_EQ(bullets.item(0)->height(), items[0]->height + items[1]->height + MarkdownText::itemSpacing);

    // A marker wider than the column widens its own row only.
    MarkdownText wide(QStringLiteral("1. a\n10000000. b"), Theme::ink);
    const auto& mixed = wide.item(0)->rows();
    EXPECT_EQ(mixed[0]->x, 26);
    EXPECT_GT(mixed[1]->x, 26);
    EXPECT_EQ(mixed[1]->x, int(std::ceil(mixed[1]->markerWidth)) + MarkdownText::markerGap);

    // The marker ends at the column's right edge: its ink lies left of x 18.
    const QImage image = test::renderOver(bullets, Qt::white);
    const int markerInk = test::countPixels(image, Theme::ink(), 40, QRect(0, 0, 18, items[0]->height));
    EXPECT_GT(markerInk, 0);
    EXPECT_EQ(test::countPixels(image, Theme::ink(), 40, QRect(18, 0, 8, items[0]->height)), 0);
}

TEST_F(MarkdownTextTest, QuoteBarRunsBesideEvenAnEmptyText)
{
    MarkdownText view(QStringLiteral(">"), Theme::ink);
    ASSERT_EQ(view.itemCount(), 1);
    ASSERT_TRUE(std::holds_alternative<Markdown::Quote>(view.item(0)->block()));
    view.resize(200, view.heightForWidth(200));
    const int height = view.item(0)->height();
    EXPECT_GT(height, 10);
    EXPECT_EQ(view.item(0)->rows()[0]->x, 13);
    const QImage image = test::renderOver(view, Qt::white);
    const QColor grey(0x94, 0x94, 0x94);
    for (int y : {0, height / 2, height - 1}) {
        EXPECT_TRUE(test::pixelNear(image, 0, y, grey));
        EXPECT_TRUE(test::pixelNear(image, 2, y, grey));
        EXPECT_TRUE(test::pixelNear(image, 3, y, Qt::white));
    }
    Theme::setAppearance(Appearance::Dark);
    EXPECT_TRUE(test::pixelNear(test::renderOver(view, Qt::black), 1, 1, grey));
}

TEST_F(MarkdownTextTest, BlocksStackTenPixelsBetweenAndHandOverCodeAndTables)
{
    MarkdownText view(QStringLiteral("# T\n\npara\n\n```swift\nlet x = 1\n```\n\n|a|b|\n|-|-|\n|1|2|"), Theme::ink);
    view.resize(500, view.heightForWidth(500));
    test::showAndSettle(view);
    ASSERT_EQ(view.itemCount(), 4);
    for (int i = 1; i < 4; ++i)
        EXPECT_EQ(view.item(i)->top(), view.item(i - 1)->top() + view.item(i - 1)->height() + 10) << i;
    EXPECT_EQ(view.heightForWidth(500), view.item(3)->top() + view.item(3)->height());
    auto* code = qobject_cast<CodeBlock*>(view.item(2)->widget());
    ASSERT_NE(code, nullptr);
    EXPECT_EQ(code->text(), QStringLiteral("let x = 1"));
    EXPECT_EQ(code->languageLabel(), QStringLiteral("SWIFT"));
    EXPECT_EQ(code->geometry(), QRect(0, view.item(2)->top(), 500, view.item(2)->height()));
    auto* table = qobject_cast<TableBlock*>(view.item(3)->widget());
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->table(), std::get<Markdown::Table>(view.item(3)->block()));
    EXPECT_EQ(view.item(0)->widget(), nullptr);
}

TEST_F(MarkdownTextTest, ANewForegroundReachesTextAndTablesButNotCode)
{
    MarkdownText view(QStringLiteral("para `c`\n\n|h|\n|-|\n|x|"), Theme::ink);
    view.resize(400, view.heightForWidth(400));
    test::renderOver(view, Qt::white);
    auto* table = qobject_cast<TableBlock*>(view.item(1)->widget());
    ASSERT_NE(table, nullptr);

    view.setForeground(kRed);
    test::renderOver(view, Qt::white);
    EXPECT_EQ(view.item(1)->widget(), table);
    const auto ranges = rangesOf(view, 0);
    ASSERT_EQ(ranges.size(), 2);
    EXPECT_EQ(ranges[0].format.foreground().color(), QColor(Qt::red));
    EXPECT_EQ(ranges[1].format.foreground().color(), kCodeLight);
    for (int row : {0, 1})
        EXPECT_EQ(table->cellLayout(row, 0)->formats()[0].format.foreground().color(), QColor(Qt::red)) << row;
}

TEST_F(MarkdownTextTest, StreamingKeepsUnchangedBlocksAndReplacesChangedKinds)
{
    MarkdownText view(QStringLiteral("para\n\n|a|"), Theme::ink);
    view.resize(400, 200);
    test::showAndSettle(view);
    ASSERT_EQ(view.itemCount(), 2);
    const MarkdownText::Item* first = view.item(0);
    const MarkdownText::Item* second = view.item(1);

    view.setSource(QStringLiteral("para\n\n|a|\n|---|"));
    test::renderOver(view, Qt::white);
    ASSERT_EQ(view.itemCount(), 2);
    EXPECT_EQ(view.item(0), first) << "an unchanged block is kept";
    EXPECT_NE(view.item(1), second);
    EXPECT_NE(qobject_cast<TableBlock*>(view.item(1)->widget()), nullptr);

    // A growing code block keeps its widget.
    QString source = QStringLiteral("para\n\n```c\n");
    for (int i = 0; i < 40; ++i)
        source += QStringLiteral("int v%1 = %1;\n").arg(i);
    view.setSource(source + QStringLiteral("ret"));
    auto* code = qobject_cast<CodeBlock*>(view.item(1)->widget());
    ASSERT_NE(code, nullptr);
    view.setSource(source + QStringLiteral("return 0;"));
    EXPECT_EQ(view.item(1)->widget(), code);
    EXPECT_EQ(code->lines().last(), QStringLiteral("return 0;"));

    // Shrinking drops the blocks that went away, widgets included.
    view.setSource(QStringLiteral("para"));
    EXPECT_EQ(view.itemCount(), 1);
    EXPECT_EQ(view.item(0), first);
    EXPECT_EQ(view.heightForWidth(400), first->height());
}

} // namespace
} // namespace cvn

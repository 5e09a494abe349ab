#include "rendering/MarkdownText.h"
#include "rendering/TableBlock.h"
#include "rendering/ViewTest.h"
#include "ui_kit/KitTest.h"

#include <QFontInfo>
#include <QFontMetrics>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

#include <gtest/gtest.h>

namespace cvn {
namespace {

using test::KitTest;

Markdown::Table table(const QStringList& header, const QList<QStringList>& rows,
                      std::vector<Markdown::Alignment> alignments = {})
{
    Markdown::Table t;
    for (const QString& cell : header)
        t.header.push_back(Markdown::parseInline(cell));
    for (const QStringList& row : rows) {
        std::vector<Markdown::Spans> cells;
        for (const QString& cell : row)
            cells.push_back(Markdown::parseInline(cell));
        t.rows.push_back(cells);
    }
    t.alignments = std::move(alignments);
    return t;
}

class TableBlockTest : public KitTest {};

TEST_F(TableBlockTest, RowsAreTintedAndDividedOnTheRoundedCard)
{
    const QList<QStringList> rows = {{"1"}, {"2"}, {"3"}, {"4"}, {"5"}};
    TableBlock block(table({"h"}, rows), Theme::ink);
    EXPECT_EQ(block.gridSize().width(), 320);
    block.resize(block.gridSize());
    const QImage image = test::renderOver(block, Qt::white);
    const QColor ink = Theme::ink();
    const QColor card = test::over(Qt::white, ink, TableBlock::backgroundTint);
    auto sample = [&](int row) {
        const QRect cell = block.cellRect(row, 0);
        return QPoint(cell.right() - 20, cell.top() + 3);
    };
    EXPECT_TRUE(test::pixelNear(image, sample(0).x(), sample(0).y(), test::over(card, ink, 0.07)));
    for (int row : {1, 3, 5})
        EXPECT_TRUE(test::pixelNear(image, sample(row).x(), sample(row).y(), card)) << row;
    for (int row : {2, 4})
        EXPECT_TRUE(test::pixelNear(image, sample(row).x(), sample(row).y(), test::over(card, ink, 0.035))) << row;
    // A divider line of 0.12 sits above each body row.
    for (int row = 1; row <= 5; ++row) {
        const int y = block.cellRect(row, 0).top() - 1;
        EXPECT_EQ(y, block.cellRect(row - 1, 0).bottom() + 1) << row;
        EXPECT_TRUE(test::pixelNear(image, 160, y, test::over(card, ink, 0.12), 3)) << row;
    }
    // The outline of 0.12 runs inside the edge.
    EXPECT_TRUE(test::pixelNear(image, 0, block.cellRect(1, 0).center().y(), test::over(card, ink, 0.12), 3));

    Theme::setAppearance(Appearance::Dark);
    const QColor page(0x29, 0x29, 0x2A);
    const QImage dark = test::renderOver(block, page);
    const QColor darkCard = test::over(page, Qt::white, TableBlock::backgroundTint);
    EXPECT_TRUE(test::pixelNear(dark, sample(2).x(), sample(2).y(), test::over(darkCard, Qt::white, 0.035)));
}

TEST_F(TableBlockTest, APaintOfABandDrawsItAsTheFullPaintDoes)
{
    QList<QStringList> rows;
    for (int i = 0; i < 40; ++i)
        rows.append({QStringLiteral("row %1").arg(i), QStringLiteral("`v%1`").arg(i)});
    TableBlock block(table({"key", "value"}, rows), Theme::ink);
    block.resize(block.gridSize());
    const QImage full = test::renderOver(block, Qt::white);
    // Bands from mid-row to mid-row, and from one divider line to the next.
    const QList<std::pair<int, int>> bands = {
        {block.cellRect(10, 0).center().y(), block.cellRect(20, 0).center().y()},
        {block.cellRect(30, 0).top() - 1, block.cellRect(31, 0).top() - 1},
    };
    for (const auto& [top, bottom] : bands) {
        const QRect band(0, top, block.width(), bottom - top + 1);
        QImage partial(block.size(), QImage::Format_ARGB32_Premultiplied);
        partial.fill(Qt::white);
        block.render(&partial, band.topLeft(), QRegion(band), QWidget::DrawChildren);
        int differing = 0;
        for (int y = band.top(); y <= band.bottom(); ++y)
            for (int x = 0; x < band.width(); ++x)
                differing += partial.pixel(x, y) != full.pixel(x, y);
        EXPECT_EQ(differing, 0) << top << "-" << bottom;
        // Nothing lands outside the band.
        EXPECT_EQ(test::countPixels(partial, Qt::white, 0, QRect(0, 0, block.width(), band.top())), band.top()
                  * block.width());
    }
}

TEST_F(TableBlockTest, ColumnsLineUpAcrossRows)
{
    const QString longText = QStringLiteral("a long cell ").repeated(20);
    TableBlock block(table({"Name", "x"}, {{"a", "something wider"}, {"much longer name", "y"}, {"b", longText}}),
                     Theme::ink);
    for (int column = 0; column < 2; ++column) {
        const QRect header = block.cellRect(0, column);
        for (int row = 1; row <= 3; ++row) {
            EXPECT_EQ(block.cellRect(row, column).x(), header.x()) << row << "," << column;
            EXPECT_EQ(block.cellRect(row, column).width(), header.width()) << row << "," << column;
        }
    }
    // The first column is as wide as its widest cell; the long cell wraps at
    // 360 and makes its row taller.
    const QFontMetrics regular(Theme::inter(400, 15));
    EXPECT_NEAR(block.cellRect(0, 0).width(), regular.horizontalAdvance(QStringLiteral("much longer name")) + 20, 2);
    EXPECT_EQ(block.cellRect(0, 1).width(), 360 + 20);
    EXPECT_GT(block.cellRect(3, 1).height(), 2 * block.cellRect(1, 1).height());
    EXPECT_EQ(block.gridSize().width(), block.cellRect(0, 0).width() + 380);
    // Cells of one row share its height.
    EXPECT_EQ(block.cellRect(3, 0).height(), block.cellRect(3, 1).height());

    // A narrow table is widened to 320, evenly.
    TableBlock narrow(table({"a", "b", "c"}, {{"1", "2", "3"}}), Theme::ink);
    EXPECT_EQ(narrow.gridSize().width(), 320);
    const int slack = narrow.cellRect(0, 0).width() - narrow.cellRect(0, 1).width();
    EXPECT_LE(std::abs(slack), 1);
    EXPECT_EQ(narrow.cellRect(0, 2).right() + 1, 320);
}

TEST_F(TableBlockTest, ColumnsWithoutAlignmentAreLeading)
{
    // The alignment list covers only the first column.
    TableBlock block(table({"MMMM", "MMMM"}, {{"MM", "MM"}}, {Markdown::Alignment::trailing}), Theme::ink);
    const int wide = block.gridSize().width();
    block.resize(wide, block.gridSize().height());
    const QImage image = test::renderOver(block, Qt::white);
    const QRect first = block.cellRect(1, 0);
    const QRect second = block.cellRect(1, 1);
    auto inkIn = [&](QRect area) { return test::countPixels(image, Theme::ink(), 60, area); };
    // Trailing: ink near the right edge only; leading: near the left only.
    EXPECT_EQ(inkIn(QRect(first.left(), first.top(), first.width() / 2, first.height())), 0);
    EXPECT_GT(inkIn(QRect(first.center().x(), first.top(), first.width() / 2, first.height())), 0);
    EXPECT_GT(inkIn(QRect(second.left(), second.top(), second.width() / 2, second.height())), 0);
    EXPECT_EQ(inkIn(QRect(second.center().x(), second.top(), second.width() / 2 - 1, second.height())), 0);
}

TEST_F(TableBlockTest, CellCodeUsesTheInlineCodeColour)
{
    TableBlock block(table({"h"}, {{"`MMMMMMMM`"}}), DynamicColor(0xFF0000, 0xFF0000));
    block.resize(block.gridSize());
    const QImage image = test::renderOver(block, Qt::white);
    EXPECT_GT(test::countPixels(image, MarkdownText::inlineCodeColor(), 6, block.cellRect(1, 0)), 5);
    EXPECT_GT(test::countPixels(image, Qt::red, 30, block.cellRect(0, 0)), 5);
    EXPECT_EQ(test::countPixels(image, Qt::red, 30, block.cellRect(1, 0)), 0);
}

TEST_F(TableBlockTest, HeaderCellsAndBoldSpansShareTheMediumFace)
{
    TableBlock block(table({"Head"}, {{"**strong** plain *`code`*"}}), Theme::ink);
    EXPECT_EQ(block.cellLayout(2, 0), nullptr);
    EXPECT_EQ(block.cellLayout(0, 1), nullptr);
    ASSERT_NE(block.cellLayout(0, 0), nullptr);
    ASSERT_NE(block.cellLayout(1, 0), nullptr);
    const auto header = block.cellLayout(0, 0)->formats();
    const auto body = block.cellLayout(1, 0)->formats();
    ASSERT_EQ(header.size(), 1);
    ASSERT_EQ(body.size(), 3);

    const QFont head = header[0].format.font();
    EXPECT_EQ(head.pixelSize(), 15);
    EXPECT_TRUE(head.bold());
    EXPECT_EQ(QFontInfo(head).family(), QStringLiteral("Inter"));
    EXPECT_EQ(body[0].format.font(), head);

    const QFont plain = body[1].format.font();
    EXPECT_EQ(plain.pixelSize(), 15);
    EXPECT_FALSE(plain.bold());
    EXPECT_FALSE(plain.italic());
    EXPECT_EQ(body[1].format.foreground().color(), Theme::ink());

    const QFont code = body[2].format.font();
    EXPECT_EQ(code.pixelSize(), 14);
    EXPECT_TRUE(QFontInfo(code).fixedPitch());
    EXPECT_TRUE(code.italic());
    EXPECT_FALSE(code.bold());
    EXPECT_EQ(body[2].format.foreground().color(), MarkdownText::inlineCodeColor());
}

TEST_F(TableBlockTest, WideTableScrollsSidewaysAndLetsVerticalWheelsThrough)
{
    QStringList header;
    for (int i = 0; i < 16; ++i)
        header << QStringLiteral("column header number %1").arg(i);
    QString source = QStringLiteral("|") + header.join(QLatin1Char('|')) + QStringLiteral("|\n|")
        + QStringLiteral("-|").repeated(16) + QStringLiteral("\n|") + QStringLiteral("x|").repeated(16);
    QScrollArea transcript;
    transcript.resize(600, 300);
    auto* column = new QWidget;
    auto* layout = new QVBoxLayout(column);
    auto* view = new MarkdownText(source, Theme::ink);
    layout->addWidget(view);
    layout->addSpacing(2000);
    transcript.setWidget(column);
    transcript.setWidgetResizable(true);
    test::showAndSettle(transcript);

    ASSERT_EQ(view->itemCount(), 1);
    auto* block = qobject_cast<TableBlock*>(view->item(0)->widget());
    ASSERT_NE(block, nullptr);
    EXPECT_GT(block->gridSize().width(), 3000);
    QScrollBar* sideways = block->scrollArea()->horizontalScrollBar();
    QScrollBar* down = transcript.verticalScrollBar();
    EXPECT_GT(sideways->maximum(), 0);
    EXPECT_LT(block->width(), 600);

    QWidget* grid = block->scrollArea()->widget();
    test::turnWheel(grid, {30, 10}, {0, -120});
    EXPECT_GT(down->value(), 0);
    EXPECT_EQ(sideways->value(), 0);
    test::turnWheel(grid, {30, 10}, {-240, 0});
    EXPECT_GT(sideways->value(), 0);
    // Back at the left end a further turn left goes nowhere, and is not eaten.
    sideways->setValue(0);
    const int transcriptAt = down->value();
    test::turnWheel(grid, {30, 10}, {120, 0});
    EXPECT_EQ(sideways->value(), 0);
    EXPECT_EQ(down->value(), transcriptAt);
}

} // namespace
} // namespace cvn

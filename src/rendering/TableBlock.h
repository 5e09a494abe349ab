#pragma once

#include "rendering/Markdown.h"
#include "ui_kit/Theme.h"

#include <QWidget>

class QScrollArea;
class QTextLayout;

namespace cvn {

// A Markdown table: a rounded grid, at least 320 pixels wide, that scrolls
// sideways when it is wider than the space offered. Main thread only.
//
// Columns line up across all rows: each column is as wide as its widest
// cell's text on one line, up to 360 pixels (longer cells wrap), plus the
// cell padding; a grid narrower than 320 shares the missing width evenly
// among its columns. Cells whose spans did not change keep their layout
// when the table is updated.
class TableBlock : public QWidget {
    Q_OBJECT
public:
    static constexpr int minimumGridWidth = 320;
    static constexpr int wrapWidth = 360;
    static constexpr int paddingVertical = 8;
    static constexpr int paddingHorizontal = 10;
    static constexpr int textPixelSize = 15;
    static constexpr int codePixelSize = 14;
    static constexpr qreal radius = 15;
    static constexpr qreal backgroundTint = 0.04;
    static constexpr qreal strokeTint = 0.12;
    static constexpr qreal headerTint = 0.07;
    static constexpr qreal dividerTint = 0.12;
    static constexpr qreal stripeTint = 0.035;

    TableBlock(const Markdown::Table& table, DynamicColor foreground, QWidget* parent = nullptr);
    ~TableBlock() override;

    void setTable(const Markdown::Table& table, DynamicColor foreground);
    const Markdown::Table& table() const { return m_table; }

    // The grid's size, and a cell's frame within it (row 0 is the header,
    // row r the r-th body row), padding included.
    QSize gridSize() const;
    QRect cellRect(int row, int column) const;
    // A cell's text with its format ranges; null outside the grid.
    const QTextLayout* cellLayout(int row, int column) const;
    // The sideways scroller holding the grid.
    QScrollArea* scrollArea() const { return m_scroll; }
    // How many cells were laid out since creation.
    int cellsLaidOut() const;

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    class Grid;

    Markdown::Table m_table;
    Grid* m_grid = nullptr;
    QScrollArea* m_scroll = nullptr;
};

} // namespace cvn

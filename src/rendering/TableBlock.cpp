#include "rendering/TableBlock.h"

#include "rendering/MarkdownText.h"
#include "rendering/SidewaysScrollArea.h"
#include "rendering/SpanText.h"

#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QTextLayout>

#include <cmath>
#include <memory>
#include <vector>

namespace cvn {

namespace {

Qt::Alignment textAlignment(Markdown::Alignment alignment)
{
    switch (alignment) {
    case Markdown::Alignment::center: return Qt::AlignHCenter;
    case Markdown::Alignment::trailing: return Qt::AlignTrailing;
    case Markdown::Alignment::leading: break;
    }
    return Qt::AlignLeading;
}

} // namespace

// The painted grid inside the scroller. Row 0 is the header.
class TableBlock::Grid : public QWidget {
public:
    struct Cell {
        Markdown::Spans spans;
        bool header = false;
        Qt::Alignment alignment = Qt::AlignLeading;
        QTextLayout layout;
        qreal natural = 0;
        int laidOutWidth = -1;
        int height = 0;
    };

    explicit Grid(DynamicColor foreground) : m_foreground(foreground)
    {
        Theme::repaintOnAppearanceChange(this);
    }

    void setTable(const Markdown::Table& table, DynamicColor foreground)
    {
        m_foreground = foreground;
        const SpanText::Colors colors = currentColors();
        const bool recolor = colors != m_colors;
        m_colors = colors;
        std::vector<const std::vector<Markdown::Spans>*> rows{&table.header};
        for (const auto& row : table.rows)
            rows.push_back(&row);
        m_cells.resize(rows.size());
        for (size_t r = 0; r < rows.size(); ++r) {
            const std::vector<Markdown::Spans>& source = *rows[r];
            auto& cells = m_cells[r];
            cells.resize(source.size());
            for (size_t c = 0; c < source.size(); ++c) {
                // Columns past the alignment row's entries are leading.
                const Qt::Alignment alignment = c < table.alignments.size()
                    ? textAlignment(table.alignments[c]) : Qt::AlignLeading;
                auto& cell = cells[c];
                if (!recolor && cell && cell->spans == source[c] && cell->header == (r == 0)
                    && cell->alignment == alignment)
                    continue;
                cell = std::make_unique<Cell>();
                cell->spans = source[c];
                cell->header = r == 0;
                cell->alignment = alignment;
                fill(*cell);
            }
        }
        arrange();
    }

    QRect cellRect(int row, int column) const
    {
        if (row < 0 || size_t(row) >= m_rowY.size() || column < 0 || size_t(column) >= m_columnX.size())
            return {};
        return {m_columnX[size_t(column)], m_rowY[size_t(row)], m_columnWidth[size_t(column)],
                m_rowHeight[size_t(row)]};
    }

    const QTextLayout* cellLayout(int row, int column) const
    {
        if (row < 0 || size_t(row) >= m_cells.size() || column < 0 || size_t(column) >= m_cells[size_t(row)].size())
            return nullptr;
        return &m_cells[size_t(row)][size_t(column)]->layout;
    }

    int cellsLaidOut() const { return m_laidOut; }

protected:
    void paintEvent(QPaintEvent* event) override
    {
        if (currentColors() != m_colors) {
            m_colors = currentColors();
            for (auto& row : m_cells)
                for (auto& cell : row)
                    fill(*cell);
            arrange();
        }
        QPainter painter(this);
        painter.setClipRect(event->rect());
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF bounds = QRectF(rect());
        QPainterPath shape;
        shape.addRoundedRect(bounds, radius, radius);
        painter.fillPath(shape, Theme::ink.withAlpha(backgroundTint)());
        const int w = width();
        const QRect dirty = event->rect();
        for (size_t r = 0; r < m_cells.size(); ++r) {
            // A long table is mostly off screen: only the rows in the dirty
            // band (a body row's divider above it included) are drawn.
            if (m_rowY[r] + m_rowHeight[r] <= dirty.top())
                continue;
            if (m_rowY[r] - 1 > dirty.bottom())
                break;
            const QRect row(0, m_rowY[r], w, m_rowHeight[r]);
            if (r == 0)
                painter.fillRect(row, Theme::ink.withAlpha(headerTint)());
            else {
                painter.fillRect(QRect(0, m_rowY[r] - 1, w, 1), Theme::ink.withAlpha(dividerTint)());
                // The 2nd, 4th, ... body row is striped.
                if (r % 2 == 0)
                    painter.fillRect(row, Theme::ink.withAlpha(stripeTint)());
            }
            for (size_t c = 0; c < m_cells[r].size(); ++c)
                m_cells[r][c]->layout.draw(
                    &painter, QPointF(m_columnX[c] + paddingHorizontal, m_rowY[r] + paddingVertical));
        }
        Theme::strokeInside(painter, bounds, radius, Theme::ink.withAlpha(strokeTint)());
    }

private:
    SpanText::Colors currentColors() const { return {m_foreground(), MarkdownText::inlineCodeColor()}; }

    void fill(Cell& cell)
    {
        SpanText::fill(cell.layout, cell.spans, {textPixelSize, codePixelSize, cell.header}, m_colors);
        QTextOption option = cell.layout.textOption();
        option.setAlignment(cell.alignment);
        cell.layout.setTextOption(option);
        cell.natural = SpanText::naturalWidth(cell.layout);
        cell.laidOutWidth = -1;
        ++m_laidOut;
    }

    // Column widths from the widest cells, then the rows at those widths.
    void arrange()
    {
        size_t columns = 0;
        for (const auto& row : m_cells)
            columns = qMax(columns, row.size());
        std::vector<int> textWidth(columns, 0);
        for (const auto& row : m_cells)
            for (size_t c = 0; c < row.size(); ++c)
                textWidth[c] = qMax(textWidth[c], qMin(wrapWidth, int(std::ceil(row[c]->natural))));
        m_columnWidth.assign(columns, 0);
        int total = 0;
        for (size_t c = 0; c < columns; ++c) {
            m_columnWidth[c] = textWidth[c] + 2 * paddingHorizontal;
            total += m_columnWidth[c];
        }
        if (total < minimumGridWidth && columns > 0) {
            const int missing = minimumGridWidth - total;
            for (size_t c = 0; c < columns; ++c)
                m_columnWidth[c] += missing / int(columns) + (int(c) < missing % int(columns) ? 1 : 0);
            total = minimumGridWidth;
        }
        m_columnX.assign(columns, 0);
        for (size_t c = 1; c < columns; ++c)
            m_columnX[c] = m_columnX[c - 1] + m_columnWidth[c - 1];

        m_rowY.assign(m_cells.size(), 0);
        m_rowHeight.assign(m_cells.size(), 0);
        int y = 0;
        for (size_t r = 0; r < m_cells.size(); ++r) {
            if (r > 0)
                y += 1; // the divider above each body row
            int height = 0;
            for (size_t c = 0; c < m_cells[r].size(); ++c) {
                Cell& cell = *m_cells[r][c];
                const int cellWidth = m_columnWidth[c] - 2 * paddingHorizontal;
                if (cell.laidOutWidth != cellWidth) {
                    cell.height = SpanText::layOut(cell.layout, cellWidth);
                    cell.laidOutWidth = cellWidth;
                    ++m_laidOut;
                }
                height = qMax(height, cell.height);
            }
            m_rowY[r] = y;
            m_rowHeight[r] = height + 2 * paddingVertical;
            y += m_rowHeight[r];
        }
        setFixedSize(qMax(total, minimumGridWidth), y);
        update();
    }

    DynamicColor m_foreground;
    SpanText::Colors m_colors;
    std::vector<std::vector<std::unique_ptr<Cell>>> m_cells;
    std::vector<int> m_columnX;
    std::vector<int> m_columnWidth;
    std::vector<int> m_rowY;
    std::vector<int> m_rowHeight;
    int m_laidOut = 0;
};

TableBlock::TableBlock(const Markdown::Table& table, DynamicColor foreground, QWidget* parent) : QWidget(parent)
{
    m_grid = new Grid(foreground);
    m_scroll = new SidewaysScrollArea(m_grid, false, this);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setTable(table, foreground);
}

TableBlock::~TableBlock() = default;

void TableBlock::setTable(const Markdown::Table& table, DynamicColor foreground)
{
    m_table = table;
    m_grid->setTable(table, foreground);
    m_scroll->setGeometry(0, 0, width(), m_grid->height());
    updateGeometry();
}

QSize TableBlock::gridSize() const
{
    return m_grid->size();
}

QRect TableBlock::cellRect(int row, int column) const
{
    return m_grid->cellRect(row, column);
}

const QTextLayout* TableBlock::cellLayout(int row, int column) const
{
    return m_grid->cellLayout(row, column);
}

int TableBlock::cellsLaidOut() const
{
    return m_grid->cellsLaidOut();
}

int TableBlock::heightForWidth(int) const
{
    return m_grid->height();
}

QSize TableBlock::sizeHint() const
{
    return m_grid->size();
}

QSize TableBlock::minimumSizeHint() const
{
    return {0, m_grid->height()};
}

void TableBlock::resizeEvent(QResizeEvent*)
{
    m_scroll->setGeometry(0, 0, width(), m_grid->height());
}

} // namespace cvn

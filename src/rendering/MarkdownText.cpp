#include "rendering/MarkdownText.h"

#include "rendering/CodeBlock.h"
#include "rendering/TableBlock.h"

#include <QFontMetricsF>
#include <QPaintEvent>
#include <QPainter>

#include <cmath>

namespace cvn {

namespace {

const QString kBullet = QStringLiteral("\u2022");

// Paragraphs, quotes and list items.
constexpr SpanText::Style kBody{16, 15, false};

SpanText::Style headingStyle(int level)
{
    if (level == 1)
        return {22, 21, true};
    if (level == 2)
        return {19, 18, true};
    return {16, 15, true};
}

// One row as the block asks for it, before any layout.
struct WantedRow {
    const Markdown::Spans* spans;
    SpanText::Style style;
    QString marker;
};

std::vector<WantedRow> wantedRows(const Markdown::Block& block)
{
    std::vector<WantedRow> rows;
    if (const auto* p = std::get_if<Markdown::Paragraph>(&block))
        rows.push_back({&p->spans, kBody, {}});
    else if (const auto* h = std::get_if<Markdown::Heading>(&block))
        rows.push_back({&h->spans, headingStyle(h->level), {}});
    else if (const auto* q = std::get_if<Markdown::Quote>(&block))
        rows.push_back({&q->spans, kBody, {}});
    else if (const auto* b = std::get_if<Markdown::Bullet>(&block)) {
        for (const Markdown::Spans& spans : b->items)
            rows.push_back({&spans, kBody, kBullet});
    } else if (const auto* n = std::get_if<Markdown::Numbered>(&block)) {
        for (const Markdown::NumberedItem& numbered : n->items)
            rows.push_back({&numbered.spans, kBody, numbered.marker});
    }
    return rows;
}

// A code block or table whose block went away or changed kind: hidden at
// once, deleted once control is back in the event loop.
void retire(QWidget* widget)
{
    if (widget) {
        widget->hide();
        widget->deleteLater();
    }
}

} // namespace

MarkdownText::MarkdownText(const QString& source, DynamicColor foreground, QWidget* parent)
    : QWidget(parent), m_foreground(foreground), m_baked{foreground(), inlineCodeColor()}
{
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
    Theme::repaintOnAppearanceChange(this);
    setSource(source);
}

MarkdownText::~MarkdownText() = default;

void MarkdownText::setSource(const QString& source)
{
    if (source == m_source && !m_items.empty())
        return;
    m_source = source;
    reconcile(Markdown::parse(source));
    m_arrangedWidth = -1;
    placeWidgets();
    updateGeometry();
    update();
}

void MarkdownText::setForeground(DynamicColor foreground)
{
    m_foreground = foreground;
    for (const auto& item : m_items)
        if (auto* table = qobject_cast<TableBlock*>(item->m_widget))
            table->setTable(table->table(), foreground);
    update();
}

void MarkdownText::reconcile(std::vector<Markdown::Block> blocks)
{
    for (size_t i = blocks.size(); i < m_items.size(); ++i)
        retire(m_items[i]->m_widget);
    if (m_items.size() > blocks.size())
        m_items.resize(blocks.size());
    for (size_t i = 0; i < blocks.size(); ++i) {
        Markdown::Block& block = blocks[i];
        if (i < m_items.size()) {
            Item& item = *m_items[i];
            if (item.m_block == block)
                continue;
            if (item.m_block.index() == block.index()) {
                item.m_block = std::move(block);
                item.m_laidOutWidth = -1;
                if (auto* code = qobject_cast<CodeBlock*>(item.m_widget)) {
                    const auto& c = std::get<Markdown::Code>(item.m_block);
                    code->setCode(c.language, c.text);
                } else if (auto* table = qobject_cast<TableBlock*>(item.m_widget)) {
                    table->setTable(std::get<Markdown::Table>(item.m_block), m_foreground);
                } else {
                    fillText(item);
                }
                continue;
            }
            // A block that changed kind (a paragraph that became a table once
            // its alignment row arrived) gets a new item.
            retire(item.m_widget);
        }
        auto item = std::make_unique<Item>();
        item->m_block = std::move(block);
        create(*item);
        if (i < m_items.size())
            m_items[i] = std::move(item);
        else
            m_items.push_back(std::move(item));
    }
}

void MarkdownText::create(Item& item)
{
    if (const auto* code = std::get_if<Markdown::Code>(&item.m_block))
        item.m_widget = new CodeBlock(code->language, code->text, this);
    else if (const auto* table = std::get_if<Markdown::Table>(&item.m_block))
        item.m_widget = new TableBlock(*table, m_foreground, this);
    if (item.m_widget)
        item.m_widget->show();
    else
        fillText(item);
}

void MarkdownText::fillText(Item& item) const
{
    const std::vector<WantedRow> wanted = wantedRows(item.m_block);
    const bool list = std::holds_alternative<Markdown::Bullet>(item.m_block)
        || std::holds_alternative<Markdown::Numbered>(item.m_block);
    const int quoteIndent = std::holds_alternative<Markdown::Quote>(item.m_block) ? quoteBarWidth + quoteGap : 0;
    const QFontMetricsF markerMetrics(Theme::interMedium16());
    if (item.m_rows.size() > wanted.size())
        item.m_rows.resize(wanted.size());
    for (size_t j = 0; j < wanted.size(); ++j) {
        const WantedRow& want = wanted[j];
        if (j < item.m_rows.size()) {
            const TextRow& row = *item.m_rows[j];
            if (row.spans == *want.spans && row.style == want.style && row.marker == want.marker)
                continue;
        }
        auto row = std::make_unique<TextRow>();
        row->spans = *want.spans;
        row->style = want.style;
        row->marker = want.marker;
        if (list) {
            // The marker column is 18 wide; a wider marker widens its own row.
            row->markerWidth = markerMetrics.horizontalAdvance(want.marker);
            row->x = qMax(markerColumn, int(std::ceil(row->markerWidth))) + markerGap;
        } else {
            row->x = quoteIndent;
        }
        SpanText::fill(row->layout, row->spans, row->style, m_baked);
        if (j < item.m_rows.size())
            item.m_rows[j] = std::move(row);
        else
            item.m_rows.push_back(std::move(row));
    }
}

void MarkdownText::layOutItem(Item& item, int width) const
{
    if (item.m_widget) {
        item.m_height = item.m_widget->heightForWidth(width);
        return;
    }
    if (item.m_laidOutWidth == width)
        return;
    int y = 0;
    for (size_t j = 0; j < item.m_rows.size(); ++j) {
        TextRow& row = *item.m_rows[j];
        const int textWidth = qMax(1, width - row.x);
        if (row.laidOutWidth != textWidth) {
            row.height = SpanText::layOut(row.layout, textWidth);
            if (!row.marker.isEmpty())
                row.height = qMax(row.height, int(std::ceil(QFontMetricsF(Theme::interMedium16()).height())));
            row.laidOutWidth = textWidth;
            ++item.m_layoutPasses;
        }
        if (j > 0)
            y += itemSpacing;
        row.y = y;
        y += row.height;
    }
    item.m_height = y;
    item.m_laidOutWidth = width;
}

int MarkdownText::arrange(int width) const
{
    if (width == m_arrangedWidth)
        return m_arrangedHeight;
    int y = 0;
    for (size_t i = 0; i < m_items.size(); ++i) {
        Item& item = *m_items[i];
        layOutItem(item, width);
        if (i > 0)
            y += blockSpacing;
        item.m_top = y;
        y += item.m_height;
    }
    m_arrangedWidth = width;
    m_arrangedHeight = y;
    return y;
}

void MarkdownText::placeWidgets()
{
    // Before the first resize the width is a placeholder; laying out at it
    // would only be thrown away.
    if (!testAttribute(Qt::WA_Resized) && !isVisible())
        return;
    arrange(width());
    for (const auto& item : m_items)
        if (item->m_widget)
            item->m_widget->setGeometry(0, item->m_top, width(), item->m_height);
}

int MarkdownText::heightForWidth(int width) const
{
    return arrange(width);
}

QSize MarkdownText::sizeHint() const
{
    // Asking for another width than the current one would lay every block
    // out twice; before the first resize any width will do.
    const int w = testAttribute(Qt::WA_Resized) ? width() : 480;
    return {w, arrange(w)};
}

QSize MarkdownText::minimumSizeHint() const
{
    return {0, 0};
}

void MarkdownText::resizeEvent(QResizeEvent*)
{
    placeWidgets();
}

void MarkdownText::recolorIfNeeded()
{
    const SpanText::Colors colors{m_foreground(), inlineCodeColor()};
    if (colors == m_baked)
        return;
    m_baked = colors;
    for (const auto& item : m_items) {
        for (const auto& row : item->m_rows) {
            SpanText::fill(row->layout, row->spans, row->style, m_baked);
            row->laidOutWidth = -1;
        }
        item->m_laidOutWidth = -1;
    }
    m_arrangedWidth = -1;
    placeWidgets();
}

void MarkdownText::paintEvent(QPaintEvent* event)
{
    recolorIfNeeded();
    arrange(width());
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRect dirty = event->rect();
    const QFont markerFont = Theme::interMedium16();
    const qreal markerAscent = QFontMetricsF(markerFont).ascent();
    for (const auto& item : m_items) {
        if (item->m_widget || item->m_top > dirty.bottom() || item->m_top + item->m_height < dirty.top())
            continue;
        if (std::holds_alternative<Markdown::Quote>(item->m_block))
            painter.fillRect(QRect(0, item->m_top, quoteBarWidth, item->m_height), Theme::neutralGrey());
        for (const auto& row : item->m_rows) {
            const int top = item->m_top + row->y;
            if (!row->marker.isEmpty()) {
                painter.setFont(markerFont);
                painter.setPen(m_baked.foreground);
                painter.drawText(QPointF(row->x - markerGap - row->markerWidth, top + markerAscent), row->marker);
            }
            row->layout.draw(&painter, QPointF(row->x, top));
        }
    }
}

} // namespace cvn

#pragma once

#include "rendering/Markdown.h"
#include "rendering/SpanText.h"
#include "ui_kit/Theme.h"

#include <QTextLayout>
#include <QWidget>

#include <memory>
#include <vector>

namespace cvn {

// One text drawn as Markdown in a given colour: headings, paragraphs, lists
// and quotes are laid out with QTextLayout and painted by this view itself;
// code blocks and tables are child widgets (CodeBlock, TableBlock). Blocks
// stack with 10 pixels between them at the full width of the view. Main
// thread only.
//
// Meant to be fed a reply as it streams in: setSource parses the whole
// text again but keeps every block that did not change, with its layout and
// its child widget; a block of the same kind takes the new content in place
// (a table or code block keeps its widget), and a block whose kind changed is
// replaced. Text is only laid out again when its content, the width or the
// colours change; colours are resolved when painting, so a change of
// appearance repaints in the new look.
class MarkdownText : public QWidget {
    Q_OBJECT
public:
    static constexpr int blockSpacing = 10;
    static constexpr int itemSpacing = 4;
    static constexpr int markerColumn = 18;
    static constexpr int markerGap = 8;
    static constexpr int quoteBarWidth = 3;
    static constexpr int quoteGap = 10;
    // Code spans, here and in table cells.
    static constexpr DynamicColor inlineCodeColor = Theme::dynamicColor(0xA8500A, 0xF0A868);

    // One line of styled text: the text of a paragraph, heading or quote,
    // or one list item with its marker.
    struct TextRow {
        Markdown::Spans spans;
        SpanText::Style style;
        QString marker;   // list items only: "•" or the item's own marker
        qreal markerWidth = 0;
        QTextLayout layout;
        int x = 0;        // left edge of the text within the view
        int y = 0;        // top within the block
        int height = 0;
        int laidOutWidth = -1;
    };

    // What the view holds for one block.
    class Item {
    public:
        const Markdown::Block& block() const { return m_block; }
        // Position and height within the view at its current width.
        int top() const { return m_top; }
        int height() const { return m_height; }
        // The text rows; empty for code blocks and tables.
        const std::vector<std::unique_ptr<TextRow>>& rows() const { return m_rows; }
        // The CodeBlock or TableBlock; null for text blocks.
        QWidget* widget() const { return m_widget; }
        // How many times text of this block was laid out.
        int layoutPasses() const { return m_layoutPasses; }

    private:
        friend class MarkdownText;
        Markdown::Block m_block;
        std::vector<std::unique_ptr<TextRow>> m_rows;
        QWidget* m_widget = nullptr;
        int m_top = 0;
        int m_height = 0;
        int m_laidOutWidth = -1;
        int m_layoutPasses = 0;
    };

    MarkdownText(const QString& source, DynamicColor foreground, QWidget* parent = nullptr);
    ~MarkdownText() override;

    void setSource(const QString& source);
    void setForeground(DynamicColor foreground);

    int itemCount() const { return int(m_items.size()); }
    const Item* item(int index) const { return m_items[size_t(index)].get(); }

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void reconcile(std::vector<Markdown::Block> blocks);
    void fillText(Item& item) const;
    void create(Item& item);
    // Lays every block out at `width` (where needed) and returns the height.
    int arrange(int width) const;
    void layOutItem(Item& item, int width) const;
    void placeWidgets();
    void recolorIfNeeded();

    QString m_source;
    DynamicColor m_foreground;
    std::vector<std::unique_ptr<Item>> m_items;
    mutable int m_arrangedWidth = -1;
    mutable int m_arrangedHeight = 0;
    // The colours baked into the text layouts.
    SpanText::Colors m_baked;
};

} // namespace cvn

#pragma once

// The pieces the settings-style pages (settings, appearance, hardware) are
// built from: a large centred title, small section captions, the back
// control in the top-leading corner, cards that stand inverted against the
// page with hairline dividers, card rows with their pressed highlight, and
// the page frame that holds them. None keeps state of its own; every colour
// is a theme role resolved at paint time, so a switch of appearance
// recolours the pages at their next paint. Main thread only.

#include "ui_kit/CvnButton.h"
#include "ui_kit/Theme.h"

#include <QAbstractButton>
#include <QWidget>

#include <functional>

class QHBoxLayout;
class QVBoxLayout;

namespace cvn {

class CentredCardLayout;
class DialogText;

namespace SettingsKit {
inline constexpr int kRowHeight = 45;
inline constexpr int kRowInset = 22;
inline constexpr int kDividerHeight = 2;
inline constexpr qreal kCardRadius = 27;
inline constexpr qreal kPressedTint = 0.08;
inline constexpr QPoint kBackPosition{39, 53};
inline constexpr int kColumnMaxWidth = 400;
inline constexpr int kColumnInset = 13;
inline constexpr int kColumnSpacing = 8;

// The pages whose rows hold controls (local server, reply cache): a 544-wide
// column 19 from the window's edges, 18 from the title to the card, rows
// inset 22 by 13 with 6 between a row's head and what stacks under it.
inline constexpr int kControlColumnWidth = 544;
inline constexpr int kControlPageMargin = 19;
inline constexpr int kTitleToCard = 18;
inline constexpr QMargins kControlRowInsets{22, 13, 22, 13};
inline constexpr int kControlRowSpacing = 6;

// Height of a card of `rows` rows: 45 each, 2 for each divider between.
constexpr int cardHeight(int rows) { return rows <= 0 ? 0 : rows * (kRowHeight + kDividerHeight) - kDividerHeight; }
} // namespace SettingsKit

// One line of text in a theme colour, elided with "…" at its end when it does
// not fit; as wide as its text wants, never wrapped.
class OneLineText : public QWidget {
public:
    OneLineText(const QString& text, const QFont& font, DynamicColor color, QWidget* parent = nullptr);

    QString text() const { return m_text; }
    void setText(const QString& text);
    DynamicColor color() const { return m_color; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_text;
    QFont m_font;
    DynamicColor m_color;
};

// The page's large title: Inter-Regular 32 in ink, lines centred and wrapped,
// with 10 of space below.
class PageTitle : public QWidget {
public:
    explicit PageTitle(const QString& text, QWidget* parent = nullptr);
    DialogText* textView() const { return m_text; }

private:
    DialogText* m_text;
};

// A caption above a card: Inter-Medium 13 in mutedOnPaper on one line,
// `top` of space above and 6 below.
class SectionHeader : public OneLineText {
public:
    SectionHeader(const QString& text, int top, QWidget* parent = nullptr);
    int top() const { return m_top; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int m_top;
};

// The back or close control: only the back arrow at 7/11 of its size in a
// 56×19 frame, in the compact icon style. `label` is its tooltip and its
// accessible name and is never drawn.
class PageBackButton : public CvnCompactIconButton {
public:
    PageBackButton(const QString& label, std::function<void()> action, QWidget* parent = nullptr);
    QString label() const { return toolTip(); }
};

// The hairline between two rows of a card: 2 high, paper at 0.5, inset 22.
class CardRowDivider : public QWidget {
public:
    explicit CardRowDivider(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

// Fills `rect` in ink with corners of `radius`, antialiased and without an
// outline: the body of every inverted card and capsule on these pages. The
// painter keeps that state for whatever the caller draws on top.
void paintInkCard(QPainter& painter, const QRectF& rect, qreal radius);

// The right-pointing chevron of a navigation row, at scale `k`, in a 10×10
// frame; stroked in paper with round caps and joins.
void paintChevronRight(QPainter& painter, const QRectF& frame, qreal k);
// The check mark of the selected row, in a 13×13 frame.
void paintCheckMark(QPainter& painter, const QRectF& frame);

// A row of a settings card: the title in Inter-Medium 13 and paper on one
// line (elided), inset 22, 45 high, with an optional trailing glyph. The
// whole row takes the click; while it is held down it shows paper at 0.08,
// cut to its card's rounded corners.
class CardRowButton : public QAbstractButton {
    Q_OBJECT
public:
    enum class Trailing { None, Chevron, CheckMark };

    CardRowButton(const QString& title, Trailing trailing, std::function<void()> action, QWidget* parent = nullptr);

    Trailing trailing() const { return m_trailing; }
    void setTrailing(Trailing trailing);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Trailing m_trailing;
};

// A navigation row of the settings page: title and chevron.
class SettingsNavRow : public CardRowButton {
public:
    SettingsNavRow(const QString& title, std::function<void()> action, QWidget* parent = nullptr)
        : CardRowButton(title, Trailing::Chevron, std::move(action), parent)
    {
    }
};

// A rounded card in ink (radius 27) that stacks its rows with a divider
// between every two. Its height follows the rows.
class SettingsCard : public QWidget {
public:
    explicit SettingsCard(QWidget* parent = nullptr);
    // Adds `row` under the others, after a divider unless it is the first.
    void addRow(QWidget* row);
    QVBoxLayout* rows() const { return m_rows; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QVBoxLayout* m_rows;
    int m_count = 0;
};

// Text on a card: Inter-Medium 13, paper unless told.
OneLineText* cardText(const QString& text, DynamicColor color = Theme::paper);

// A row of a card of controls: a head line (title, flexible space, then
// whatever the caller adds) and, through `stack`, the column under it.
QHBoxLayout* addControlRow(SettingsCard* card, const QString& title, QVBoxLayout** stack = nullptr);

// The frame of a settings-style page: the paper background, the page column
// centred by a CentredCardLayout with `verticalMargin`, and the back control
// 39 in from the leading edge and 53 down. The column is whatever the page
// passes; pageColumn() builds the usual one.
class SettingsPageFrame : public QWidget {
public:
    SettingsPageFrame(int verticalMargin, QWidget* column, PageBackButton* back, QWidget* parent = nullptr);

    PageBackButton* backButton() const { return m_back; }
    CentredCardLayout* scroller() const { return m_scroller; }

    // The column of the settings and appearance pages: items stacked with 8
    // between, inset 13 on every side, at most 400 wide.
    static QWidget* pageColumn(QVBoxLayout** layout);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    CentredCardLayout* m_scroller;
    PageBackButton* m_back;
};

} // namespace cvn

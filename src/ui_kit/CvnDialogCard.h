#pragma once

#include "ui_kit/CvnButton.h"
#include "ui_kit/ModalOverlay.h"
#include "ui_kit/Theme.h"

#include <QFont>
#include <QList>
#include <QMargins>
#include <QTextLayout>

#include <functional>
#include <memory>
#include <optional>

class QBoxLayout;
class QVBoxLayout;

namespace cvn {

// What the dialog cards share. Sizes are logical pixels.
namespace DialogMetrics {
inline constexpr int kSpacing = 20;         // between the children of a card
inline constexpr int kButtonMinWidth = 140; // every pill of a button row
inline constexpr int kButtonSpacing = 12;
} // namespace DialogMetrics

// A text that wraps to the width it is given and asks its layout for the
// height that takes (heightForWidth), so a card grows with its texts. Long
// words break anywhere rather than overflow the card. The colour is a theme
// role, resolved at each paint. Optionally drawn as a box: padding around the
// text on a rounded fill (the example boxes of the council introduction).
class DialogText : public QWidget {
    Q_OBJECT
public:
    DialogText(const QString& text, const QFont& font, DynamicColor color, QWidget* parent = nullptr);

    QString text() const { return m_text; }
    QFont font() const { return m_font; }
    DynamicColor color() const { return m_color; }

    // Qt::AlignLeft (the default) or Qt::AlignHCenter for every line.
    void setAlignment(Qt::Alignment alignment);
    void setBox(DynamicColor fill, qreal radius, QMargins padding);

    // The lines the text takes at the current width.
    int lineCount() const;

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // Lays the text out for a text width; the last layout is kept.
    const QTextLayout& layoutFor(qreal textWidth) const;

    QString m_text;
    QFont m_font;
    DynamicColor m_color;
    Qt::Alignment m_alignment = Qt::AlignLeft;
    std::optional<DynamicColor> m_fill;
    qreal m_radius = 0;
    QMargins m_padding;
    mutable std::unique_ptr<QTextLayout> m_layout;
    mutable qreal m_layoutWidth = -1;
    mutable qreal m_layoutHeight = 0;
};

// The 500-wide card of the confirm, input, context-warning and council
// dialogs: content stacked with 20 between, padded 33/28/33/33, filled in
// Theme::card with a 1 px muted border inside its edge. Its height follows
// the content; it swallows every click (CardSurface).
class DialogCard : public CardSurface {
public:
    static constexpr int kWidth = 500;
    static constexpr qreal kRadius = 34;
    static constexpr QMargins kPadding{33, 28, 33, 33};
    static constexpr int kInnerWidth = kWidth - kPadding.left() - kPadding.right();

    explicit DialogCard(QWidget* parent = nullptr);

    // The card's column: add the content to it in order.
    QVBoxLayout* content() const { return m_content; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QVBoxLayout* m_content;
};

// A pill for a dialog's button row, named `objectName` ("cvn.dialog.cancel",
// "cvn.dialog.save" or "cvn.dialog.confirm"), that runs `action`, when set, on
// every click.
CvnButton* makeDialogButton(CvnButton::Style style, const QString& text, const QString& objectName,
                            std::function<void()> action, QWidget* card);

// Runs `onCancel`, when set, for every click on the overlay's scrim and every
// Escape.
void cancelOnDismiss(ModalOverlay* overlay, std::function<void()> onCancel);

// Puts the pill buttons at the trailing end of a row `rowWidth` wide in
// `column`: a stretch, then each button at least 140 wide, `spacing` apart.
// The stretch and the buttons share the width equally, so pills grow past 140
// in a wide card. A pill whose label needs more gets its label's width while
// the row has room for every label; only past that do labels elide.
void addButtonRow(QBoxLayout* column, const QList<CvnButton*>& buttons, int rowWidth,
                  int spacing = DialogMetrics::kButtonSpacing);

} // namespace cvn

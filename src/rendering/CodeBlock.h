#pragma once

#include "rendering/SyntaxHighlight.h"
#include "ui_kit/Theme.h"

#include <QAbstractButton>
#include <QWidget>

#include <functional>
#include <optional>

class QScrollArea;

namespace cvn {

// The copy icon of a code card: puts its code on the clipboard as plain
// text and shows a checkmark for 1.5 s. A 28 x 28 hit area with the tooltip
// and accessible name "Copy code".
//
// Every press schedules its own reset, 1.5 s after it, and none is ever
// cancelled: the first one due clears the mark. So the mark of a run of
// presses goes 1.5 s after the first, not the last, and a press soon after
// the mark went shows it only until an earlier press's reset falls due.
class CopyCodeButton : public QAbstractButton {
    Q_OBJECT
public:
    static constexpr int side = 28;
    static constexpr int markMs = 1500;

    // Runs `reset` `ms` from now on the main thread, and not at all once the
    // button is gone. The default is a single-shot QTimer tied to the
    // button; tests install their own to fire the resets when they choose.
    using Scheduler = std::function<void(int ms, std::function<void()> reset)>;

    explicit CopyCodeButton(const QString& code, QWidget* parent = nullptr);

    void setCode(const QString& code) { m_code = code; }
    // An empty scheduler brings the default back.
    void setScheduler(Scheduler scheduler);

    // True from a press until the first of the pending resets falls due.
    bool copied() const { return m_copied; }
    // The symbol shown: "checkmark" while copied, else "doc.on.doc".
    QString symbolName() const;

    // What a press does: clipboard, then the mark.
    void copy();

    QSize sizeHint() const override { return {side, side}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void schedule(std::function<void()> reset);

    QString m_code;
    bool m_copied = false;
    Scheduler m_scheduler; // empty: QTimer::singleShot
};

// A fenced code block: a rounded card with the language label, the code
// coloured by SyntaxHighlight in one unwrapped monospaced line per source
// line (long lines scroll sideways), and a copy button at the top, plus one
// at the bottom for long code. Main thread only.
//
// Updating the code keeps the laid-out lines that did not change, so a code
// block growing with a streamed reply only lays out its last line.
class CodeBlock : public QWidget {
    Q_OBJECT
public:
    static constexpr DynamicColor keywordColor = Theme::dynamicColor(0x7B1FA2, 0xC792EA);
    static constexpr DynamicColor stringColor = Theme::dynamicColor(0x2E7D32, 0xA5D6A7);
    static constexpr DynamicColor commentColor = Theme::dynamicColor(0x6E6E6F, 0x9E9E9E);
    static constexpr DynamicColor numberColor = Theme::dynamicColor(0xA05A00, 0xF9A825);
    static constexpr int codePixelSize = 14;
    static constexpr int labelPixelSize = 10;
    static constexpr qreal radius = 15;

    CodeBlock(const std::optional<QString>& language, const QString& text, QWidget* parent = nullptr);
    ~CodeBlock() override;

    void setCode(const std::optional<QString>& language, const QString& text);
    const QString& text() const { return m_text; }

    // The label shown: the language upper-cased, or empty when there is none.
    QString languageLabel() const;
    // The colour of a token kind.
    static DynamicColor kindColor(SyntaxHighlight::Kind kind);
    // Whether code this long gets a second copy button at the bottom: 16 or
    // more lines (one more than its line feeds), or 501 or more
    // user-perceived characters.
    static bool wantsSecondCopyButton(const QString& text);

    // The copy buttons, top first (one or two).
    QList<CopyCodeButton*> copyButtons() const;
    // The sideways scroller of the code and the line view inside it.
    QScrollArea* scrollArea() const { return m_scroll; }
    // How many code lines were laid out since creation.
    int linesLaidOut() const;
    // The code lines as drawn (text without the line feeds).
    QStringList lines() const;

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    class Lines;
    void placeChildren();
    int contentHeight() const;

    std::optional<QString> m_language;
    QString m_text;
    Lines* m_lines = nullptr;
    QScrollArea* m_scroll = nullptr;
    CopyCodeButton* m_topButton = nullptr;
    CopyCodeButton* m_bottomButton = nullptr;
};

} // namespace cvn

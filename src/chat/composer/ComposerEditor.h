#pragma once

// The composer's text surface: a plain-text editor that grows with its text,
// sends on Return, inserts a line on Shift+Return, offers the arrow keys,
// Escape, Return, keypad Enter and Tab to the mention handler first, and
// draws the `@` mentions it is given a little heavier without moving a glyph.
//
// Main thread only. The editor owns its document; the composer owns the
// meaning of the text and reads it back through the signals below. The
// callbacks are plain functions held by value; the composer that sets them
// outlives the editor it owns.

#include "engine/CouncilMentions.h"

#include <QPlainTextEdit>

#include <functional>
#include <optional>

namespace cvn {

class MentionHighlighter;

class ComposerEditor : public QPlainTextEdit {
    Q_OBJECT
public:
    enum class MentionKey { up, down, escape, accept };

    static constexpr qreal minHeight = 35;
    // Above this many characters in the caret's paragraph the caret stays
    // lit instead of blinking: Qt works the whole paragraph out again for
    // each blink (about 20 ns a character), so a pasted megabyte would keep
    // the window busy while nothing happens.
    static constexpr qsizetype longestBlinkingParagraph = 20000;
    // Above the text, inside the measured height: the composer's top padding.
    static constexpr qreal topPadding = 7;

    explicit ComposerEditor(QWidget* parent = nullptr);
    ~ComposerEditor() override;

    // "Inter-Medium" 16, or the system face at 16 and medium weight when Inter
    // is missing. The model pill measures its label with it too, and the
    // edit dialog's field sets its text in it, to keep pace with its keys.
    static const QFont& textFont();

    // Called for Return or keypad Enter without Shift; absent: Return does
    // nothing at all.
    std::function<void()> onSend;
    // Offered Up, Down, Escape and Return/Enter/Tab first; true consumes.
    std::function<bool(MentionKey)> onMentionKey;
    // Offered every paste and drop first: true when it was taken as
    // attachments (files or image data), so nothing is inserted as text.
    // `dryRun` only asks, as a drag passing over does.
    std::function<bool(const QMimeData* source, bool dryRun)> onAttachments;

    // The text with every paragraph and line separator as "\n"; no-break
    // spaces stay as typed.
    QString text() const;
    // Replaces the whole text (not undoable: used to clear after a send).
    void setText(const QString& text);
    // Replaces [from, to) through the cursor, as one undo step.
    void replaceRange(qsizetype from, qsizetype to, const QString& replacement);

    qsizetype caret() const { return m_caret; }
    // A caret position to apply at once (clamped to the text), then forgotten.
    void setPendingCaret(std::optional<qsizetype> position);
    std::optional<qsizetype> pendingCaret() const { return m_pendingCaret; }

    // The spans drawn heavier; one past the text is skipped. Nothing is redone
    // when both the text and the spans are unchanged.
    void setBoldRanges(const QList<CouncilMentions::Range>& ranges);
    const QList<CouncilMentions::Range>& boldRanges() const { return m_ranges; }

    // The text's height plus the top padding, rounded up, within
    // [minHeight, maxHeight]; changes of half a pixel or less are not kept.
    qreal measuredHeight() const { return m_height; }
    void setMaxHeight(qreal maxHeight);
    // Sets the kept height back (the composer does after a send); the next
    // change of the text measures again.
    void resetMeasuredHeight(qreal height);

signals:
    void textEdited(const QString& text);
    void caretMoved(qsizetype caret);
    void heightMeasured(qreal height);

protected:
    bool canInsertFromMimeData(const QMimeData* source) const override;
    void insertFromMimeData(const QMimeData* source) override;
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    void documentChanged();
    void syncCaret();
    void measure();
    void showAllWhenItFits();
    // Stops or restarts the caret's blinking for the paragraph it is in.
    void updateBlinking();
    void setBlinking(bool blinking);

    MentionHighlighter* m_highlighter = nullptr;
    QList<CouncilMentions::Range> m_ranges;
    // The text the highlighter last formatted for, so the same text and
    // spans a second time cost nothing.
    std::optional<QString> m_highlightedText;
    bool m_inDocumentChange = false;
    QString m_text;
    qsizetype m_caret = 0;
    std::optional<qsizetype> m_pendingCaret;
    qreal m_height = minHeight;
    qreal m_maxHeight = 180;
    // The application's flash time while this editor holds the caret still;
    // only the focused editor blinks, so holding it at 0 touches no other.
    std::optional<int> m_heldFlashTime;
};

} // namespace cvn

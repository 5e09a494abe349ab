#pragma once

// One entry of the chat transcript, drawn for the fixed 797-wide column: a
// user message as an ink bubble at the right with its files above it, an
// assistant reply as open Markdown at the left with its model tag and its
// reasoning section, a failure as an amber-bordered box, and under finished
// messages a row of round action buttons.
//
// Text is painted by the bubble itself; only the Markdown views (with their
// code and table blocks), the files row and the buttons are child widgets,
// each created only while it shows. setTurn() takes a new snapshot of the
// turn and redoes only what changed, so a reply streaming into its bubble
// re-lays out its growing answer and nothing else. The bubble owns no data
// beyond its snapshot and calls back for every action; the transcript that
// creates it sets the callbacks and outlives it. Main thread only.

#include "engine/Turn.h"
#include "ui_kit/Theme.h"

#include <QAbstractButton>
#include <QList>
#include <QRectF>
#include <QTextLayout>
#include <QWidget>

#include <functional>
#include <memory>

namespace cvn {

class MarkdownText;
class SentAttachmentRow;

// A round 28-px message action: its glyph and a circle outline in the action
// tint, clickable inside the circle; its title is the tooltip and the
// accessible name.
class MessageActionButton : public QAbstractButton {
    Q_OBJECT
public:
    enum class Action { copy, edit, resend, remove };
    static constexpr int side = 28;

    MessageActionButton(Action action, QWidget* parent = nullptr);

    Action action() const { return m_action; }
    static QString title(Action action);
    // Draws the action's glyph centred in `frame`.
    static void paintGlyph(QPainter& painter, Action action, const QRectF& frame, const QColor& color);

    QSize sizeHint() const override { return {side, side}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    bool hitButton(const QPoint& pos) const override;

private:
    Action m_action;
};

// The reasoning section's header line up to its copy button: the chevron
// (right when collapsed, down when expanded) and the reasoning label. The
// whole line is the hit area.
class ReasoningToggle : public QAbstractButton {
    Q_OBJECT
public:
    static constexpr QSizeF chevron{12, 7};
    static constexpr int gap = 8;

    explicit ReasoningToggle(QWidget* parent = nullptr);

    void setState(const QString& label, bool expanded);
    bool expanded() const { return m_expanded; }
    // The chevron's rotation in degrees: 0 pointing down, -90 pointing right.
    qreal chevronAngle() const { return m_expanded ? 0 : -90; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool m_expanded = false;
};

class MessageBubble : public QWidget {
    Q_OBJECT
public:
    using Turn = cvn::Turn;
    using Action = MessageActionButton::Action;

    // The column every bubble is laid out for.
    static constexpr int columnWidth = 797;
    // User rows: padding 6 / 48 / 14 / 30, the bubble at most 523 wide.
    static constexpr int userMaxWidth = 523;
    static constexpr qreal userRadius = 34.5;
    static constexpr qreal lineSpacing = 3.4;
    // Assistant rows: padding 6 / 23 / 16 / 48.
    static constexpr int assistantLeading = 23;
    static constexpr int reasoningMaxWidth = 595;
    static constexpr qreal reasoningRadius = 19;
    static constexpr int failureMaxWidth = 560;
    static constexpr qreal failureRadius = 19;
    static constexpr int actionSpacing = 10;

    static constexpr DynamicColor reasoningBackground = Theme::dynamicColor(0xF0F0F0, 0x3C3C3D);
    static constexpr DynamicColor reasoningTint = Theme::dynamicColor(0x29292A, 0xFFFFFF, 0.7);
    // Ink at 60 % in the light look, white at 40 % in the dark.
    static QColor actionTint();

    enum class Layout { failure, user, assistant };

    // The most characters of one text that a bubble lays out. A longer
    // message shows its beginning and then endingLine(); the turn keeps the
    // whole text, and copying it copies all of it.
    static constexpr qsizetype shownCharacters = 100'000;
    static QString endingLine();
    // The part of `text` a bubble shows: all of it, or its first
    // shownCharacters characters without splitting a surrogate pair.
    static QString shownPart(const QString& text, bool* cut = nullptr);

    // A height for the turn at the column's width, from its text alone:
    // cheap, and corrected once the bubble is made and laid out.
    static int estimatedHeight(const Turn& turn);
    // Whether two snapshots of a turn show the same thing.
    static bool showsSame(const Turn& a, const Turn& b);

    explicit MessageBubble(const Turn& turn, QWidget* parent = nullptr);
    ~MessageBubble() override;

    // Takes a new snapshot of the turn; returns false when nothing shown changed.
    bool setTurn(const Turn& turn);
    const Turn& turn() const { return m_turn; }
    void setActionsEnabled(bool enabled);

    std::function<void()> onCopy;
    std::function<void()> onEdit;
    std::function<void()> onResend;
    std::function<void()> onDelete;
    std::function<void()> onToggleReasoning;
    std::function<void()> onCopyReasoning;

    // The corner radius of a user bubble of this measured height (0: not
    // measured yet).
    static qreal cornerRadiusFor(qreal height);

    Layout layoutKind() const;
    // The action buttons in order; empty while no row shows.
    QList<MessageActionButton*> actionButtons() const { return m_actions; }
    // What shows, in this widget's coordinates (null rectangles when absent).
    QRectF userBubbleRect() const { return m_userBubble; }
    QRectF failureBoxRect() const { return m_failureBox; }
    QRectF reasoningRect() const { return m_reasoningBox; }
    QRectF tagRect() const { return m_tag; }
    QRectF placeholderRect() const { return m_placeholder; }
    // The ending line under a text shown in part (null when all shows).
    QRectF endingLineRect() const { return m_ending; }
    QRectF reasoningEndingLineRect() const { return m_reasoningEnding; }
    SentAttachmentRow* filesRow() const { return m_files; }
    MarkdownText* answer() const { return m_answer; }
    MarkdownText* reasoningBody() const { return m_reasoningBody; }
    ReasoningToggle* reasoningToggle() const { return m_toggle; }
    QAbstractButton* reasoningCopyButton() const { return m_reasoningCopy; }
    // The typed text of a user message, as the bubble shows it.
    const QString& userText() const { return m_userText; }

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override { return {columnWidth, heightForWidth(columnWidth)}; }

    // The placeholder of an empty streaming reply.
    static QString thinkingText() { return QStringLiteral("THINKING..."); }
    // What the empty streaming reply shows: how far the work before its
    // first word has come, else what it waits for, else thinking.
    QString placeholderText() const
    {
        if (!m_turn.progress.isEmpty())
            return m_turn.progress;
        return m_turn.waitingFor.isEmpty() ? thinkingText() : m_turn.waitingFor;
    }
    static QString failureSign() { return QStringLiteral("⚠"); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    struct Wrapped; // a painted paragraph
    void rebuild(const Turn& previous, bool first);
    void syncActions();
    // Lays every part out at `width`; returns the height.
    int arrange(int width) const;
    void placeChildren();

    Turn m_turn;
    bool m_actionsEnabled = true;
    QString m_userText;
    SentAttachmentRow* m_files = nullptr;
    MarkdownText* m_answer = nullptr;
    MarkdownText* m_reasoningBody = nullptr;
    ReasoningToggle* m_toggle = nullptr;
    QAbstractButton* m_reasoningCopy = nullptr;
    QList<MessageActionButton*> m_actions;
    std::unique_ptr<Wrapped> m_text; // the user text or the failure message
    bool m_textCut = false;          // the user text or the answer shows in part
    bool m_reasoningCut = false;

    // Results of arrange(), for the last width.
    mutable int m_arrangedWidth = -1;
    mutable int m_height = 0;
    mutable QRectF m_userBubble, m_failureBox, m_reasoningBox, m_tag, m_placeholder, m_answerRect,
        m_reasoningHeader, m_reasoningBodyRect, m_filesRect, m_actionRow, m_ending, m_reasoningEnding;
    mutable QPointF m_textOrigin, m_signOrigin;
};

} // namespace cvn

#pragma once

// The edit dialog of a sent message: a muted title, a multi-line field and
// "CANCEL" / "SAVE" in the kit's 500-wide dialog card.
//
// A stored user message may carry its files' text ahead of what was typed;
// only the typed part is offered for editing, and the file blocks go back in
// front of the edited text byte for byte on save. The field keeps line
// breaks and grows with its text up to a height, then scrolls. Its limit is
// `maxLength` user-perceived characters, but never below the length of the
// text it starts with, so opening a long message and typing never cuts it.
//
// A message may be a megabyte long, so the work of a key is bounded by what
// it changes: the dialog keeps its own copy of the text and its count of
// characters up to date change by change. Typed, pasted, dropped or composed
// characters past the limit are refused before they reach the field, as
// many as do not fit, from the end of what comes. Whatever still takes the
// text past the limit (a removed joiner that splits one character in two)
// is cut back at once, first what the change put in, then the characters
// after the first `limit`; the undo history starts again there.
//
// onSave gets the whole new message (file blocks included); onCancel runs for
// "CANCEL", the scrim and Escape. Like the kit's dialogs it never hides
// itself. Create it as a child of the widget it covers. Main thread only.

#include "ui_kit/TextEntryDialog.h"

#include <QString>

#include <functional>

class QPlainTextEdit;

namespace cvn {

class EditMessageDialog : public TextEntryDialog {
    Q_OBJECT
public:
    static constexpr int minFieldHeight = 38;
    static constexpr int maxFieldHeight = 240;

    EditMessageDialog(const QString& title, const QString& message, int maxLength,
                      std::function<void(const QString&)> onSave, std::function<void()> onCancel, QWidget* parent);

    // The attachment blocks kept ahead of the edited text; empty without files.
    const QString& head() const { return m_head; }
    QString typedText() const;
    // What SAVE hands on: the head, then the typed text.
    QString message() const { return m_head + typedText(); }
    int limit() const { return m_limit; }
    // The user-perceived characters of typedText().
    qsizetype characterCount() const { return m_count; }

    QPlainTextEdit* field() const { return m_edit; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    // Takes one change of the field's document into m_typed and m_count.
    void takeChange(int position, int removed, int added);
    void edited();
    void fitField();
    // Lays out the blocks changed since the last fit, until they hold
    // `enough` lines.
    void layOutChanges(int enough);

    // The character count if [from, to) of the typed text were `with`,
    // found from the characters around the change alone.
    qsizetype countIfReplaced(qsizetype from, qsizetype to, QStringView with) const;
    // The longest start of `text`, in whole characters, that may replace
    // [from, to) within the limit.
    QString fitting(qsizetype from, qsizetype to, const QString& text) const;
    void cutToLimit();
    // Where the last n characters of the typed text start.
    qsizetype startOfLast(qsizetype n) const;
    void remove(qsizetype from, qsizetype to);

    QString m_head;
    int m_limit;
    // The field's text as typedText() gives it, and its characters.
    QString m_typed;
    qsizetype m_count = 0;
    bool m_nonBlank = false;
    // Where the last change put text in, and how much.
    qsizetype m_insertedAt = 0;
    qsizetype m_inserted = 0;
    // The stretch changed since the field was last fitted: from
    // m_changedFrom to m_changedTail characters before the end, counted from
    // the end so that a later change before it leaves it where it is. At
    // first the whole text.
    qsizetype m_changedFrom = 0;
    qsizetype m_changedTail = 0;
    bool m_cutting = false;
    QPlainTextEdit* m_edit;
};

} // namespace cvn

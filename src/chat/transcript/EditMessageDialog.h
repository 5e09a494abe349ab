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

    QPlainTextEdit* field() const { return m_edit; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void edited();
    void fitField();

    QString m_head;
    int m_limit;
    bool m_cutting = false;
    QPlainTextEdit* m_edit;
};

} // namespace cvn

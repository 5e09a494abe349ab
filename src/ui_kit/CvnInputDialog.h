#pragma once

#include "ui_kit/TextEntryDialog.h"

#include <QString>

#include <functional>

class QLineEdit;

namespace cvn {

// Asks for one line of text (a new name, an edited message): a muted title,
// an outlined field and the pills "CANCEL" and "SAVE" in the 500-wide dialog
// card. The field starts with `text` and has the keyboard when the dialog
// opens.
//
// With `maxLength` of 1 or more, any edit or paste that makes the text longer
// than `maxLength` user-perceived characters cuts it back to its first
// `maxLength` characters; an emoji of several code points or a letter with
// combining marks counts as one and is never split. 0 or less: no limit.
//
// "SAVE" is disabled while the text is empty or only whitespace; it hands
// onSave the text as typed, spaces included. Return does nothing. onCancel
// runs for "CANCEL", a click on the scrim and Escape; the edits are then
// dropped. The dialog never hides itself: the owner removes it in the
// callbacks, with deleteLater().
//
// Create it as a child of the widget it covers. Main thread only.
class CvnInputDialog : public TextEntryDialog {
    Q_OBJECT
public:
    CvnInputDialog(const QString& title, const QString& text, int maxLength,
                   std::function<void(const QString&)> onSave, std::function<void()> onCancel, QWidget* parent);

    QString text() const;
    int maxLength() const { return m_maxLength; }

    QLineEdit* field() const { return m_edit; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void textEdited(const QString& text);

    int m_maxLength;
    QLineEdit* m_edit;
};

} // namespace cvn

#pragma once

#include "ui_kit/TextEntryDialog.h"

#include <QString>

#include <functional>

namespace cvn {

class CvnTextArea;

// Asks for a text of several lines that may also be left empty (a chat's
// instructions): a muted title, the kit's multi-line field with a placeholder
// for what an empty text means, and "CANCEL" / "SAVE" in the 500-wide dialog
// card. SAVE is always enabled and hands onSave the text as typed; onCancel
// runs for "CANCEL", the scrim and Escape. The field holds at most `limit`
// user-perceived characters (CvnTextArea) and has the keyboard when the
// dialog opens. Like every kit dialog it never hides itself. Create it as a
// child of the widget it covers. Main thread only.
class CvnTextAreaDialog : public TextEntryDialog {
    Q_OBJECT
public:
    static constexpr int kFieldHeight = 180;

    CvnTextAreaDialog(const QString& title, const QString& text, const QString& placeholder, int limit,
                      std::function<void(const QString&)> onSave, std::function<void()> onCancel, QWidget* parent);

    CvnTextArea* field() const { return m_field; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    CvnTextArea* m_field;
};

} // namespace cvn

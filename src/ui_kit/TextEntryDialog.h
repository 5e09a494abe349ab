#pragma once

#include "ui_kit/ModalOverlay.h"

#include <QString>

#include <functional>

namespace cvn {

class CvnButton;
class DialogCard;
class DialogText;

// What the dialogs that ask for text share: a muted title, an outline pill
// frame for the field and the pills "CANCEL" and "SAVE" in the kit's 500-wide
// dialog card. The field itself, what SAVE hands on and when it is enabled
// are the subclass's.
//
// A subclass builds in this order: its field laid out inside fieldFrame(),
// then addButtons(), then setCard(dialogCard()). onCancel runs for "CANCEL",
// a click on the scrim and Escape. Like every kit dialog it never hides
// itself. Main thread only.
class TextEntryDialog : public ModalOverlay {
    Q_OBJECT
public:
    static constexpr qreal kFieldRadius = 19;

    DialogCard* dialogCard() const { return m_card; }
    DialogText* titleText() const { return m_title; }
    QWidget* fieldFrame() const { return m_frame; }
    CvnButton* saveButton() const { return m_save; }
    CvnButton* cancelButton() const { return m_cancel; }

protected:
    // Builds the card up to the empty field frame, which has no layout yet.
    TextEntryDialog(const QString& title, QWidget* parent);

    // Adds the button row below the field; `save` runs on every click of
    // "SAVE", `onCancel` (when set) on every cancel.
    void addButtons(std::function<void()> save, std::function<void()> onCancel);

private:
    DialogCard* m_card;
    DialogText* m_title;
    QWidget* m_frame;
    CvnButton* m_save = nullptr;
    CvnButton* m_cancel = nullptr;
};

} // namespace cvn

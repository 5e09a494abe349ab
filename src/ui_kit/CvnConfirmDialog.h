#pragma once

#include "ui_kit/ModalOverlay.h"

#include <QString>

#include <functional>
#include <optional>

namespace cvn {

class CvnButton;
class DialogCard;
class DialogText;

// Asks the user to confirm an action: a muted title, an optional body line,
// and at the trailing end an optional cancel pill and the confirm pill, red
// when the action destroys something. In the 500-wide dialog card.
//
// onCancel runs for the cancel pill, a click on the scrim and Escape, also
// when there is no cancel pill. The dialog never hides itself: the owner
// removes it in the callbacks, with deleteLater() since a callback runs
// inside one of the dialog's own event handlers.
//
// Create it as a child of the widget it covers. Main thread only.
class CvnConfirmDialog : public ModalOverlay {
    Q_OBJECT
public:
    // An empty `body` leaves no line and no gap for it.
    CvnConfirmDialog(const QString& title, const QString& body, const QString& confirmText,
                     std::optional<QString> cancelText, bool destructive, std::function<void()> onConfirm,
                     std::function<void()> onCancel, QWidget* parent);

    DialogCard* dialogCard() const { return m_card; }
    DialogText* titleText() const { return m_title; }
    DialogText* bodyText() const { return m_body; }           // null for an empty body
    CvnButton* confirmButton() const { return m_confirm; }
    CvnButton* cancelButton() const { return m_cancel; }      // null without cancelText

private:
    DialogCard* m_card;
    DialogText* m_title;
    DialogText* m_body = nullptr;
    CvnButton* m_confirm;
    CvnButton* m_cancel = nullptr;
};

} // namespace cvn

#pragma once

#include "ui_kit/ModalOverlay.h"

#include <functional>

namespace cvn {

class CvnButton;
class DialogCard;

// Explains council mode the first time the user turns it on: how to address
// one model with an @ mention, how to address several, and why the answers
// come one after another. Three sections (a small muted heading, a wrapping
// text, and for the first two a monospaced example box the card's width),
// then "UNDERSTAND" at the trailing end, in the 500-wide dialog card.
//
// onDismiss runs for "UNDERSTAND", a click on the scrim and Escape. Whether
// the introduction was shown before is the caller's concern. The dialog never
// hides itself: the owner removes it in onDismiss, with deleteLater().
//
// Create it as a child of the widget it covers. Main thread only.
class CouncilIntroDialog : public ModalOverlay {
    Q_OBJECT
public:
    CouncilIntroDialog(std::function<void()> onDismiss, QWidget* parent);

    DialogCard* dialogCard() const { return m_card; }
    CvnButton* understandButton() const { return m_understand; }

private:
    DialogCard* m_card;
    CvnButton* m_understand;
};

} // namespace cvn

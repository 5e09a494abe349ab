#pragma once

#include "screens/BottomCardOverlay.h"

#include <functional>

namespace cvn {

class CvnButton;

// The overlay in which the user says what kind of file to attach: a 667-wide
// card captioned "ATTACH" with "ATTACH FILE" (documents, onChoose(true)) and
// "IMAGE" (pictures, onChoose(false)). The backdrop and Escape report
// onDismiss. Owns only its widgets and never closes itself; the main view
// removes it and opens the file panel. Main thread only.
class AttachSheetOverlay : public BottomCardOverlay {
    Q_OBJECT
public:
    static constexpr int kButtonWidth = 282;

    AttachSheetOverlay(std::function<void(bool)> onChoose, std::function<void()> onDismiss, QWidget* parent);

    CvnButton* fileButton() const { return m_file; }
    CvnButton* imageButton() const { return m_image; }

private:
    CvnButton* m_file;
    CvnButton* m_image;
};

} // namespace cvn

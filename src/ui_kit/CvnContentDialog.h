#pragma once

#include "ui_kit/ModalOverlay.h"

#include <QString>

#include <functional>
#include <optional>

class QScrollArea;

namespace cvn {

class CvnButton;
class DialogText;

// A wide dialog hosting a caller's view (a form): a centred title, the view
// in a scrolling area as tall as the view up to 440, and a row of a cancel
// and a save pill at the trailing end. The area never makes the card taller
// than the window less a margin, so the buttons stay reachable in a short
// window; the area scrolls instead.
//
// The view is measured with heightForWidth (or its size hint) at the area's
// width, and again whenever its layout changes (a section shown or hidden).
//
// onCancel runs for the cancel pill, a click on the scrim and Escape (also
// while a field of the form has the keyboard). The dialog never hides
// itself: the owner removes it in the callbacks, with deleteLater() since a
// callback runs inside one of the dialog's own event handlers.
//
// Create it as a child of the widget it covers; it follows that widget's size.
// Main thread only.
class CvnContentDialog : public ModalOverlay {
    Q_OBJECT
public:
    static constexpr int kWidth = 667;
    static constexpr qreal kRadius = 39;
    static constexpr QMargins kPadding{33, 26, 33, 33};
    static constexpr int kMaxBodyHeight = 440;
    // Room kept between the card and the window's top and bottom edges.
    static constexpr int kWindowMargin = 24;

    // Takes ownership of `body`. Without `cancelText` there is no cancel pill.
    CvnContentDialog(const QString& title, QWidget* body, std::function<void()> onSave,
                     std::function<void()> onCancel, const QString& saveText,
                     std::optional<QString> cancelText, QWidget* parent);

    QWidget* body() const { return m_body; }
    QScrollArea* bodyArea() const { return m_area; }
    CvnButton* saveButton() const { return m_save; }
    CvnButton* cancelButton() const { return m_cancel; } // null without cancelText
    DialogText* titleText() const { return m_title; }

    // The body's height at the area's width, as last measured.
    int measuredBodyHeight() const { return m_measured; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void measureBody();
    void fitArea();

    QWidget* m_body;
    QScrollArea* m_area;
    DialogText* m_title;
    CvnButton* m_save;
    CvnButton* m_cancel = nullptr;
    int m_measured = 0;
    bool m_measuring = false;
};

} // namespace cvn

#pragma once

// Ctrl+Shift+D anywhere in the application flips "debug.showRuntimePanel".
// Installed on the application, so it sees the key before the focused
// widget; the chord is swallowed, so a text field never receives it. Any
// further modifier (Alt, Meta, keypad) lets the key through unchanged.
// Main thread only.

#include <QObject>

namespace cvn {

class DebugShortcut : public QObject {
public:
    explicit DebugShortcut(QObject* parent = nullptr);

    static bool isToggleChord(int key, Qt::KeyboardModifiers modifiers);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

} // namespace cvn

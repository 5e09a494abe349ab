#pragma once

#include "screens/SettingsPageKit.h"

#include <functional>

namespace cvn {

// Reads "appearance.mode" and puts it in force: "light" and "dark" fix the
// look, anything else follows the desktop. Every widget repaints, so the
// whole window changes at once. Main thread.
void applyAppearance();

// The appearance page: a THEME card with the rows "Light" and "Dark". A press
// stores "light" or "dark" under "appearance.mode" and applies it at once;
// the check mark sits on the row whose text matches the stored one exactly,
// and follows every later write of the setting. Owns only its widgets.
// Main thread only.
class AppearancePage : public QWidget {
    Q_OBJECT
public:
    explicit AppearancePage(std::function<void()> onBack, QWidget* parent = nullptr);

    SettingsPageFrame* frame() const { return m_frame; }
    SettingsCard* themeCard() const { return m_card; }
    CardRowButton* lightRow() const { return m_light; }
    CardRowButton* darkRow() const { return m_dark; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void choose(const QString& stored);
    void markCurrent();

    SettingsPageFrame* m_frame;
    SettingsCard* m_card;
    CardRowButton* m_light;
    CardRowButton* m_dark;
};

} // namespace cvn

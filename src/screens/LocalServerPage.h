#pragma once

#include "screens/SettingsPageKit.h"
#include "ui_kit/CvnInputDialog.h"

#include <QPointer>

#include <functional>

namespace cvn {

class CvnButton;
class CvnCardToggle;

// The local server's page: the switch that serves the models to other
// programs on this computer, its port, its optional key, the base URL those
// programs use, and what the server is doing now. The page only writes the
// "localServer.*" settings; whoever runs the server follows them and hands
// its state back through setStateText(). Main thread only.
class LocalServerPage : public QWidget {
    Q_OBJECT
public:
    explicit LocalServerPage(std::function<void()> onBack, QWidget* parent = nullptr);

    // A new key: 32 random hexadecimal digits after "cvn-".
    static QString randomKey();

    void setStateText(const QString& text);
    // The port dialog's save: a whole number from 1 to 65535 is stored and
    // closes the dialog; anything else leaves it open.
    bool savePort(const QString& text);

    SettingsPageFrame* frame() const { return m_frame; }
    CvnCardToggle* toggle() const { return m_toggle; }
    OneLineText* stateLine() const { return m_state; }
    OneLineText* portValue() const { return m_port; }
    OneLineText* keyValue() const { return m_key; }
    OneLineText* urlValue() const { return m_url; }
    CvnButton* changePortButton() const { return m_changePort; }
    CvnButton* newKeyButton() const { return m_newKey; }
    CvnButton* removeKeyButton() const { return m_removeKey; }
    CvnButton* copyButton() const { return m_copy; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void showSettings();
    void askPort();
    void closePortDialog();

    SettingsPageFrame* m_frame;
    CvnCardToggle* m_toggle;
    OneLineText* m_state;
    OneLineText* m_port;
    OneLineText* m_key;
    OneLineText* m_url;
    CvnButton* m_changePort;
    CvnButton* m_newKey;
    CvnButton* m_removeKey;
    CvnButton* m_copy;
    QPointer<CvnInputDialog> m_portDialog;
};

} // namespace cvn

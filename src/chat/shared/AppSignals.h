#pragma once

// The application's notifications, as signals of one hub: the menus, the URL
// handler and the screens post here instead of knowing each other. One hub
// per process, living on the main thread; emit and connect there only.

#include <QObject>
#include <QString>

namespace cvn {

class AppSignals : public QObject {
    Q_OBJECT
public:
    // The notification names, for logs and for code that speaks of them.
    static inline const QString newChatName = QStringLiteral("org.corvanthelis.newChat");
    static inline const QString openSettingsPageName = QStringLiteral("org.corvanthelis.openSettingsPage");
    static inline const QString showToastName = QStringLiteral("org.corvanthelis.showToast");

    static AppSignals& instance();

signals:
    void newChat();
    void openSettingsPage();
    // Shown as an information toast by the chat screen while it is on screen.
    void showToast(const QString& message);

private:
    AppSignals() = default;
};

} // namespace cvn

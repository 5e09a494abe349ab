#pragma once

#include "screens/SettingsPageKit.h"

#include <QUrl>

#include <functional>

namespace cvn {

// The settings page: rows that lead to the appearance, models, hardware
// and chats pages, the version, and links to the product website. It holds no
// setting itself and owns nothing beyond its widgets; the main view builds it
// each time it is shown and replaces it when one of its actions runs.
// Main thread only.
class SettingsPage : public QWidget {
    Q_OBJECT
public:
    using OpenUrl = std::function<void(const QUrl&)>;

    struct Link {
        QString label;
        QString path;
    };
    // "Docs", "Terms", "Privacy", "Licences", in this order.
    static const QList<Link>& links();
    // The website the links point at, fixed by the build.
    static QString websiteBase();

    // `openUrl` hands a link to the desktop; empty: the system's browser.
    SettingsPage(std::function<void()> onClose, std::function<void()> onAppearance, std::function<void()> onModels,
                 std::function<void()> onHardware, std::function<void()> onChats, OpenUrl openUrl = {},
                 QWidget* parent = nullptr);

    SettingsPageFrame* frame() const { return m_frame; }
    SettingsCard* generalCard() const { return m_general; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    SettingsPageFrame* m_frame;
    SettingsCard* m_general;
};

} // namespace cvn

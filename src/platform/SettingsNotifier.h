#pragma once

#include <QObject>
#include <QString>

namespace cvn {

// Tells the interface that a setting was written, so every screen that shows
// one redraws at once instead of polling. AppSettings posts here after each
// write or removal; the signal is always emitted on the main thread, whichever
// thread wrote the value.
class SettingsNotifier : public QObject {
    Q_OBJECT
public:
    static SettingsNotifier& instance();

    // Emits changed(key) on the main thread: now when called there, else
    // after the current event of the main loop.
    static void post(const QString& key);

signals:
    void changed(const QString& key);

private:
    SettingsNotifier() = default;
};

} // namespace cvn

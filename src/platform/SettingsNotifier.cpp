#include "platform/SettingsNotifier.h"
#include "platform/MainThread.h"

#include <QCoreApplication>

namespace cvn {

SettingsNotifier& SettingsNotifier::instance()
{
    static SettingsNotifier* notifier = [] {
        auto* n = new SettingsNotifier;
        // Receivers connect from the main thread; the object belongs there
        // even when a worker wrote the first setting.
        if (QCoreApplication* app = QCoreApplication::instance())
            n->moveToThread(app->thread());
        return n;
    }();
    return *notifier;
}

void SettingsNotifier::post(const QString& key)
{
    if (isMainThread()) {
        emit instance().changed(key);
        return;
    }
    runOnMain([key] { emit instance().changed(key); });
}

} // namespace cvn

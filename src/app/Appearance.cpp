#include "app/Appearance.h"

#include "platform/AppSettings.h"
#include "platform/SettingsNotifier.h"

#include <QApplication>
#include <QWidget>

namespace cvn {

AppearanceMode storedAppearanceMode()
{
    const QVariant stored = AppSettings::value(QString::fromLatin1(AppSettings::appearanceMode));
    const QString text = stored.typeId() == QMetaType::QString ? stored.toString() : QString();
    if (text == QLatin1String("light"))
        return AppearanceMode::Light;
    if (text == QLatin1String("dark"))
        return AppearanceMode::Dark;
    return AppearanceMode::System;
}

void applyAppearanceSetting()
{
    // Theme reads the platform's own window colour on first use; it must do
    // so before the application palette below replaces it.
    Theme::systemAppearance();
    Theme::setAppearanceMode(storedAppearanceMode());
    QApplication::setPalette(Theme::palette(Theme::Surface::Page, Theme::appearance()));
    for (QWidget* widget : QApplication::allWidgets())
        widget->update();
}

void followAppearanceSetting()
{
    applyAppearanceSetting();
    QObject::connect(&SettingsNotifier::instance(), &SettingsNotifier::changed, qApp, [](const QString& key) {
        if (key == QLatin1String(AppSettings::appearanceMode))
            applyAppearanceSetting();
    });
}

} // namespace cvn

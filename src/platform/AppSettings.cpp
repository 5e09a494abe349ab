#include "platform/AppSettings.h"
#include "platform/SettingsNotifier.h"
#include "platform/SystemInfo.h"

#include <QHash>
#include <QMutex>
#include <QSettings>

#include <algorithm>

namespace cvn {

namespace {

QMutex defaultsLock;

QHash<QString, QVariant>& registeredDefaults()
{
    static QHash<QString, QVariant> defaults;
    return defaults;
}

QSettings store()
{
    return QSettings(QStringLiteral("Corvanthelis"), QStringLiteral("Corvanthelis"));
}

} // namespace

void AppSettings::registerDefaults()
{
    registerDefaults(processorCount());
}

void AppSettings::registerDefaults(int processors)
{
    QMutexLocker lock(&defaultsLock);
    auto& defaults = registeredDefaults();
    defaults.insert(QString::fromLatin1(appearanceMode), QStringLiteral("system"));
    defaults.insert(QString::fromLatin1(metalOffload), false);
    defaults.insert(QString::fromLatin1(threadCountKey), std::min(2, std::max(processors, 1)));
    defaults.insert(QString::fromLatin1(showRuntimePanel), false);
    defaults.insert(QString::fromLatin1(localServerEnabled), false);
    defaults.insert(QString::fromLatin1(localServerPort), 47830);
    defaults.insert(QString::fromLatin1(localServerApiKey), QString());
}

QVariant AppSettings::value(const QString& key)
{
    {
        const QSettings settings = store();
        if (settings.contains(key))
            return settings.value(key);
    }
    QMutexLocker lock(&defaultsLock);
    return registeredDefaults().value(key);
}

bool AppSettings::boolValue(const QString& key)
{
    const QVariant v = value(key);
    return v.isValid() && v.toBool();
}

void AppSettings::setValue(const QString& key, const QVariant& value)
{
    {
        QSettings settings = store();
        settings.setValue(key, value);
    }
    SettingsNotifier::post(key);
}

void AppSettings::remove(const QString& key)
{
    {
        QSettings settings = store();
        settings.remove(key);
    }
    SettingsNotifier::post(key);
}

int AppSettings::threadCount()
{
    return threadCount(processorCount());
}

int AppSettings::threadCount(int processors)
{
    bool ok = false;
    qlonglong stored = value(QString::fromLatin1(threadCountKey)).toLongLong(&ok);
    if (!ok)
        stored = 0;
    const qlonglong wanted = stored >= 1 ? stored : 2;
    return static_cast<int>(std::min<qlonglong>(wanted, std::max(processors, 1)));
}

} // namespace cvn

#include "platform/AppSettings.h"
#include "platform/SettingsNotifier.h"
#include "platform/SystemInfo.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QSettings>

#include <algorithm>
#include <functional>

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

constexpr QFileDevice::Permissions kOwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                | QFileDevice::ReadUser | QFileDevice::WriteUser;

// The file holds the local server's key, so only its owner may read it.
// QSettings writes a new file beside the old one and keeps the old one's
// mode, so the file is made private before the first write, and set so
// after each (a file an older version left readable included).
void write(const std::function<void(QSettings&)>& change)
{
    QSettings settings = store();
    const QString path = settings.fileName();
    if (!QFileInfo::exists(path) && QDir().mkpath(QFileInfo(path).absolutePath())) {
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.setPermissions(kOwnerOnly);
    }
    change(settings);
    settings.sync();
    if ((QFile::permissions(path) & ~kOwnerOnly).toInt() != 0)
        QFile::setPermissions(path, kOwnerOnly);
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
    defaults.insert(QString::fromLatin1(promptCacheMemoryMb), qlonglong(promptCacheMemoryDefaultMb(readMemoryFigures())));
    defaults.insert(QString::fromLatin1(promptCacheDiskMb), qlonglong(promptCacheDiskDefaultMb));
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

uint64_t AppSettings::promptCacheMemoryDefaultMb(const std::optional<MemoryFigures>& memory)
{
    constexpr uint64_t most = 2048;
    return memory ? std::min(most, memory->freeMb / 4) : most;
}

bool AppSettings::boolValue(const QString& key)
{
    const QVariant v = value(key);
    return v.isValid() && v.toBool();
}

void AppSettings::setValue(const QString& key, const QVariant& value)
{
    write([&](QSettings& settings) { settings.setValue(key, value); });
    SettingsNotifier::post(key);
}

void AppSettings::remove(const QString& key)
{
    write([&](QSettings& settings) { settings.remove(key); });
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

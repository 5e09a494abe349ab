#pragma once

#include "platform/SystemInfo.h"

#include <QString>
#include <QVariant>

#include <cstdint>
#include <optional>

namespace cvn {

// The user's settings: QSettings in the config folder ("Corvanthelis" under
// XDG_CONFIG_HOME), plus defaults registered at start-up that answer for keys
// never written. QSettings has no such layer of its own, so every read goes
// through here. Safe to call from any thread.
class AppSettings {
public:
    static constexpr const char* appearanceMode = "appearance.mode";
    static constexpr const char* metalOffload = "hardware.metalOffload";
    static constexpr const char* threadCountKey = "hardware.threadCount";
    static constexpr const char* showRuntimePanel = "debug.showRuntimePanel";
    static constexpr const char* localServerEnabled = "localServer.enabled";
    static constexpr const char* localServerPort = "localServer.port";
    static constexpr const char* localServerApiKey = "localServer.apiKey";
    static constexpr const char* promptCacheMemoryMb = "promptCache.memoryMb";
    static constexpr const char* promptCacheDiskMb = "promptCache.diskMb";

    // Registers "appearance.mode" = "system", "hardware.metalOffload" = false,
    // "hardware.threadCount" = min(2, processors) and
    // "debug.showRuntimePanel" = false, and the local server off on port
    // 47830 without a key, and the reply cache's budgets: 2048 MB of memory
    // (a quarter of the memory available now when that is less) and 4096 MB
    // of disk. Run once at start-up; the overload
    // takes the processor count so tests do not depend on the machine.
    static void registerDefaults();
    static void registerDefaults(int processors);

    // The stored value, else the registered default, else an invalid QVariant.
    static QVariant value(const QString& key);

    // value() as a boolean; a key with neither value reads as false.
    static bool boolValue(const QString& key);

    static void setValue(const QString& key, const QVariant& value);
    static void remove(const QString& key);

    // The reply cache's memory budget when the user set none: 2048 MB, or a
    // quarter of the memory available when that is less.
    static uint64_t promptCacheMemoryDefaultMb(const std::optional<MemoryFigures>& memory);
    static constexpr uint64_t promptCacheDiskDefaultMb = 4096;

    // CPU threads for a model load: the stored "hardware.threadCount" when it
    // is 1 or more, else 2, and never more than the processors (a count below
    // 1 counts as 1). A stored non-number reads as 0.
    static int threadCount();
    static int threadCount(int processors);
};

} // namespace cvn

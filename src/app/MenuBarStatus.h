#pragma once

#include <QString>

#include <optional>

namespace cvn {

// The display name of the model the engine holds, for the tray menu's
// "Current model" line. The main view writes it when the loaded model
// changes; the menu reads it each time it opens. Main thread only.
class MenuBarStatus {
public:
    static std::optional<QString> loadedModelName() { return name(); }
    static void setLoadedModelName(std::optional<QString> value) { name() = std::move(value); }

private:
    static std::optional<QString>& name()
    {
        static std::optional<QString> value;
        return value;
    }
};

} // namespace cvn

#pragma once

#include <QString>

namespace cvn {

// The application's own folder for its data: models, chats.db, bridge.log.
// "<generic data location>/Corvanthelis", i.e. ~/.local/share/Corvanthelis,
// moved by XDG_DATA_HOME. Created when missing; the path is returned even if
// creation fails (callers report the failure when they write).
QString appDataFolder();

} // namespace cvn

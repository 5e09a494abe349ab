#pragma once

#include "Gallery.h"

namespace cvn::gallery {

// The chats drawer: pinned and day sections, a hovered row, the search open
// with matches and with none, and its parts up close. Needs a QApplication.
QList<Sheet> sidebarSheets();

} // namespace cvn::gallery

#pragma once

#include "Gallery.h"

namespace cvn::gallery {

// The runtime debug panel (a fresh start, a busy runtime, a narrow card) and
// the scroll-to-newest button (actual size, enlarged, over a paused
// transcript). Needs a QApplication.
QList<Sheet> debugSheets();

} // namespace cvn::gallery

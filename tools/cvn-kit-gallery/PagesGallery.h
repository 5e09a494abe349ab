#pragma once

#include "Gallery.h"

namespace cvn::gallery {

// The overlays and settings-style pages: the model picker (current pill,
// drawer open, empty, scrolling), the attach sheet, the settings and
// appearance pages, and the hardware page reading and read, with its switch,
// summary lines and GPU offload dialog. Needs a QApplication; reads no real
// settings or hardware.
QList<Sheet> pagesSheets();

} // namespace cvn::gallery

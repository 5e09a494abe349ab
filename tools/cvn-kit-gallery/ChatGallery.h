#pragma once

#include "Gallery.h"

namespace cvn::gallery {

// The chat screen's composer area: the composer empty, with several lines and
// while streaming, in council mode with the mention popup open; the popup on
// its own; toasts of each kind; the empty state. Needs a QApplication.
QList<Sheet> chatSheets();

} // namespace cvn::gallery

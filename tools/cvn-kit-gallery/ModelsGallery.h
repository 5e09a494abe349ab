#pragma once

#include "Gallery.h"

namespace cvn::gallery {

// The models screen (empty, three models, six scrolling, the hover and the
// pinned capacity card), the copy overlay and the model edit form in its
// dialog, automatic and manual with the RAM warning, and the three RAM-fit
// confirmations of an import. Needs a QApplication.
QList<Sheet> modelsSheets();

} // namespace cvn::gallery

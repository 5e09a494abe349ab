#pragma once

#include "Gallery.h"

namespace cvn::gallery {

// The attachment views: the staged strip with a picture and chips at each
// warning level, the status line, and sent rows with and without scrolling.
// Needs a QApplication.
QList<Sheet> attachmentSheets();

} // namespace cvn::gallery

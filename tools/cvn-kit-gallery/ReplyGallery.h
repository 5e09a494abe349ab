#pragma once

#include "Gallery.h"

namespace cvn::gallery {

// A sample reply drawn by MarkdownText (every block kind, a long code block,
// a wide table) in the appearance in force. Needs a QApplication.
QList<Sheet> replySheets();

// The Markdown source of that reply.
QString replySample();

} // namespace cvn::gallery

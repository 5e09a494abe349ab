#pragma once

#include "Gallery.h"

namespace cvn::gallery {

// The transcript: every kind of message bubble (a user message with files, a
// reply streaming, with its reasoning collapsed and expanded, with code and a
// table, a failure, a council answer with its model tag), and a whole chat
// page with a conversation and with the edit dialog open. Needs a
// QApplication.
QList<Sheet> transcriptSheets();

} // namespace cvn::gallery

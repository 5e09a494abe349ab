#pragma once

// The runtime panel over the chat page, built elsewhere, behind one seam: a
// fresh widget each time; the main view owns and replaces it.
//
// Main thread only.

#include <QWidget>

#include <functional>

namespace cvn {

class LlamaSession;

// The runtime panel over the chat page, as a child of `parent`.
QWidget* makeRuntimePanel(LlamaSession& session, QWidget* parent);

} // namespace cvn

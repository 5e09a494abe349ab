#pragma once

// The parts of the main view that are built elsewhere, behind one seam: the
// chat page and the runtime panel. Each function builds a
// fresh widget; the main view owns and replaces it.
//
// Main thread only.

#include <QWidget>

#include <functional>

namespace cvn {

class LlamaSession;
class MainView;

// The chat page over the main view's session, history and stager.
QWidget* makeChatPage(MainView& view);
// The runtime panel over the chat page, as a child of `parent`.
QWidget* makeRuntimePanel(LlamaSession& session, QWidget* parent);

} // namespace cvn

#pragma once

// The pages of the main view that are built elsewhere, behind one seam: the
// chat page, the models page and the runtime panel. Each function builds a
// fresh widget; the main view owns and replaces it.
//
// Main thread only.

#include <QWidget>

#include <functional>

namespace cvn {

class LlamaSession;
class MainView;
class ModelStore;

// The chat page over the main view's session, history and stager.
QWidget* makeChatPage(MainView& view);
// The models page; `onBack` leaves it.
QWidget* makeModelsPage(ModelStore& store, std::function<void()> onBack);
// The runtime panel over the chat page, as a child of `parent`.
QWidget* makeRuntimePanel(LlamaSession& session, QWidget* parent);

} // namespace cvn

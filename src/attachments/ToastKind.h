#pragma once

#include <QString>

#include <functional>

namespace cvn {

// The kind of a toast, as the chat screen's toasts draw them.
enum class ToastKind { info, error };

// How the attachment code reports to the user: a message text and its kind.
// The chat screen supplies one that shows a toast; called on the main thread.
using ToastHandler = std::function<void(const QString& message, ToastKind kind)>;

} // namespace cvn

#pragma once

// One bubble of the transcript as a plain value: who wrote it, what it says,
// whether it is still streaming, and what the model thought on the way.
// The session produces turns, the chat history stores them and the views
// draw them; this header depends on Qt's value types alone, so that storage
// and the views need not know the engine that fills it.

#include "engine/ChatMessage.h"

#include <QString>
#include <QUuid>

#include <cmath>
#include <cstdint>
#include <optional>

namespace cvn {

// Notes and errors are failed assistant turns with empty content; a failed
// turn is never sent to a model.
struct Turn {
    // streaming → complete, or failed carrying the text shown instead of
    // the content. Never back to streaming.
    struct State {
        enum class Kind { streaming, complete, failed };

        Kind kind = Kind::complete;
        QString failureMessage; // failed only

        static State streaming() { return {Kind::streaming, {}}; }
        static State complete() { return {Kind::complete, {}}; }
        static State failed(const QString& message) { return {Kind::failed, message}; }

        bool isStreaming() const { return kind == Kind::streaming; }
        bool isComplete() const { return kind == Kind::complete; }
        bool isFailed() const { return kind == Kind::failed; }

        friend bool operator==(const State&, const State&) = default;
    };

    QUuid id = QUuid::createUuid();
    ChatMessage::Role role = ChatMessage::Role::user;
    QString content;
    State state;
    bool cancelledByUser = false;
    QString reasoning;
    bool reasoningExpanded = false;
    std::optional<int64_t> reasoningDurationMs; // first reasoning text to first answer text
    int64_t reasoningElapsedMs = 0; // since the first reasoning text, while thinking
    std::optional<QString> modelName; // the council member that wrote the reply
    // A reply that waits for the model slot says what for until it starts
    // (another program's request, its model's load); empty otherwise. Never
    // stored.
    QString waitingFor;
    // The images sent with a user message, stored with it.
    QList<ChatImage> images;
    // How far the work before a reply's first word has come ("Reading the
    // conversation… 45%", "Reading the image… 3s"); empty otherwise. Never
    // stored.
    QString progress;

    // "Thought for 2 seconds" once the thinking time is known, else
    // "Thinking... (3s)".
    QString reasoningLabel() const
    {
        if (reasoningDurationMs) {
            if (*reasoningDurationMs == 0)
                return QStringLiteral("Thought");
            const auto seconds = int64_t(std::round(double(*reasoningDurationMs) / 1000.0));
            return QStringLiteral("Thought for %1 second%2").arg(seconds).arg(seconds == 1 ? "" : "s");
        }
        if (reasoningElapsedMs < 1)
            return QStringLiteral("Thinking...");
        return QStringLiteral("Thinking... (%1s)").arg(reasoningElapsedMs / 1000);
    }

    friend bool operator==(const Turn&, const Turn&) = default;
};

} // namespace cvn

#pragma once

// The chat engine that the chat screen and the app shell drive: the bubbles
// of the open conversation and the one reply that may be generating. Lives on
// the main thread.

#include "engine/ChatMessage.h"
#include "engine/ChatTemplate.h"

#include <QObject>
#include <QString>
#include <QUuid>

#include <cstdint>
#include <optional>

namespace cvn {

class LlamaSession : public QObject {
    Q_OBJECT

public:
    // One bubble of the transcript. Notes and errors are failed assistant
    // turns with empty content; a failed turn is never sent to a model.
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

        friend bool operator==(const Turn&, const Turn&) = default;
    };

    // What the debug panel shows of a live session.
    struct Snapshot {
        QString shortId;
        std::optional<QString> modelName;
        int64_t contextSize = 0;
        std::optional<QString> architecture;
        ChatTemplate chatTemplate;
        bool isStreaming = false;
        std::optional<double> tokensPerSecond;

        friend bool operator==(const Snapshot&, const Snapshot&) = default;
    };

    using QObject::QObject;
};

} // namespace cvn

#pragma once

// A reply asked for by another program through the local server rather than
// by the chat window. It goes through the session's one model slot, in turn
// with the chat's replies, and is never part of the transcript.
//
// Threads: the request is built anywhere and handed to the session on the
// main thread. Its pieces and its end are delivered on the model's queue, so
// a waiting server thread hears of each token without the main thread in the
// way. RequestControl may be used from any thread.

#include "engine/ChatMessage.h"
#include "engine/Generation.h"
#include "engine/SamplingParams.h"
#include "models/ModelInfo.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace cvn {

// What a request may set of the sampling; what it leaves unset comes from
// the model's own settings.
struct SamplingOverrides {
    std::optional<float> temperature;
    std::optional<float> topP;
    std::optional<int64_t> maxTokens;
    std::optional<uint32_t> seed;
    QStringList stop;
};

// The model's own choices for a request that makes none of its own.
struct RequestDefaults {
    SamplingParams sampling;
    std::optional<QString> instructions; // the system message when the request has none
};

// The caller's way to end a request: before its turn it never starts; while
// its prompt decodes it ends at the next slice, while it writes at the next
// token.
class RequestControl {
public:
    void cancel()
    {
        std::function<void()> hook;
        {
            std::lock_guard lock(m_mutex);
            m_cancelled = true;
            m_run.cancel();
            hook = std::exchange(m_onCancel, {});
        }
        if (hook)
            hook();
    }
    // Called once, on the thread that cancels (at once when cancelled
    // already): how the request leaves the queue it waits in.
    void whenCancelled(std::function<void()> hook)
    {
        {
            std::lock_guard lock(m_mutex);
            if (!m_cancelled) {
                m_onCancel = std::move(hook);
                return;
            }
        }
        if (hook)
            hook();
    }
    bool isCancelled() const { return m_cancelled.load(); }
    // The run that generates the reply; cancelled at once when the caller
    // has already gone.
    void attach(GenerationHandle run)
    {
        std::lock_guard lock(m_mutex);
        m_run = std::move(run);
        if (m_cancelled)
            m_run.cancel();
    }

private:
    std::mutex m_mutex;
    std::atomic<bool> m_cancelled{false};
    GenerationHandle m_run;
    std::function<void()> m_onCancel;
};

// A function the client offers the model, as its request describes it.
struct ToolSpec {
    QString name;
    QString description;
    QString parameters; // a JSON Schema, as JSON text
};

// The tools of a request, and whether and which the model must call.
struct ToolAsk {
    enum class Choice { automatic, none, required, named };
    QList<ToolSpec> tools; // empty with Choice::none: none is sent
    Choice choice = Choice::automatic;
    QString named; // the function Choice::named forces
    bool parallelCalls = true;
};

// How the reply of a request rendered by llama.cpp's chat code is read back
// into content, reasoning and tool calls (common_chat_parser_params): the
// chat format, the generation prompt and the serialized parser that
// common_chat_templates_apply gave, and whether reasoning is split out.
struct ReplySyntax {
    int format = 0; // a common_chat_format
    std::string generationPrompt;
    std::string parser;
    bool splitReasoning = false;
};

struct ServedRequest {
    // The model to answer with; none means the one in the slot.
    std::optional<ModelInfo> model;
    QList<ChatMessage> messages;
    // A plain prompt, sent as it is, in place of the messages and template.
    std::optional<QString> rawPrompt;
    SamplingOverrides overrides;
    // Set: the prompt is rendered by the model's own chat template from its
    // GGUF file, through llama.cpp's chat code, with these tools (or none),
    // rather than by the template families of the window's chats. Set when
    // the request has tools or its conversation carries tool calls.
    std::optional<ToolAsk> tools;
    // A grammar (GBNF) the whole reply must follow: a response_format's JSON
    // Schema as json_schema_to_grammar converted it. With tools, the chat
    // code gets `jsonSchema` instead and makes its own grammar.
    std::string grammar;
    std::string jsonSchema; // the response_format's schema as JSON text; empty: none
    std::shared_ptr<RequestControl> control = std::make_shared<RequestControl>();

    struct Outcome {
        // refused: the model's chat template cannot render what the request
        // sent (its own checks, a function it does not offer, a schema).
        // grammarStuck: the grammar the request asked for allowed no next token.
        // imagesRefused: the request's images cannot be shown to the model:
        // it takes none ("this model does not take images"), or an image is
        // damaged, too large or no image at all (the message says which).
        enum class Failure {
            none,
            noModel,
            loadFailed,
            promptTooLong,
            refused,
            grammarStuck,
            generationFailed,
            imagesRefused
        };
        Failure failure = Failure::none;
        QString message; // the failure's text
        int64_t promptTokens = 0;
        int64_t completionTokens = 0;
        bool hitTokenLimit = false;
        bool cancelled = false;
        // With `cancelled`: what ended the run would not end the same
        // request sent again (its model's file was written over, the app
        // closed). Otherwise a cancelled run was the user's own stop.
        bool mayRetry = false;
    };
    // On the main thread, as the run starts and before its first piece: the
    // model that answers (the one in the slot when none was asked for).
    std::function<void(const ModelInfo& model)> onAnswering;
    // On the model's queue, once, before the first piece of a request with
    // `tools`: how its reply is to be read.
    std::function<void(const ReplySyntax&)> onSyntax;
    // On the model's queue: one piece of the reply; false ends the run.
    std::function<bool(const QString& piece)> onPiece;
    // Exactly once, on the model's queue, or on the main thread when the
    // request never reached the model.
    std::function<void(const Outcome&)> onFinished;
};

} // namespace cvn

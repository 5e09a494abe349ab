#pragma once

// The prompt of a request with tools, rendered by llama.cpp's chat code with
// the model's own template from its GGUF file: that code knows the native
// tool formats (Hermes and Qwen's <tool_call>, Llama 3.x, Mistral and more).
// A template that knows no tools gets a generic JSON form, built here on the
// chat code's parser and grammar builders (the pinned chat code has none of
// its own and would drop the tools). With the text it settles how the
// reply is sampled (a grammar, maybe lazy, and stop strings) and how it is
// read back (ReplySyntax).
//
// Threads: the model's queue only, where its llama.cpp handles are used.

#include "engine/ChatMessage.h"
#include "engine/SamplingParams.h"
#include "engine/ServedRequest.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>
#include <string>
#include <vector>

struct common_chat_params;
struct common_chat_templates_inputs;
struct common_chat_tool;

namespace cvn {

class LlamaModel;

class ToolPrompt {
public:
    // Throws std::exception when the model's template cannot be read or the
    // ask names a function it does not offer.
    ToolPrompt(const LlamaModel& model, const ToolAsk& ask, const std::string& jsonSchema);
    ~ToolPrompt();

    // The prompt for `messages`, with the opening of the assistant's reply.
    // Throws std::exception when the template refuses them (a bad schema, a
    // tool result without its call, the template's own checks).
    QString render(const QList<ChatMessage>& messages) const;
    // About the same text at a fraction of the cost, for estimates: the
    // template alone, without the chat code's study of its tool format.
    // Nothing where the template refuses the messages.
    QString measure(const QList<ChatMessage>& messages) const;

    struct Settled {
        ReplySyntax syntax;
        ReplyGrammar grammar; // none when the reply is free
        QStringList stops;
    };
    // What the reply to a prompt that render() made follows.
    Settled settle(const QString& prompt) const;

private:
    QString renderWith(const QList<ChatMessage>& messages, bool plain) const;
    // The reply's reading and grammar for the tools in the generic form.
    void holdToGenericCalls(common_chat_params& made) const;
    static Settled settled(const common_chat_params& made);

    const LlamaModel& m_model;
    std::unique_ptr<common_chat_templates_inputs> m_inputs; // all but the messages and generic tools
    // The template writes no tool calls: calls and results are written as
    // text, and the tools offered (m_offered) are told in the system message.
    bool m_generic = false;
    std::vector<common_chat_tool> m_offered;
    bool m_required = false;
    mutable QHash<QString, Settled> m_settled; // by the prompts render() made
};

} // namespace cvn

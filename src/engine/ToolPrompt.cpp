#include "engine/ToolPrompt.h"

#include "engine/LlamaModel.h"

#include <chat.h>
#include <common.h>
#include <log.h>

#include <llama.h>

#include <map>
#include <stdexcept>

namespace cvn {

namespace {

std::string roleName(ChatMessage::Role role)
{
    switch (role) {
    case ChatMessage::Role::system:
        return "system";
    case ChatMessage::Role::user:
        return "user";
    case ChatMessage::Role::assistant:
        return "assistant";
    case ChatMessage::Role::tool:
        return "tool";
    }
    return "user";
}

std::vector<common_chat_msg> chatMessages(const QList<ChatMessage>& messages)
{
    std::vector<common_chat_msg> converted;
    converted.reserve(size_t(messages.size()));
    std::map<std::string, std::string> called; // a call's id, its function
    for (const ChatMessage& message : messages) {
        common_chat_msg msg;
        msg.role = roleName(message.role);
        msg.content = message.content.toStdString();
        for (const ToolCall& call : message.toolCalls) {
            msg.tool_calls.push_back({call.name.toStdString(), call.arguments.toStdString(), call.id.toStdString()});
            called[call.id.toStdString()] = call.name.toStdString();
        }
        if (message.role == ChatMessage::Role::tool) {
            msg.tool_call_id = message.toolCallId.toStdString();
            // Some templates name the function whose result it is.
            if (const auto found = called.find(msg.tool_call_id); found != called.end())
                msg.tool_name = found->second;
        }
        converted.push_back(std::move(msg));
    }
    return converted;
}

// A template's refusal in its own words. The chat code wraps what the
// template raised in an excerpt of its source, which tells the client
// nothing it can act on.
std::string plainRefusal(const std::string& what)
{
    static const std::string errorLine = "\nError: ";
    const size_t at = what.rfind(errorLine);
    if (at == std::string::npos)
        return what;
    std::string reason = what.substr(at + errorLine.size());
    static const std::string raised = "Jinja Exception: ";
    if (reason.rfind(raised, 0) == 0)
        reason.erase(0, raised.size());
    return reason;
}

} // namespace

const common_chat_templates* LlamaModel::chatTemplates() const
{
    if (!m_chatTemplates)
        m_chatTemplates = std::shared_ptr<common_chat_templates>(
            common_chat_templates_init(m_model, std::string()).release(), common_chat_templates_free);
    return m_chatTemplates.get();
}

ToolPrompt::ToolPrompt(const LlamaModel& model, const ToolAsk& ask, const std::string& jsonSchema)
    : m_model(model)
    , m_inputs(std::make_unique<common_chat_templates_inputs>())
{
    common_chat_templates_inputs& inputs = *m_inputs;
    inputs.use_jinja = true;
    inputs.add_generation_prompt = true;
    // Thinking goes to reasoning_content, not into the reply's content.
    inputs.reasoning_format = COMMON_REASONING_FORMAT_DEEPSEEK;
    inputs.json_schema = jsonSchema;
    inputs.parallel_tool_calls = ask.parallelCalls;
    const auto offer = [&inputs](const ToolSpec& tool) {
        inputs.tools.push_back(
            {tool.name.toStdString(), tool.description.toStdString(), tool.parameters.toStdString()});
    };
    switch (ask.choice) {
    case ToolAsk::Choice::none:
        inputs.tool_choice = COMMON_CHAT_TOOL_CHOICE_NONE; // and no tools are sent
        break;
    case ToolAsk::Choice::automatic:
        for (const ToolSpec& tool : ask.tools)
            offer(tool);
        break;
    case ToolAsk::Choice::required:
        for (const ToolSpec& tool : ask.tools)
            offer(tool);
        inputs.tool_choice = COMMON_CHAT_TOOL_CHOICE_REQUIRED;
        break;
    case ToolAsk::Choice::named:
        // The one function offered, and a call required: that call.
        for (const ToolSpec& tool : ask.tools)
            if (tool.name == ask.named)
                offer(tool);
        if (inputs.tools.empty())
            throw std::invalid_argument("no function named \"" + ask.named.toStdString() + "\" among the tools");
        inputs.tool_choice = COMMON_CHAT_TOOL_CHOICE_REQUIRED;
        break;
    }
    // The chat code warns on stderr at each plain rendering (measure()), and
    // of templates it reads in its own way; what fails reaches us as an
    // exception, so only its errors are written.
    static const bool quiet = [] {
        common_log_set_verbosity_thold(LOG_LEVEL_ERROR);
        return true;
    }();
    Q_UNUSED(quiet);
    if (!model.chatTemplates())
        throw std::runtime_error("the model's chat template could not be read");
}

ToolPrompt::~ToolPrompt() = default;

QString ToolPrompt::render(const QList<ChatMessage>& messages) const
{
    return renderWith(messages, false);
}

QString ToolPrompt::measure(const QList<ChatMessage>& messages) const
{
    return renderWith(messages, true);
}

QString ToolPrompt::renderWith(const QList<ChatMessage>& messages, bool plain) const
{
    common_chat_templates_inputs inputs = *m_inputs;
    inputs.messages = chatMessages(messages);
    inputs.force_pure_content = plain;
    common_chat_params made;
    try {
        made = common_chat_templates_apply(m_model.chatTemplates(), inputs);
    } catch (const std::exception& error) {
        // An estimate the template refuses (many insist on a user message,
        // and the frame alone has none) counts as nothing: the prompt
        // itself is measured before it is sent.
        if (plain)
            return QString();
        throw std::runtime_error(plainRefusal(error.what()));
    }
    QString prompt = QString::fromStdString(made.prompt);
    if (!plain)
        m_settled.insert(prompt, settled(made));
    return prompt;
}

ToolPrompt::Settled ToolPrompt::settle(const QString& prompt) const
{
    const auto found = m_settled.constFind(prompt);
    if (found == m_settled.constEnd())
        throw std::logic_error("the prompt was not rendered here");
    return *found;
}

ToolPrompt::Settled ToolPrompt::settled(const common_chat_params& made)
{
    Settled settled;
    settled.syntax = ReplySyntax{int(made.format), made.generation_prompt, made.parser, true};
    for (const std::string& stop : made.additional_stops)
        settled.stops.append(QString::fromStdString(stop));
    ReplyGrammar& grammar = settled.grammar;
    grammar.gbnf = made.grammar;
    grammar.lazy = made.grammar_lazy;
    grammar.preservedTokens = made.preserved_tokens;
    // An eager grammar from the chat code begins with the generation
    // prompt, which the template has already written.
    if (!grammar.lazy)
        grammar.prefill = made.generation_prompt;
    // As llama.cpp's common_sampler_init turns them into the lazy sampler's.
    for (const common_grammar_trigger& trigger : made.grammar_triggers) {
        switch (trigger.type) {
        case COMMON_GRAMMAR_TRIGGER_TYPE_TOKEN:
            grammar.triggerTokens.push_back(trigger.token);
            break;
        case COMMON_GRAMMAR_TRIGGER_TYPE_WORD:
            grammar.triggerPatterns.push_back(regex_escape(trigger.value));
            break;
        case COMMON_GRAMMAR_TRIGGER_TYPE_PATTERN:
            grammar.triggerPatterns.push_back(trigger.value);
            break;
        case COMMON_GRAMMAR_TRIGGER_TYPE_PATTERN_FULL: {
            const std::string& pattern = trigger.value;
            std::string anchored = "^$";
            if (!pattern.empty())
                anchored = (pattern.front() != '^' ? "^" : "") + pattern + (pattern.back() != '$' ? "$" : "");
            grammar.triggerPatterns.push_back(anchored);
            break;
        }
        }
    }
    return settled;
}

} // namespace cvn

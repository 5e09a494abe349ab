#include "engine/ToolPrompt.h"

#include "engine/LlamaModel.h"

#include <chat-peg-parser.h>
#include <chat.h>
#include <common.h>
#include <json-schema-to-grammar.h>
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

// The generic JSON form of calls, for templates that know no tools: the
// reply's calls, and the calls of earlier replies as they are written back.
const std::string kCallsOpen = "{\"tool_calls\":";

std::string callsJson(const std::vector<common_chat_tool_call>& calls)
{
    std::string written = kCallsOpen + " [";
    for (size_t i = 0; i < calls.size(); ++i) {
        // Arguments that are no JSON are kept as the text they are.
        common_json arguments = common_json::parse_no_throw(calls[i].arguments);
        if (arguments.is_discarded())
            arguments = common_json::make(calls[i].arguments);
        written += (i ? ", " : "") + std::string("{\"name\": ") + common_json::make(calls[i].name).dump()
                   + ", \"arguments\": " + arguments.dump() + "}";
    }
    return written + "]}";
}

// Calls and results as text such a template shows: a call in the generic
// form, the results of one turn's calls as one user message (some of these
// templates drop any other role without a word, some refuse two user
// messages in a row).
void writeToolsAsText(std::vector<common_chat_msg>& messages)
{
    std::vector<common_chat_msg> written;
    written.reserve(messages.size());
    bool afterResult = false;
    for (common_chat_msg& msg : messages) {
        const bool result = msg.role == "tool";
        if (result) {
            common_json response = common_json::object();
            response["name"] = msg.tool_name;
            response["content"] = msg.content;
            common_json wrapped = common_json::object();
            wrapped["tool_response"] = response;
            if (afterResult) {
                written.back().content += "\n" + wrapped.dump();
            } else {
                common_chat_msg user;
                user.role = "user";
                user.content = wrapped.dump();
                written.push_back(std::move(user));
            }
        } else {
            if (!msg.tool_calls.empty()) {
                msg.content += (msg.content.empty() ? "" : "\n") + callsJson(msg.tool_calls);
                msg.tool_calls.clear();
            }
            written.push_back(std::move(msg));
        }
        afterResult = result;
    }
    messages = std::move(written);
}

// What the system message tells the model of the tools and the form of a call.
std::string toolsInstructions(const std::vector<common_chat_tool>& tools, bool required, bool parallel)
{
    std::string text = "You can call these functions:\n";
    for (const common_chat_tool& tool : tools) {
        common_json function = common_json::object();
        function["name"] = tool.name;
        function["description"] = tool.description;
        function["parameters"] = common_json::parse(tool.parameters);
        text += function.dump() + "\n";
    }
    text += std::string("\n") + (required ? "You must call a function: answer" : "To call a function, answer")
            + " with only this JSON object: " + kCallsOpen
            + " [{\"name\": \"<function name>\", \"arguments\": {<its arguments>}}]}"
            + (parallel ? " (one or more calls in the list)." : " (one call in the list).");
    return text;
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
    // A template that reads neither tools nor calls gets the generic form:
    // llama.cpp's chat code would render the conversation without the
    // tools, the calls and their results, and sample the reply freely. One
    // that reads either is the chat code's to handle (LFM2 lists its tools
    // and has its own call format). A reply held to a response format has
    // no room for calls, as in the chat code's own.
    if (!model.chatTemplates())
        throw std::runtime_error("the model's chat template could not be read");
    const std::map<std::string, bool> caps = common_chat_templates_get_caps(model.chatTemplates());
    m_generic = !caps.at("supports_tool_calls") && !caps.at("supports_tools");
    if (m_generic) {
        if (jsonSchema.empty()) {
            m_offered = std::move(inputs.tools);
            m_required = inputs.tool_choice == COMMON_CHAT_TOOL_CHOICE_REQUIRED;
        }
        inputs.tools.clear();
        inputs.tool_choice = COMMON_CHAT_TOOL_CHOICE_NONE;
    }
    // The chat code warns on stderr at each plain rendering (measure()), and
    // of templates it reads in its own way; what fails reaches us as an
    // exception, so only its errors are written.
    static const bool quiet = [] {
        common_log_set_verbosity_thold(LOG_LEVEL_ERROR);
        return true;
    }();
    Q_UNUSED(quiet);
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
    if (m_generic) {
        writeToolsAsText(inputs.messages);
        if (!m_offered.empty()) {
            const std::string instructions = toolsInstructions(m_offered, m_required, inputs.parallel_tool_calls);
            auto& first = inputs.messages;
            if (!first.empty() && first.front().role == "system")
                first.front().content += "\n\n" + instructions;
            else
                first.insert(first.begin(), common_chat_msg{.role = "system", .content = instructions});
        }
    }
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
    if (!plain) {
        if (!m_offered.empty())
            holdToGenericCalls(made);
        m_settled.insert(prompt, settled(made));
    }
    return prompt;
}

void ToolPrompt::holdToGenericCalls(common_chat_params& made) const
{
    const common_json tools = common_chat_tools_to_json_oaicompat(m_offered);
    const bool parallel = m_inputs->parallel_tool_calls;
    // Text may come before the calls unless a call is required, and then
    // the grammar holds the reply from the first call on.
    const common_peg_arena parser = build_chat_peg_parser([&](common_chat_peg_builder& p) {
        const common_peg_parser calls
            = p.standard_json_tools(kCallsOpen, "}", tools, parallel, m_required, "name", "arguments", true);
        if (m_required)
            return p.prefix(made.generation_prompt) << calls + p.end();
        return p.prefix(made.generation_prompt) << p.optional(p.content(p.until(kCallsOpen))) + calls + p.end();
    });
    made.format = COMMON_CHAT_FORMAT_PEG_NATIVE;
    made.parser = parser.save();
    made.grammar_lazy = !m_required;
    made.grammar = build_grammar([&](const common_grammar_builder& builder) {
        parser.build_grammar(builder, made.grammar_lazy);
    });
    made.grammar_triggers.clear();
    if (made.grammar_lazy)
        made.grammar_triggers.push_back({COMMON_GRAMMAR_TRIGGER_TYPE_WORD, kCallsOpen});
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

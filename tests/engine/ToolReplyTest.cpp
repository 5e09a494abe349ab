// Replies held to a grammar, and requests with tools rendered and read back
// by llama.cpp's chat code.

#include "engine/LlamaSession.h"

#include "TestModelWriter.h"
#include "TestModels.h"
#include "models/ModelStore.h"
#include "support/Wait.h"

#include <chat.h>
#include <json-schema-to-grammar.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <tuple>

using namespace cvn;
using namespace cvn::test;
using Role = ChatMessage::Role;

namespace {

// An object of three required fields, none of them free text, so that a
// reply held to it ends well within its limit.
constexpr const char* kSchema = R"({"type": "object", "properties": {"name": {"enum": ["ada", "bob"]},
    "age": {"type": "integer"}, "ok": {"type": "boolean"}}, "required": ["name", "age", "ok"],
    "additionalProperties": false})";

bool followsSchema(const QString& text)
{
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8());
    const QJsonObject object = document.object();
    return document.isObject() && object.value(QStringLiteral("name")).isString()
           && object.value(QStringLiteral("age")).isDouble() && object.value(QStringLiteral("ok")).isBool();
}

// Qwen 2.5's template: tools in the system message, calls in <tool_call>
// and results in <tool_response>.
constexpr const char* kQwenTemplate = R"({%- if tools %}
{{- '<|im_start|>system\n' }}{%- if messages[0]['role'] == 'system' %}{{- messages[0]['content'] }}{%- else %}{{- 'You are a helpful assistant.' }}{%- endif %}
{{- "\n\n# Tools\n\nYou may call one or more functions to assist with the user query.\n\nYou are provided with function signatures within <tools></tools> XML tags:\n<tools>" }}
{%- for tool in tools %}{{- "\n" }}{{- tool | tojson }}{%- endfor %}
{{- "\n</tools>\n\nFor each function call, return a json object with function name and arguments within <tool_call></tool_call> XML tags:\n<tool_call>\n{\"name\": <function-name>, \"arguments\": <args-json-object>}\n</tool_call><|im_end|>\n" }}
{%- else %}{%- if messages[0]['role'] == 'system' %}{{- '<|im_start|>system\n' + messages[0]['content'] + '<|im_end|>\n' }}{%- else %}{{- '<|im_start|>system\nYou are a helpful assistant.<|im_end|>\n' }}{%- endif %}{%- endif %}
{%- for message in messages %}
{%- if (message.role == "user") or (message.role == "system" and not loop.first) or (message.role == "assistant" and not message.tool_calls) %}{{- '<|im_start|>' + message.role + '\n' + message.content + '<|im_end|>' + '\n' }}
{%- elif message.role == "assistant" %}{{- '<|im_start|>' + message.role }}{%- if message.content %}{{- '\n' + message.content }}{%- endif %}
{%- for tool_call in message.tool_calls %}{%- if tool_call.function is defined %}{%- set tool_call = tool_call.function %}{%- endif %}
{{- '\n<tool_call>\n{"name": "' }}{{- tool_call.name }}{{- '", "arguments": ' }}{{- tool_call.arguments | tojson }}{{- '}\n</tool_call>' }}{%- endfor %}{{- '<|im_end|>\n' }}
{%- elif message.role == "tool" %}{%- if (loop.index0 == 0) or (messages[loop.index0 - 1].role != "tool") %}{{- '<|im_start|>user' }}{%- endif %}
{{- '\n<tool_response>\n' }}{{- message.content }}{{- '\n</tool_response>' }}{%- if loop.last or (messages[loop.index0 + 1].role != "tool") %}{{- '<|im_end|>\n' }}{%- endif %}
{%- endif %}{%- endfor %}
{%- if add_generation_prompt %}{{- '<|im_start|>assistant\n' }}{%- endif %})";

// After the prompt's closing "assistant\n", in the qwen2 vocabulary, each
// token once: <tool_call>\n{"name":"get_weather","arguments":{"city": "Paris"}}\n</tool_call>
const std::vector<std::string> kToolCallScript = {
    "Ċ", "<", "tool", "_call", ">Ċ", "{\"", "name", "\":\"", "get", "_weather", "\",", "\"", "arguments",
    "\":{\"", "city", "\":", "Ġ\"", "Paris", "\"}}Ċ", "</", "t", "ool", "_", "call", ">", "<|im_end|>"};

ToolSpec weatherTool()
{
    return {QStringLiteral("get_weather"), QStringLiteral("The weather of a city"),
            QStringLiteral(R"({"type": "object", "properties": {"city": {"type": "string"}}, "required": ["city"]})")};
}

struct Heard {
    std::mutex mutex;
    QString text;
    std::optional<ReplySyntax> syntax;
    bool pieceBeforeSyntax = false;
    std::optional<ServedRequest::Outcome> outcome;

    void attach(ServedRequest& request)
    {
        request.onSyntax = [this](const ReplySyntax& s) {
            std::lock_guard lock(mutex);
            syntax = s;
        };
        request.onPiece = [this](const QString& piece) {
            std::lock_guard lock(mutex);
            pieceBeforeSyntax = pieceBeforeSyntax || !syntax;
            text += piece;
            return true;
        };
        request.onFinished = [this](const ServedRequest::Outcome& o) {
            std::lock_guard lock(mutex);
            outcome = o;
        };
    }
    bool done()
    {
        std::lock_guard lock(mutex);
        return outcome.has_value();
    }
};

// A small random model of `vocab`'s family with one of the chat templates
// llama.cpp keeps in models/templates, or with none.
void addTemplated(const ModelsFolder& folder, const QString& name, const std::string& vocab,
                  const std::string& templateFile)
{
    std::vector<testmodel::ExtraString> extra;
    if (!templateFile.empty()) {
        QFile file(QStringLiteral(CVN_LLAMA_VOCAB_DIR "/templates/") + QString::fromStdString(templateFile));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << templateFile;
        extra.push_back({"tokenizer.chat_template", file.readAll().toStdString()});
    }
    // Two of these vocabularies hold a quarter of a million tokens: narrow
    // rows keep the files small.
    testmodel::RandomSpec spec;
    spec.shape = {.embd = 32, .layers = 1, .ff = 32, .heads = 2, .headsKv = 2, .ctx = 4096};
    spec.type = testmodel::WeightType::f16;
    const QString file = folder.path + QLatin1Char('/') + name + QStringLiteral(".gguf");
    ASSERT_EQ(testmodel::writeRandomModel(file.toStdString(), testmodel::vocabPath(vocab), spec, extra), "");
}

ServedRequest toolRequest(QList<ChatMessage> messages, ToolAsk tools, int64_t maxTokens)
{
    ServedRequest request;
    request.messages = std::move(messages);
    request.tools = std::move(tools);
    request.overrides.maxTokens = maxTokens;
    return request;
}

struct ToolSlot {
    ModelsFolder folder;
    std::unique_ptr<ModelStore> store;
    std::unique_ptr<LlamaSession> session;
    QStringList prompts;

    // `more` adds models of its own to the folder.
    explicit ToolSlot(const std::function<void(const ModelsFolder&)>& more = {})
    {
        folder.add(QStringLiteral("qwen"), {kToolCallScript}, "qwen2", 2048, kQwenTemplate);
        folder.add(QStringLiteral("alpha"), {{kPromptEnd, "▁Hello", "▁world", "</s>"}});
        if (more)
            more(folder);
        store = std::make_unique<ModelStore>(folder.path);
        session = std::make_unique<LlamaSession>(store.get());
        session->setPromptObserver([this](const QString& p) { prompts << p; });
    }
    ServedRequest::Outcome serve(ServedRequest request, Heard& heard, const QString& model)
    {
        request.model = modelNamed(store->models(), model);
        heard.attach(request);
        session->serveRequest(std::move(request));
        EXPECT_TRUE(waitUntil([&] { return heard.done(); }, 30000));
        return heard.outcome.value_or(ServedRequest::Outcome{});
    }
};

} // namespace

TEST(GrammarSampling, ASchemasGrammarGivesItsObjectWhereTheFreeReplyDoesNot)
{
    auto model = LlamaModel::load(randomModel(), 1024, 0, 2);
    SamplingParams params = SamplingParams::defaults();
    params.maxTokens = 400;
    const std::string grammar = json_schema_to_grammar(common_json::parse(kSchema));
    int held = 0, free = 0;
    for (uint32_t seed = 1; seed <= 6; ++seed) {
        params.seed = seed;
        params.grammar = {};
        free += followsSchema(generateAll(*model, "A person:", params).text());
        params.grammar.gbnf = grammar;
        const Reply reply = generateAll(*model, "A person:", params);
        EXPECT_FALSE(reply.failure);
        EXPECT_TRUE(followsSchema(reply.text())) << "seed " << seed << ": " << reply.text().toStdString();
        held += followsSchema(reply.text());
    }
    EXPECT_EQ(held, 6);
    EXPECT_EQ(free, 0);
}

TEST(GrammarSampling, ALazyGrammarHoldsTheReplyFromItsTriggerOn)
{
    auto model = LlamaModel::load(scriptedModel({{"▁Hi", "▁Hello", "▁world", "▁The", "▁sea", "</s>"}}), 512, 0, 2);
    SamplingParams params = SamplingParams::defaults();
    params.temperature = 0;
    EXPECT_EQ(generateAll(*model, "Hi", params).text(), QStringLiteral(" Hello world The sea"));
    params.grammar.gbnf = R"(root ::= "world again")";
    params.grammar.lazy = true;
    params.grammar.triggerPatterns = {"world"};
    EXPECT_EQ(generateAll(*model, "Hi", params).text(), QStringLiteral(" Hello world again"));
    // Eager, the same grammar holds the reply from its first token.
    params.grammar.lazy = false;
    EXPECT_EQ(generateAll(*model, "Hi", params).text(), QStringLiteral("world again"));
}

TEST(GrammarSampling, PreservedSpecialTokensReachTheText)
{
    auto model = LlamaModel::load(scriptedModel({{"▁Hi", "<s>", "▁Hello", "</s>"}}), 512, 0, 2);
    SamplingParams params = SamplingParams::defaults();
    EXPECT_EQ(generateAll(*model, "Hi", params).text(), QStringLiteral(" Hello"));
    params.grammar.preservedTokens = {"<s>"};
    EXPECT_EQ(generateAll(*model, "Hi", params).text(), QStringLiteral("<s> Hello"));
}

TEST(GrammarSampling, AGrammarLlamaCppCannotReadEndsTheRunWithItsReason)
{
    auto model = LlamaModel::load(helloModel(), 512, 0, 2);
    SamplingParams params = SamplingParams::defaults();
    params.grammar.gbnf = "root ::= (";
    const Reply refused = generateAll(*model, "Hi", params);
    EXPECT_TRUE(refused.pieces.isEmpty());
    ASSERT_TRUE(refused.failure);
    EXPECT_TRUE(refused.failure->contains(QStringLiteral("grammar"))) << refused.failure->toStdString();
    params.grammar = {};
    EXPECT_EQ(generateAll(*model, "Hi", params).text(), QStringLiteral(" Hello\u00e9!"));
}

TEST(ToolRequest, RendersToolsCallsAndResultsInTheTemplatesFormAndItsCallParsesBack)
{
    ToolSlot slot;
    ServedRequest request;
    ChatMessage called{Role::assistant, QString()};
    called.toolCalls = {{QStringLiteral("call_1"), QStringLiteral("get_weather"), QStringLiteral(R"({"city": "Oslo"})")}};
    ChatMessage result{Role::tool, QStringLiteral("Snow, -3 C")};
    result.toolCallId = QStringLiteral("call_1");
    request.messages = {ChatMessage{Role::user, QStringLiteral("Weather in Oslo?")}, called, result,
                        ChatMessage{Role::user, QStringLiteral("And in Paris?")}};
    request.tools = ToolAsk{{weatherTool()}};
    Heard heard;
    const ServedRequest::Outcome outcome = slot.serve(std::move(request), heard, QStringLiteral("qwen"));
    EXPECT_EQ(outcome.failure, ServedRequest::Outcome::Failure::none) << outcome.message.toStdString();
    ASSERT_TRUE(waitUntil([&] { return !slot.prompts.isEmpty(); }, 5000));
    const QString prompt = slot.prompts.last();
    EXPECT_TRUE(prompt.contains(QStringLiteral(R"(<tools>
{"type": "function", "function": {"name": "get_weather", "description": "The weather of a city")")))
        << prompt.toStdString();
    EXPECT_TRUE(prompt.contains(QStringLiteral("<|im_start|>assistant\n<tool_call>\n{\"name\": \"get_weather\", "
                                               "\"arguments\": {\"city\": \"Oslo\"}}\n</tool_call><|im_end|>\n"
                                               "<|im_start|>user\n<tool_response>\nSnow, -3 C\n</tool_response>")))
        << prompt.toStdString();
    EXPECT_TRUE(prompt.endsWith(QStringLiteral("And in Paris?<|im_end|>\n<|im_start|>assistant\n")));

    // The syntax came before the first piece, and reads the reply as the call.
    ASSERT_TRUE(heard.syntax);
    EXPECT_FALSE(heard.pieceBeforeSyntax);
    EXPECT_TRUE(heard.text.startsWith(QStringLiteral("<tool_call>\n{\"name\":\"get_weather\""))) << heard.text.toStdString();
    common_chat_parser_params syntax;
    syntax.format = common_chat_format(heard.syntax->format);
    syntax.generation_prompt = heard.syntax->generationPrompt;
    syntax.reasoning_format = COMMON_REASONING_FORMAT_DEEPSEEK;
    syntax.parser.load(heard.syntax->parser);
    const common_chat_msg parsed = common_chat_parse(heard.text.toStdString(), false, syntax);
    ASSERT_EQ(parsed.tool_calls.size(), 1u);
    EXPECT_EQ(parsed.tool_calls[0].name, "get_weather");
    EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(parsed.tool_calls[0].arguments)).object(),
              QJsonObject({{QStringLiteral("city"), QStringLiteral("Paris")}}));
    EXPECT_TRUE(parsed.content.empty());
}

TEST(ToolRequest, WhatTheChatCodeOrTheGrammarRefusesFailsTheRequestAndTheNextIsAnswered)
{
    ToolSlot slot;
    ServedRequest unknown;
    unknown.messages = {ChatMessage{Role::user, QStringLiteral("Hi")}};
    unknown.tools = ToolAsk{{weatherTool()}, ToolAsk::Choice::named, QStringLiteral("get_time")};
    Heard first;
    ServedRequest::Outcome outcome = slot.serve(std::move(unknown), first, QStringLiteral("qwen"));
    EXPECT_EQ(outcome.failure, ServedRequest::Outcome::Failure::refused);
    EXPECT_TRUE(outcome.message.contains(QStringLiteral("get_time"))) << outcome.message.toStdString();

    ServedRequest badSchema;
    badSchema.messages = {ChatMessage{Role::user, QStringLiteral("Hi")}};
    badSchema.tools = ToolAsk{{weatherTool()}};
    badSchema.jsonSchema = "{\"type\": ";
    Heard schema;
    outcome = slot.serve(std::move(badSchema), schema, QStringLiteral("qwen"));
    EXPECT_EQ(outcome.failure, ServedRequest::Outcome::Failure::refused);
    EXPECT_TRUE(outcome.message.startsWith(QStringLiteral("The model's chat template could not render this request: ")))
        << outcome.message.toStdString();

    ServedRequest badGrammar;
    badGrammar.messages = {ChatMessage{Role::user, QStringLiteral("Hi")}};
    badGrammar.grammar = "root ::= (";
    Heard second;
    outcome = slot.serve(std::move(badGrammar), second, QStringLiteral("alpha"));
    EXPECT_EQ(outcome.failure, ServedRequest::Outcome::Failure::generationFailed);
    EXPECT_TRUE(second.text.isEmpty());

    // A grammar alone holds a reply rendered by the template families.
    ServedRequest held;
    held.messages = {ChatMessage{Role::user, QStringLiteral("Hi")}};
    held.grammar = R"(root ::= " world")";
    Heard third;
    outcome = slot.serve(std::move(held), third, QStringLiteral("alpha"));
    EXPECT_EQ(outcome.failure, ServedRequest::Outcome::Failure::none);
    EXPECT_EQ(third.text, QStringLiteral(" world"));
}

TEST(ToolRequest, ALongConversationLosesItsOldestTurnsAndKeepsTheTools)
{
    ToolSlot slot;
    ServedRequest request;
    const QString filler = QStringLiteral(" Tell me about the weather in these places.").repeated(40);
    for (int i = 0; i < 20; ++i)
        request.messages << ChatMessage{Role::user, QStringLiteral("Turn %1.").arg(i) + filler}
                         << ChatMessage{Role::assistant, QStringLiteral("Noted.")};
    request.messages << ChatMessage{Role::user, QStringLiteral("The last question")};
    request.tools = ToolAsk{{weatherTool()}};
    Heard heard;
    const ServedRequest::Outcome outcome = slot.serve(std::move(request), heard, QStringLiteral("qwen"));
    EXPECT_EQ(outcome.failure, ServedRequest::Outcome::Failure::none) << outcome.message.toStdString();
    EXPECT_LE(outcome.promptTokens, slot.session->loadedContextSize() - ReplyPrompt::replyReserve);
    ASSERT_TRUE(waitUntil([&] { return !slot.prompts.isEmpty(); }, 5000));
    const QString& prompt = slot.prompts.last();
    EXPECT_FALSE(prompt.contains(QStringLiteral("Turn 0.")));
    EXPECT_TRUE(prompt.contains(QStringLiteral("Turn 19.")));
    EXPECT_TRUE(prompt.contains(QStringLiteral("<tools>")));
    EXPECT_TRUE(prompt.endsWith(QStringLiteral("The last question<|im_end|>\n<|im_start|>assistant\n")));
}

TEST(ToolRequest, ANamedFunctionIsTheOnlyOneOfferedAndItsCallIsHeldToItFromTheFirstToken)
{
    ToolSlot slot;
    ServedRequest request;
    request.messages = {ChatMessage{Role::user, QStringLiteral("Weather in Paris?")}};
    const ToolSpec clock{QStringLiteral("get_time"), QStringLiteral("The time"), QStringLiteral(R"({"type": "object"})")};
    request.tools = ToolAsk{{clock, weatherTool()}, ToolAsk::Choice::named, QStringLiteral("get_weather")};
    Heard heard;
    const ServedRequest::Outcome outcome = slot.serve(std::move(request), heard, QStringLiteral("qwen"));
    EXPECT_EQ(outcome.failure, ServedRequest::Outcome::Failure::none) << outcome.message.toStdString();
    ASSERT_TRUE(waitUntil([&] { return !slot.prompts.isEmpty(); }, 5000));
    EXPECT_FALSE(slot.prompts.last().contains(QStringLiteral("get_time")));
    // The eager grammar starts after the generation prompt the template wrote.
    EXPECT_EQ(heard.text, QStringLiteral("<tool_call>\n{\"name\":\"get_weather\",\"arguments\":{\"city\": \"Paris\"}}\n"
                                         "</tool_call>"));
}

TEST(ToolRequest, TheTemplatesOfLlamaQwenAndGemmaAnswerEveryShapeOfConversation)
{
    const std::vector<std::tuple<QString, std::string, std::string>> families = {
        {QStringLiteral("llama31"), "llama-bpe", "meta-llama-Llama-3.1-8B-Instruct.jinja"},
        {QStringLiteral("llama32"), "llama-bpe", "meta-llama-Llama-3.2-3B-Instruct.jinja"},
        {QStringLiteral("llama33"), "llama-bpe", "meta-llama-Llama-3.3-70B-Instruct.jinja"},
        {QStringLiteral("qwen35"), "qwen35", "Qwen3.5-4B.jinja"},
        {QStringLiteral("gemma4"), "gemma-4", "google-gemma-4-31B-it.jinja"},
    };
    ToolSlot slot([&](const ModelsFolder& folder) {
        for (const auto& [name, vocab, file] : families)
            addTemplated(folder, name, vocab, file);
        addTemplated(folder, QStringLiteral("mistral"), "llama-spm", "mistralai-Mistral-Nemo-Instruct-2407.jinja");
    });

    const ChatMessage user{Role::user, QStringLiteral("Weather in Oslo?")};
    ChatMessage called{Role::assistant, QString()};
    called.toolCalls = {{QStringLiteral("a1b2c3d4e"), QStringLiteral("get_weather"), QStringLiteral(R"({"city": "Oslo"})")}};
    ChatMessage result{Role::tool, QStringLiteral("Snow, -3 C")};
    result.toolCallId = QStringLiteral("a1b2c3d4e");
    const QList<QList<ChatMessage>> conversations = {
        {user}, {ChatMessage{Role::system, QStringLiteral("Be brief.")}, user}, {user, called, result}};
    const auto serve = [&](const QString& model, const QList<ChatMessage>& messages) {
        Heard heard;
        return slot.serve(toolRequest(messages, ToolAsk{{weatherTool()}}, 1), heard, model);
    };
    for (const auto& [name, vocab, file] : families) {
        for (qsizetype i = 0; i < conversations.size(); ++i) {
            const ServedRequest::Outcome outcome = serve(name, conversations[i]);
            EXPECT_EQ(outcome.failure, ServedRequest::Outcome::Failure::none)
                << name.toStdString() << ", conversation " << i << ": " << outcome.message.toStdString();
        }
    }

    // A template's own rule still refuses, in its own words rather than an
    // excerpt of its source.
    QList<ChatMessage> badId = conversations[2];
    badId[1].toolCalls[0].id = badId[2].toolCallId = QStringLiteral("call_1");
    const ServedRequest::Outcome refused = serve(QStringLiteral("mistral"), badId);
    EXPECT_EQ(refused.failure, ServedRequest::Outcome::Failure::refused);
    EXPECT_EQ(refused.message, QStringLiteral("The model's chat template could not render this request: "
                                              "Tool call IDs should be alphanumeric strings with length 9!"));
    EXPECT_EQ(serve(QStringLiteral("mistral"), conversations[2]).failure, ServedRequest::Outcome::Failure::none);
}

TEST(ToolRequest, ATemplateWithoutToolsGetsTheGenericJsonFormAndARequiredCallIsHeldToIt)
{
    ToolSlot slot([](const ModelsFolder& folder) {
        addTemplated(folder, QStringLiteral("plain"), "llama-spm", {}); // no template: ChatML
        addTemplated(folder, QStringLiteral("phi3"), "phi-3", "microsoft-Phi-3.5-mini-instruct.jinja");
        addTemplated(folder, QStringLiteral("gemma2"), "llama-spm", "google-gemma-2-2b-it.jinja");
    });
    // Arguments from a short list, so that even random weights end the call.
    const ToolSpec weather{QStringLiteral("get_weather"), QStringLiteral("The weather of a city"),
                           QStringLiteral(R"({"type": "object", "properties": {"city": {"enum": ["Oslo", "Paris"]}},
                               "required": ["city"], "additionalProperties": false})")};
    ChatMessage called{Role::assistant, QString()};
    called.toolCalls = {{QStringLiteral("call_1"), QStringLiteral("get_weather"), QStringLiteral(R"({"city": "Oslo"})")}};
    ChatMessage result{Role::tool, QStringLiteral("Snow, -3 C")};
    result.toolCallId = QStringLiteral("call_1");
    const QList<ChatMessage> conversation = {ChatMessage{Role::user, QStringLiteral("Weather in Oslo?")}, called,
                                             result, ChatMessage{Role::user, QStringLiteral("And in Paris?")}};
    for (const QString& model : {QStringLiteral("plain"), QStringLiteral("phi3")}) {
        SCOPED_TRACE(model.toStdString());
        Heard heard;
        const ServedRequest::Outcome outcome = slot.serve(
            toolRequest(conversation, ToolAsk{{weather}, ToolAsk::Choice::required, {}, false}, 200), heard, model);
        EXPECT_EQ(outcome.failure, ServedRequest::Outcome::Failure::none) << outcome.message.toStdString();
        ASSERT_TRUE(waitUntil([&] { return !slot.prompts.isEmpty(); }, 5000));
        // The tools, the earlier call and its result are all in the prompt.
        const QString prompt = slot.prompts.takeLast();
        EXPECT_TRUE(prompt.contains(QStringLiteral("The weather of a city"))) << prompt.toStdString();
        EXPECT_TRUE(prompt.contains(QStringLiteral(R"("name": "get_weather", "arguments": {"city":"Oslo"})")))
            << prompt.toStdString();
        EXPECT_TRUE(prompt.contains(QStringLiteral("Snow, -3 C"))) << prompt.toStdString();

        ASSERT_TRUE(heard.syntax);
        common_chat_parser_params syntax;
        syntax.format = common_chat_format(heard.syntax->format);
        syntax.generation_prompt = heard.syntax->generationPrompt;
        syntax.parser.load(heard.syntax->parser);
        const common_chat_msg parsed = common_chat_parse(heard.text.toStdString(), false, syntax);
        ASSERT_EQ(parsed.tool_calls.size(), 1u) << heard.text.toStdString();
        EXPECT_EQ(parsed.tool_calls[0].name, "get_weather");
        const QString city = QJsonDocument::fromJson(QByteArray::fromStdString(parsed.tool_calls[0].arguments))
                                 .object()
                                 .value(QStringLiteral("city"))
                                 .toString();
        EXPECT_TRUE(city == QStringLiteral("Oslo") || city == QStringLiteral("Paris")) << heard.text.toStdString();
        EXPECT_TRUE(parsed.content.empty()) << heard.text.toStdString();
    }

    // Left to the model, text may come first, and the call is read after it.
    Heard heard;
    slot.serve(toolRequest(conversation, ToolAsk{{weather}}, 1), heard, QStringLiteral("plain"));
    ASSERT_TRUE(heard.syntax);
    common_chat_parser_params syntax;
    syntax.format = common_chat_format(heard.syntax->format);
    syntax.generation_prompt = heard.syntax->generationPrompt;
    syntax.parser.load(heard.syntax->parser);
    const common_chat_msg parsed = common_chat_parse(
        R"(Let me look. {"tool_calls": [{"name": "get_weather", "arguments": {"city": "Paris"}}]})", false, syntax);
    ASSERT_EQ(parsed.tool_calls.size(), 1u);
    EXPECT_EQ(parsed.tool_calls[0].name, "get_weather");
    EXPECT_EQ(parsed.content, "Let me look. "); // as it was streamed

    // Two results in a row reach a template that wants turns to alternate.
    ChatMessage twice = called;
    twice.toolCalls << ToolCall{QStringLiteral("call_2"), QStringLiteral("get_weather"), QStringLiteral(R"({"city": "Paris"})")};
    ChatMessage second{Role::tool, QStringLiteral("Rain, 9 C")};
    second.toolCallId = QStringLiteral("call_2");
    Heard both;
    const ServedRequest::Outcome outcome = slot.serve(
        toolRequest({conversation[0], twice, result, second}, ToolAsk{{weather}}, 1), both, QStringLiteral("gemma2"));
    EXPECT_EQ(outcome.failure, ServedRequest::Outcome::Failure::none) << outcome.message.toStdString();
    ASSERT_TRUE(waitUntil([&] { return !slot.prompts.isEmpty(); }, 5000));
    EXPECT_TRUE(slot.prompts.last().contains(QStringLiteral("Rain, 9 C"))) << slot.prompts.last().toStdString();
}

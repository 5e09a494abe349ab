// Tools, tool calls and response formats through the local server.

#include "ServedModels.h"
#include "apiserver/ApiMessages.h"
#include "apiserver/ApiTools.h"
#include "apiserver/ToolReplies.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <chat.h>
#include <llama-grammar.h>
#include <gtest/gtest.h>

using namespace cvn;
using namespace cvn::test;

namespace {

const QByteArray kWeatherTool = R"({"type":"function","function":{"name":"get_weather","description":"Weather of a city",
  "parameters":{"type":"object","properties":{"city":{"type":"string"}},"required":["city"]}}})";
const QByteArray kCalled = R"([{"role":"user","content":"Weather in Paris?"},
  {"role":"assistant","content":null,"tool_calls":[{"id":"call_1","type":"function",
    "function":{"name":"get_weather","arguments":"{\"city\":\"Paris\"}"}}]},
  {"role":"tool","tool_call_id":"call_1","content":"Sunny"}])";

QString errorOf(const Received& r)
{
    return bodyOf(r).value(QLatin1String("error")).toObject().value(QLatin1String("message")).toString();
}

} // namespace

TEST(ApiServer, ReadsToolsToolCallsAndResponseFormats)
{
    using api::readAsk;
    api::ReplyAsk ask;
    ASSERT_FALSE(readAsk("{\"messages\":" + kCalled + ",\"tools\":[" + kWeatherTool
                             + R"(,{"type":"function","function":{"name":"noop","parameters":{}}}],
                             "tool_choice":{"type":"function","function":{"name":"get_weather"}},
                             "parallel_tool_calls":false})",
                         true, ask));
    ASSERT_TRUE(ask.tools);
    ASSERT_EQ(ask.tools->tools.size(), 2);
    EXPECT_EQ(ask.tools->tools[0].name, QStringLiteral("get_weather"));
    EXPECT_EQ(ask.tools->tools[0].description, QStringLiteral("Weather of a city"));
    // The order of a schema's properties, which its grammar follows, is kept.
    EXPECT_EQ(ask.tools->tools[0].parameters,
              QStringLiteral(R"({"type":"object","properties":{"city":{"type":"string"}},"required":["city"]})"));
    // A function with empty parameters takes none.
    EXPECT_EQ(QJsonDocument::fromJson(ask.tools->tools[1].parameters.toUtf8()).object().value(QLatin1String("type")),
              QStringLiteral("object"));
    EXPECT_EQ(ask.tools->choice, ToolAsk::Choice::named);
    EXPECT_EQ(ask.tools->named, QStringLiteral("get_weather"));
    EXPECT_FALSE(ask.tools->parallelCalls);
    ASSERT_EQ(ask.messages.size(), 3);
    EXPECT_EQ(ask.messages[1].role, ChatMessage::Role::assistant);
    EXPECT_EQ(ask.messages[1].content, QString());
    EXPECT_EQ(ask.messages[1].toolCalls,
              (QList<ToolCall>{{QStringLiteral("call_1"), QStringLiteral("get_weather"), QStringLiteral("{\"city\":\"Paris\"}")}}));
    EXPECT_EQ(ask.messages[2].role, ChatMessage::Role::tool);
    EXPECT_EQ(ask.messages[2].toolCallId, QStringLiteral("call_1"));
    EXPECT_EQ(ask.messages[2].content, QStringLiteral("Sunny"));
    EXPECT_TRUE(ask.grammar.empty());

    // Calls in the conversation are rendered by the model's template, with
    // or without tools; "none" sends none.
    api::ReplyAsk carried;
    ASSERT_FALSE(readAsk("{\"messages\":" + kCalled + "}", true, carried));
    ASSERT_TRUE(carried.tools);
    EXPECT_TRUE(carried.tools->tools.isEmpty());
    api::ReplyAsk none;
    ASSERT_FALSE(readAsk(R"({"messages":[{"role":"user","content":"Hi"}],"tool_choice":"none","tools":[)" + kWeatherTool + "]}",
                         true, none));
    ASSERT_TRUE(none.tools);
    EXPECT_EQ(none.tools->choice, ToolAsk::Choice::none);
    EXPECT_TRUE(none.tools->tools.isEmpty());

    api::ReplyAsk schema;
    ASSERT_FALSE(readAsk(R"({"messages":[{"role":"user","content":"Hi"}],"response_format":{"type":"json_schema",
        "json_schema":{"name":"w","strict":true,"schema":{"type":"object","properties":{"wind":{"type":"integer"},
        "sky":{"enum":["clear","grey"]}},"required":["sky","wind"]}}}})",
                         true, schema));
    EXPECT_FALSE(schema.tools);
    EXPECT_NE(schema.grammar.find("\\\"clear\\\""), std::string::npos) << schema.grammar;
    EXPECT_EQ(schema.jsonSchema, R"({"type":"object","properties":{"wind":{"type":"integer"},"sky":{"enum":["clear","grey"]}},)"
                                 R"("required":["sky","wind"]})");
    const std::string root = schema.grammar.substr(schema.grammar.find("root ::="));
    EXPECT_LT(root.find("wind"), root.find("sky")) << schema.grammar;
    api::ReplyAsk object;
    ASSERT_FALSE(readAsk(R"({"messages":[{"role":"user","content":"Hi"}],"response_format":{"type":"json_object"}})", true,
                         object));
    EXPECT_NE(object.grammar.find("root ::="), std::string::npos) << object.grammar;
    api::ReplyAsk text;
    ASSERT_FALSE(readAsk(R"({"messages":[{"role":"user","content":"Hi"}],"response_format":{"type":"text"}})", true, text));
    EXPECT_TRUE(text.grammar.empty());
    EXPECT_FALSE(text.tools);
}

// Each is a 400 in the API's shape that says what is wrong, and the slot
// is free for the next request.
TEST(ApiServer, RefusesBadToolsAndSchemasAndStaysFree)
{
    Served s;
    const auto refusal = [&](const QByteArray& fields) {
        const Received r = s.send(s.chat(fields));
        EXPECT_EQ(status(r), 400) << fields.toStdString() << '\n' << r.bytes.left(400).toStdString();
        return errorOf(r);
    };
    EXPECT_TRUE(refusal(R"(,"tools":[{"type":"function","function":{"name":"f","parameters":{"type":"banana"}}}])")
                    .contains(QLatin1String("banana")));
    EXPECT_TRUE(refusal(R"(,"tools":[{"type":"function","function":{"name":"f","parameters":{"type":"object",
                            "properties":{"a":{"$ref":"#/nowhere"}}}}}])")
                    .contains(QLatin1String("'f'")));
    EXPECT_TRUE(refusal(",\"tools\":[" + kWeatherTool + R"(],"tool_choice":{"type":"function","function":{"name":"fly"}})")
                    .contains(QLatin1String("'fly'")));
    EXPECT_FALSE(refusal(R"(,"tool_choice":"sometimes")").isEmpty());
    EXPECT_TRUE(refusal(R"(,"response_format":{"type":"json_schema","json_schema":{"name":"x","schema":{"type":"fish"}}})")
                    .contains(QLatin1String("fish")));
    EXPECT_FALSE(refusal(R"(,"response_format":{"type":"yaml"})").isEmpty());
    // Past what llama.cpp's grammar reader takes, though the converter took it.
    EXPECT_TRUE(refusal(R"(,"response_format":{"type":"json_schema","json_schema":{"name":"x","schema":{"type":"array",
                            "items":{"type":"integer"},"minItems":100000}}})")
                    .contains(QLatin1String("minItems 100000")));
    EXPECT_TRUE(refusal(R"(,"tools":[{"type":"function","function":{"name":"f","parameters":{"type":"object",
                            "properties":{"a":{"type":"string","minLength":100000}}}}}])")
                    .contains(QLatin1String("'f'")));

    const Received unanswered = s.send(s.request(
        "POST", "/v1/chat/completions",
        R"({"messages":[{"role":"user","content":"Hi"},{"role":"tool","tool_call_id":"call_9","content":"21"}]})"));
    EXPECT_EQ(status(unanswered), 400);
    EXPECT_TRUE(errorOf(unanswered).contains(QLatin1String("tool_call_id")));

    QByteArray properties;
    for (int i = 0; properties.size() < (1 << 20); ++i)
        properties += (i ? ",\"" : "\"") + QByteArray::number(i) + "\":{\"type\":\"string\"}";
    const QString tooLarge = refusal(R"(,"response_format":{"type":"json_schema","json_schema":{"name":"x","schema":
                                        {"type":"object","properties":{)" + properties + "}}}}");
    EXPECT_TRUE(tooLarge.contains(QLatin1String("256 KiB"))) << tooLarge.toStdString();

    // A plain completion is held to its response format too, not answered
    // as if it had none; tools it cannot have.
    const auto completion = [&](const QByteArray& fields) {
        return s.send(s.request("POST", "/v1/completions", R"({"prompt":"Hi","max_tokens":24)" + fields + "}"));
    };
    const Received held = completion(R"(,"response_format":{"type":"json_object"})");
    ASSERT_EQ(status(held), 200) << held.bytes.toStdString();
    EXPECT_TRUE(bodyOf(held).value(QLatin1String("choices"))[0].toObject().value(QLatin1String("text")).toString()
                    .startsWith(QLatin1Char('{')))
        << held.bytes.toStdString();
    EXPECT_EQ(status(completion(",\"tools\":[" + kWeatherTool + "]")), 400);

    // A grammar that no token can follow (no token spells a NUL) is the
    // request's fault, found only as it runs: not a 500, which clients retry.
    const Received stuck = s.send(s.chat(R"(,"max_tokens":8,"response_format":{"type":"json_schema",
        "json_schema":{"name":"x","schema":{"type":"string","pattern":"^\\x00$"}}})"));
    EXPECT_EQ(status(stuck), 400) << stuck.bytes.toStdString();
    EXPECT_TRUE(errorOf(stuck).contains(QLatin1String("grammar"))) << stuck.bytes.toStdString();

    EXPECT_EQ(s.server->waitingRequests(), 0);
    EXPECT_EQ(streamed(s.send(s.chat(",\"stream\":true"))).content, QStringLiteral(" Hello there"));

    // A template's own refusal is passed on as its sentence, without the
    // template's source around it.
    s.folder.add(QStringLiteral("strict"), {{"Ċ", "OK", "<|im_end|>"}}, "qwen2", 2048,
                 "{%- for m in messages %}{%- if m.content == 'Sing' %}{{ raise_exception('This model does not sing.') }}"
                 "{%- endif %}<|im_start|>{{ m.role }}\n{{ m.content }}<|im_end|>\n{% endfor %}"
                 "{%- if add_generation_prompt %}<|im_start|>assistant\n{% endif %}");
    s.store->reload();
    const Received refusedByTemplate = s.send(s.request("POST", "/v1/chat/completions",
        R"({"model":"strict","messages":[{"role":"user","content":"Sing"}],"tools":[)" + kWeatherTool + "]}"));
    EXPECT_EQ(status(refusedByTemplate), 400);
    const QString told = errorOf(refusedByTemplate);
    EXPECT_TRUE(told.contains(QLatin1String("This model does not sing.")) && !told.contains(QLatin1String("raise_exception"))
                && !told.contains(QLatin1String("{%")) && !told.contains(QLatin1Char('\n')))
        << told.toStdString();
}

// Each is refused at once, in words that name what is wrong, before any
// grammar is read: llama.cpp's reader would take contradictory bounds for
// some 2^64 rules, and parts the converter drops would go unheld.
TEST(ApiServer, RefusesSchemasTheGrammarCannotHoldInPlainWords)
{
    const auto verdict = [](const QByteArray& schema) {
        api::ReplyAsk ask;
        const std::optional<api::ApiError> e = api::readAsk(
            R"({"messages":[{"role":"user","content":"Hi"}],"response_format":{"type":"json_schema",
            "json_schema":{"name":"x","schema":)" + schema + "}}}", true, ask);
        if (e) {
            EXPECT_EQ(e->status, 400) << schema.toStdString();
        }
        return e ? e->message : QStringLiteral("accepted");
    };
    const auto says = [&](const QByteArray& schema, const char* words) {
        const QString why = verdict(schema);
        EXPECT_TRUE(why.contains(QString::fromUtf8(words))) << schema.toStdString() << "\n -> " << why.toStdString();
    };
    says(R"({"type":"string","minLength":5,"maxLength":2})", "minLength 5 is larger than maxLength 2");
    says(R"({"type":"array","items":{"type":"integer"},"minItems":5,"maxItems":2})", "minItems 5 is larger than maxItems 2");
    says(R"({"type":"object","minProperties":5,"maxProperties":2})", "minProperties 5 is larger than maxProperties 2");
    says(R"({"type":"object","properties":{"a":{"type":"string","pattern":"^(ab){5,2}$"}}})", "{5,2}");
    api::ReplyAsk tooled;
    const std::optional<api::ApiError> inTool = api::readAsk(
        R"({"messages":[{"role":"user","content":"Hi"}],"tools":[{"type":"function","function":{"name":"f",
        "parameters":{"type":"object","properties":{"a":{"type":"array","minItems":9,"maxItems":3}}}}}]})",
        true, tooled);
    ASSERT_TRUE(inTool);
    EXPECT_TRUE(inTool->message.contains(QLatin1String("'f'")) && inTool->message.contains(QLatin1String("minItems 9 is larger than maxItems 3")))
        << inTool->message.toStdString();

    // No value satisfies these.
    says(R"({"type":"integer","minimum":5,"maximum":2})", "minimum 5 is larger than maximum 2");
    says(R"({"type":"integer","exclusiveMinimum":4,"exclusiveMaximum":5})", "no integer");
    says(R"({"allOf":[{"enum":["a","b"]},{"enum":["c"]}]})", "no value");

    // Parts the converter would drop, named.
    says(R"({"type":"object","properties":{"a":{"not":{"type":"string"}}}})", "\"not\"");
    says(R"({"type":"string","pattern":"^[a-z]+\\w$"})", "\\w");
    says(R"({"type":"string","pattern":"a+"})", "anchored");
    says(R"({"allOf":[{"type":"string"},{"type":"integer"}]})", "allOf");
    says(R"({"type":"number","minimum":0,"multipleOf":0.5})", "multipleOf");
    says(R"({"type":"number","exclusiveMinimum":1,"maximum":1})", "no number");
    says(R"({"type":"string","pattern":"^a+$","maxLength":4})", "maxLength");

    // Past what llama.cpp's grammars count, a most as a least.
    says(R"({"type":"string","maxLength":5000})", "maxLength 5000");
    says(R"({"type":"array","maxItems":2001})", "maxItems 2001");
    says(R"({"type":"string","pattern":"^a{1,3000}$"})", "3000");

    // The converter builds a schema again for each type listed: twice, nested, is exponential.
    says(R"({"type":["object","object"],"properties":{"a":{"type":["object","object"],"properties":{}}}})", "twice");
    says(R"({"$ref":"#/$defs/a","$defs":{"a":{"$ref":"#/$defs/a"}}})", "refers to itself");
    says(QByteArray(500, '[').replace("[", R"({"type":"array","items":)") + "{}" + QByteArray(500, '}'), "levels deep");
    says(R"({"type":"object","properties":{"n":{"allOf":[{"$ref":"#/$defs/a"}]}},
             "$defs":{"a":{"anyOf":[{"$ref":"#/$defs/a"},{"type":"null"}]}}})",
         "refers to itself");

    // A pattern of 30,000 alternatives would cost each token the check of
    // every one of them.
    QByteArray words;
    for (int i = 0; i < 30000; ++i)
        words += (i ? "|w" : "w") + QByteArray::number(i);
    says(R"({"type":"string","pattern":"^()" + words + R"()$"})", "alternatives");
    // Nor may it be spelled out into millions of rules, each within bounds.
    QByteArray strings;
    for (int i = 0; i < 60; ++i)
        strings += (i ? ",\"s" : "\"s") + QByteArray::number(i) + R"(":{"type":"string","maxLength":2000})";
    says(R"({"type":"object","properties":{)" + strings + "}}", "repeat");

    // What clients commonly send is held as it was.
    EXPECT_EQ(verdict(R"({"title":"Order","type":"object","$defs":{"Item":{"type":"object","description":"one line",
        "properties":{"sku":{"type":"string","pattern":"^[A-Z]{3}-[0-9]{1,6}$"},"qty":{"type":"integer","minimum":1,
        "maximum":99,"default":1}},"required":["sku"]},"Node":{"type":"object","properties":{"kids":{"type":"array",
        "items":{"$ref":"#/$defs/Node"}}}}},"properties":{"items":{"type":"array","items":{"$ref":"#/$defs/Item"},
        "minItems":1,"maxItems":20},"note":{"anyOf":[{"type":"string","maxLength":200},{"type":"null"}],"default":null},
        "when":{"type":"string","format":"date"},"mail":{"type":"string","format":"email"},"tree":{"$ref":"#/$defs/Node"},
        "kind":{"type":"string","enum":["a","b"]},"score":{"type":"number"},"any":{"additionalProperties":true},
        "maybe":{"type":["integer","null"],"maximum":9},"both":{"allOf":[{"type":"object",
        "properties":{"x":{"type":"integer"}}},{"properties":{"y":{"type":"boolean"}}}]}},"required":["items"],
        "additionalProperties":false})")
                  .toStdString(),
              "accepted");
}

// The schema zod writes for an object of a safe integer, a share between 0
// and 1, a date, a date and time and a record, as the AI SDK sends it in
// response_format and LangChain in a tool's parameters: taken, and its
// grammar holds every value that llama.cpp's grammars can.
TEST(ApiServer, TakesTheSchemasZodWritesAndHoldsThem)
{
    const QByteArray dates =
        R"("day":{"type":"string","format":"date","pattern":"^(?:(?:\\d\\d[2468][048]|\\d\\d[13579][26]|\\d\\d0[48]|[02468][048]00|[13579][26]00)-02-29|\\d{4}-(?:(?:0[13578]|1[02])-(?:0[1-9]|[12]\\d|3[01])|(?:0[469]|11)-(?:0[1-9]|[12]\\d|30)|(?:02)-(?:0[1-9]|1\\d|2[0-8])))$"},)"
        R"("at":{"type":"string","format":"date-time","pattern":"^(?:(?:\\d\\d[2468][048]|\\d\\d[13579][26]|\\d\\d0[48]|[02468][048]00|[13579][26]00)-02-29|\\d{4}-(?:(?:0[13578]|1[02])-(?:0[1-9]|[12]\\d|3[01])|(?:0[469]|11)-(?:0[1-9]|[12]\\d|30)|(?:02)-(?:0[1-9]|1\\d|2[0-8])))T(?:(?:[01]\\d|2[0-3]):[0-5]\\d:[0-5]\\d(?:\\.\\d+)?(?:Z))$"},)";
    const QByteArray schema =
        R"({"$schema":"http://json-schema.org/draft-07/schema#","type":"object","properties":{)"
        R"("count":{"type":"integer","minimum":-9007199254740991,"maximum":9007199254740991},)"
        R"("share":{"type":"number","minimum":0,"maximum":1},)" + dates +
        R"("tags":{"type":"object","propertyNames":{"type":"string"},"additionalProperties":{"type":"number"}}},)"
        R"("required":["count","share","day","at","tags"],"additionalProperties":false})";
    api::ReplyAsk format;
    const std::optional<api::ApiError> refused = api::readAsk(
        R"({"model":"m","response_format":{"type":"json_schema","json_schema":{"schema":)" + schema
            + R"(,"strict":true,"name":"response"}},"messages":[{"role":"user","content":"hi"}]})",
        true, format);
    ASSERT_FALSE(refused) << refused->message.toStdString();
    const auto holds = [&](const std::string& value) {
        llama_grammar* grammar = llama_grammar_init_impl(nullptr, format.grammar.c_str(), "root", false, nullptr, 0,
                                                         nullptr, 0);
        EXPECT_NE(grammar, nullptr);
        bool whole = false;
        try {
            llama_grammar_accept_str(*grammar, value);
            const llama_grammar_stacks& stacks = llama_grammar_get_stacks(grammar);
            whole = std::any_of(stacks.begin(), stacks.end(), [](const auto& stack) { return stack.empty(); });
        } catch (const std::exception&) {
        }
        llama_grammar_free_impl(grammar);
        return whole;
    };
    const auto with = [](const std::string& count, const std::string& share, const std::string& day) {
        return R"({"count":)" + count + R"(,"share":)" + share + R"(,"day":")" + day
               + R"(","at":"2024-02-29T23:59:59.5Z","tags":{"a":-1.5}})";
    };
    EXPECT_TRUE(holds(with("-9007199254740991", "0.25", "2024-02-29")));
    EXPECT_TRUE(holds(with("9007199254740991", "0", "1999-12-31")));
    EXPECT_FALSE(holds(with("9007199254740992", "0.25", "2024-02-29")));
    EXPECT_FALSE(holds(with("-9007199254740992", "0.25", "2024-02-29")));
    EXPECT_FALSE(holds(with("1", "-0.25", "2024-02-29")));
    EXPECT_FALSE(holds(with("1", "0.25", "2023-02-29")));
    EXPECT_FALSE(holds(with("1", "0.25", "2024-1a-01")));

    // In a tool's parameters the chat code sees the pattern as it is held.
    api::ReplyAsk tooled;
    ASSERT_FALSE(api::readAsk(R"({"messages":[{"role":"user","content":"hi"}],"tools":[{"type":"function",)"
                              R"("function":{"name":"t","description":"d","parameters":)" + schema + "}}]}",
                              true, tooled));
    ASSERT_TRUE(tooled.tools);
    const QString parameters = tooled.tools->tools.first().parameters;
    EXPECT_FALSE(parameters.contains(QLatin1String("\\d"))) << parameters.toStdString();
    EXPECT_TRUE(parameters.contains(QLatin1String("[0-9]{4}-"))) << parameters.toStdString();
}

// A reply with a call, streamed a token at a time, gives the call's id and
// name once and its arguments in pieces that join, as the clients join
// them, to the call the whole reply gives.
TEST(ApiServer, AToolCallStreamsAsDeltasThatJoinToTheWholeCall)
{
    common_chat_templates_ptr templates = common_chat_templates_init(nullptr, toolsTemplate());
    common_chat_templates_inputs inputs;
    common_chat_msg user;
    user.role = "user";
    user.content = "Weather in Paris?";
    inputs.messages.push_back(user);
    inputs.tools.push_back({"get_weather", "Weather of a city",
                            R"({"type":"object","properties":{"city":{"type":"string"}},"required":["city"]})"});
    const common_chat_params params = common_chat_templates_apply(templates.get(), inputs);
    const ReplySyntax syntax{int(params.format), params.generation_prompt, params.parser, false};

    QString reply;
    for (const std::string& token : kWeatherCall)
        reply += QString::fromStdString(token).replace(QStringLiteral("Ġ"), QStringLiteral(" ")).replace(
            QStringLiteral("Ċ"), QStringLiteral("\n"));
    const api::ToolReplyReader::Message whole = api::ToolReplyReader(syntax).read(reply);
    ASSERT_EQ(whole.calls.size(), 1);
    EXPECT_EQ(whole.calls[0].name, QStringLiteral("get_weather"));
    EXPECT_EQ(QJsonDocument::fromJson(whole.calls[0].arguments.toUtf8()).object(),
              (QJsonObject{{QStringLiteral("city"), QStringLiteral("Paris")}}));
    EXPECT_TRUE(whole.calls[0].id.startsWith(QLatin1String("call_")));
    EXPECT_TRUE(whole.content.isEmpty());

    api::ToolReplyReader reader(syntax);
    QList<QJsonObject> deltas;
    for (const std::string& token : kWeatherCall)
        deltas += reader.feed(QString::fromStdString(token).replace(QStringLiteral("Ġ"), QStringLiteral(" ")).replace(
            QStringLiteral("Ċ"), QStringLiteral("\n")));
    deltas += reader.finish();
    EXPECT_TRUE(reader.madeCalls());
    int heads = 0;
    QString arguments;
    for (const QJsonObject& delta : deltas) {
        EXPECT_FALSE(delta.contains(QLatin1String("content"))) << QJsonDocument(delta).toJson().toStdString();
        const QJsonArray calls = delta.value(QLatin1String("tool_calls")).toArray();
        ASSERT_EQ(calls.size(), 1);
        const QJsonObject call = calls.first().toObject();
        EXPECT_EQ(call.value(QLatin1String("index")).toInt(-1), 0);
        const QJsonObject function = call.value(QLatin1String("function")).toObject();
        if (call.contains(QLatin1String("id"))) {
            ++heads;
            EXPECT_TRUE(call.value(QLatin1String("id")).toString().startsWith(QLatin1String("call_")));
            EXPECT_EQ(call.value(QLatin1String("type")).toString(), QStringLiteral("function"));
            EXPECT_EQ(function.value(QLatin1String("name")).toString(), QStringLiteral("get_weather"));
            EXPECT_EQ(function.value(QLatin1String("arguments")).toString(), QString());
        } else {
            EXPECT_FALSE(function.contains(QLatin1String("name")));
        }
        arguments += function.value(QLatin1String("arguments")).toString();
    }
    EXPECT_EQ(heads, 1);
    EXPECT_GT(deltas.size(), 3); // the arguments came in pieces
    EXPECT_EQ(arguments, whole.calls[0].arguments);
}

namespace {

// The tool calls of a streamed answer as a client joins them: by index, the
// id, type and name once, the arguments in pieces.
QJsonArray joinedCalls(const Received& r, QString* finish)
{
    QJsonArray calls;
    for (const QByteArray& line : r.bytes.split('\n')) {
        if (!line.startsWith("data: {"))
            continue;
        for (const QJsonValue& choice : QJsonDocument::fromJson(line.mid(6)).object().value(QLatin1String("choices")).toArray()) {
            *finish += choice.toObject().value(QLatin1String("finish_reason")).toString();
            const QJsonObject delta = choice.toObject().value(QLatin1String("delta")).toObject();
            for (const QJsonValue& piece : delta.value(QLatin1String("tool_calls")).toArray()) {
                const int index = piece.toObject().value(QLatin1String("index")).toInt();
                while (calls.size() <= index)
                    calls.append(QJsonObject{});
                QJsonObject call = calls[index].toObject();
                const QJsonObject part = piece.toObject().value(QLatin1String("function")).toObject();
                QJsonObject function = call.value(QLatin1String("function")).toObject();
                if (piece.toObject().contains(QLatin1String("id"))) {
                    EXPECT_FALSE(call.contains(QLatin1String("id"))) << "a second head for call " << index;
                    call.insert(QStringLiteral("id"), piece.toObject().value(QLatin1String("id")));
                    function.insert(QStringLiteral("name"), part.value(QLatin1String("name")));
                }
                function.insert(QStringLiteral("arguments"), function.value(QLatin1String("arguments")).toString()
                                                                 + part.value(QLatin1String("arguments")).toString());
                call.insert(QStringLiteral("function"), function);
                calls[index] = call;
            }
        }
    }
    return calls;
}

} // namespace

// The model's own call comes back as a tool call, whole and streamed; its
// result sent back is rendered in the template's form after the call.
TEST(ApiServer, AToolCallIsAnsweredAndItsResultRenderedInTheTemplatesForm)
{
    Served s({}, false, true);
    QStringList prompts;
    s.session->setPromptObserver([&](const QString& prompt) { prompts << prompt; });
    const QByteArray ask = R"({"model":"tooled","messages":[{"role":"user","content":"Weather in Paris?"}],"tools":[)"
                           + kWeatherTool + "]";
    const Received whole = s.send(s.request("POST", "/v1/chat/completions", ask + "}"));
    ASSERT_EQ(status(whole), 200) << whole.bytes.toStdString();
    const QJsonObject choice = bodyOf(whole).value(QLatin1String("choices")).toArray().first().toObject();
    EXPECT_EQ(choice.value(QLatin1String("finish_reason")).toString(), QStringLiteral("tool_calls"));
    const QJsonObject message = choice.value(QLatin1String("message")).toObject();
    EXPECT_TRUE(message.value(QLatin1String("content")).isNull()) << whole.bytes.toStdString();
    const QJsonArray calls = message.value(QLatin1String("tool_calls")).toArray();
    ASSERT_EQ(calls.size(), 1) << whole.bytes.toStdString();
    const QJsonObject call = calls.first().toObject();
    EXPECT_EQ(call.value(QLatin1String("type")).toString(), QStringLiteral("function"));
    const QJsonObject function = call.value(QLatin1String("function")).toObject();
    EXPECT_EQ(function.value(QLatin1String("name")).toString(), QStringLiteral("get_weather"));
    EXPECT_EQ(QJsonDocument::fromJson(function.value(QLatin1String("arguments")).toString().toUtf8()).object(),
              (QJsonObject{{QStringLiteral("city"), QStringLiteral("Paris")}}));
    ASSERT_EQ(prompts.size(), 1);
    EXPECT_TRUE(prompts.first().contains(QLatin1String("<tools>\n{\"type\": \"function\", \"function\": {\"name\": "
                                                       "\"get_weather\"")))
        << prompts.first().toStdString();

    QString finish;
    const QJsonArray streamedCalls =
        joinedCalls(s.send(s.request("POST", "/v1/chat/completions", ask + ",\"stream\":true}")), &finish);
    EXPECT_EQ(finish, QStringLiteral("tool_calls"));
    ASSERT_EQ(streamedCalls.size(), 1);
    EXPECT_EQ(streamedCalls.first().toObject().value(QLatin1String("function")),
              QJsonValue(function)); // the same name and the same arguments, to the byte
    EXPECT_TRUE(streamedCalls.first().toObject().value(QLatin1String("id")).toString().startsWith(QLatin1String("call_")));
    // A call the token limit cuts short is said to be cut, streamed too.
    const int written = bodyOf(whole).value(QLatin1String("usage")).toObject().value(QLatin1String("completion_tokens")).toInt();
    ASSERT_GT(written, 6);
    QString cut;
    joinedCalls(s.send(s.request("POST", "/v1/chat/completions",
                                 ask + ",\"stream\":true,\"max_tokens\":" + QByteArray::number(written - 4) + "}")),
                &cut);
    EXPECT_EQ(cut, QStringLiteral("length"));

    const QByteArray id = call.value(QLatin1String("id")).toString().toUtf8();
    const Received answered = s.send(s.request(
        "POST", "/v1/chat/completions",
        R"({"model":"tooled","tools":[)" + kWeatherTool + R"(],"messages":[{"role":"user","content":"Weather in Paris?"},
        {"role":"assistant","content":null,"tool_calls":[{"id":")" + id + R"(","type":"function",
          "function":{"name":"get_weather","arguments":"{\"city\":\"Paris\"}"}}]},
        {"role":"tool","tool_call_id":")" + id + R"(","content":"Sunny, 21 C"}]})"));
    EXPECT_EQ(status(answered), 200) << answered.bytes.toStdString();
    ASSERT_EQ(prompts.size(), 4);
    EXPECT_TRUE(prompts.last().endsWith(QLatin1String(
        "<|im_start|>user\nWeather in Paris?<|im_end|>\n"
        "<|im_start|>assistant\n<tool_call>\n{\"name\": \"get_weather\", \"arguments\": {\"city\": \"Paris\"}}\n</tool_call><|im_end|>\n"
        "<|im_start|>user\n<tool_response>\nSunny, 21 C\n</tool_response><|im_end|>\n<|im_start|>assistant\n")))
        << prompts.last().toStdString();
}

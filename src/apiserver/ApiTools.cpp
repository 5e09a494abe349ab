#include "apiserver/ApiTools.h"
#include "apiserver/SchemaCheck.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

#include <json-schema-to-grammar.h>
#include <llama.h>

#include <algorithm>
#include <exception>
#include <map>
#include <string>
#include <string_view>
#include <utility>

namespace cvn::api {

namespace {

ApiError refused(const QString& param, const QString& message)
{
    return ApiError{400, message, QStringLiteral("invalid_request_error"), param, {}};
}

std::string compactText(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}

// Qt's JSON objects sort their keys, yet the order of a schema's properties
// is the order its grammar has them written in: a schema's text is taken
// from the body as it was sent. One pass over the body finds where the
// schemas are; only they are read again, in order. (Reading the whole body
// in order would cost time in the square of an object's keys.)
class SentBody {
public:
    explicit SentBody(const QByteArray& body) : m_text(body.constData(), size_t(body.size())) {}

    // The value at `path` ("/tools/0/function/parameters") in order, or
    // `qtText`, the same value as Qt wrote it, when it cannot be found.
    std::string text(const std::string& path, const std::string& qtText)
    {
        if (!m_scanned) {
            m_scanned = true;
            size_t at = 0;
            value(at, "", 0);
        }
        const auto found = m_spans.find(path);
        if (found == m_spans.end())
            return qtText;
        const common_json ordered = common_json::parse_no_throw(
            std::string(m_text.substr(found->second.first, found->second.second - found->second.first)));
        return ordered.is_object() ? ordered.dump() : qtText;
    }

private:
    // The schemas lie this deep at most: deeper values, and those of other
    // fields, are skipped unnamed.
    static constexpr int kNamedDepth = 4;

    void space(size_t& at) const
    {
        while (at < m_text.size() && (m_text[at] == ' ' || m_text[at] == '\t' || m_text[at] == '\n' || m_text[at] == '\r'))
            ++at;
    }
    // A string from its opening quote; `key` gets its text, or a name no
    // path has when it holds escapes.
    bool string(size_t& at, std::string* key) const
    {
        const size_t start = ++at;
        bool escaped = false;
        while (at < m_text.size() && m_text[at] != '"') {
            escaped = escaped || m_text[at] == '\\';
            at += m_text[at] == '\\' ? 2 : 1;
        }
        if (at >= m_text.size())
            return false;
        if (key)
            *key = escaped ? std::string("\\") : std::string(m_text.substr(start, at - start));
        ++at;
        return true;
    }
    // The value at `at`, which Qt has read as JSON already; false where the
    // text ends early, and nothing more is found then.
    bool value(size_t& at, const std::string& path, int depth)
    {
        space(at);
        if (at >= m_text.size() || depth > 1000)
            return false;
        const size_t start = at;
        const bool named = depth == 0
                           || (depth <= kNamedDepth
                               && (path.rfind("/tools", 0) == 0 || path.rfind("/response_format", 0) == 0));
        const char open = m_text[at];
        if (open == '{' || open == '[') {
            ++at;
            space(at);
            const char close = open == '{' ? '}' : ']';
            for (int index = 0; at < m_text.size() && m_text[at] != close; ++index) {
                std::string name;
                if (open == '{') {
                    if (m_text[at] != '"' || !string(at, &name))
                        return false;
                    space(at);
                    if (at >= m_text.size() || m_text[at] != ':')
                        return false;
                    ++at;
                } else {
                    name = std::to_string(index);
                }
                if (!value(at, named ? path + '/' + name : std::string(), depth + 1))
                    return false;
                space(at);
                if (at < m_text.size() && m_text[at] == ',')
                    ++at;
                space(at);
            }
            if (at >= m_text.size())
                return false;
            ++at;
        } else if (open == '"') {
            if (!string(at, nullptr))
                return false;
        } else {
            while (at < m_text.size() && std::string_view(",]} \t\n\r").find(m_text[at]) == std::string_view::npos)
                ++at;
        }
        if (named)
            m_spans[path] = {start, at};
        return true;
    }

    std::string_view m_text;
    bool m_scanned = false;
    std::map<std::string, std::pair<size_t, size_t>> m_spans;
};

// The schema as a grammar, or why it cannot be one, in one line. The schema
// is walked, and the converter's grammar read for its repetitions, before
// llama.cpp's grammar reader sees it: that reader trusts its bounds. `cost`
// adds up what the request's grammars ask of each token.
// `schema` becomes the schema as rewritten for the converter (SchemaCheck.h),
// which the chat code then sees too.
std::optional<QString> toGrammar(std::string& schema, std::string& grammar, GrammarCost& cost)
{
    try {
        common_json parsed = common_json::parse(schema);
        rewriteForGrammar(parsed);
        schema = parsed.dump();
        if (std::optional<QString> why = schemaProblem(parsed))
            return why;
        grammar = grammarOf(parsed);
        if (std::optional<QString> why = grammarProblem(grammar, cost))
            return why;
        cost.alternatives -= boundedIntegerSurplus(parsed);
        if (cost.alternatives > maxGrammarAlternatives)
            return QStringLiteral("the reply's grammars would have %1 alternatives, and a token would wait for each of "
                                  "them; at most %2 are taken")
                .arg(cost.alternatives)
                .arg(maxGrammarAlternatives);
        if (cost.repeatedSymbols > maxGrammarRepeatedSymbols)
            return QStringLiteral("the reply's grammars would repeat %1 parts in all; at most %2 are taken")
                .arg(cost.repeatedSymbols)
                .arg(maxGrammarRepeatedSymbols);
        // What the walk cannot see (a rule that is only itself, say) the
        // reader still refuses; it needs no model for a grammar of characters.
        llama_sampler* readable = llama_sampler_init_grammar(nullptr, grammar.c_str(), "root");
        if (!readable)
            return QStringLiteral("llama.cpp's grammar reader cannot read the grammar made from it");
        llama_sampler_free(readable);
        return std::nullopt;
    } catch (const std::exception& e) {
        QString why = QString::fromUtf8(e.what()).trimmed();
        why.remove(QRegularExpression(QStringLiteral("^JSON schema conversion failed:\\s*")));
        why.replace(QRegularExpression(QStringLiteral("\\s*\\n\\s*")), QStringLiteral("; "));
        return why.isEmpty() ? QStringLiteral("the converter refused it") : why;
    }
}

std::optional<ApiError> countSchema(const QString& param, const std::string& schema, qsizetype& schemaBytes)
{
    schemaBytes += qsizetype(schema.size());
    if (schemaBytes <= maxSchemaBytes)
        return std::nullopt;
    return refused(param, QStringLiteral("The request's JSON Schemas are larger than %1 KiB in all.")
                              .arg(maxSchemaBytes / 1024));
}

bool carriesToolCalls(const QList<ChatMessage>& messages)
{
    for (const ChatMessage& message : messages)
        if (message.role == ChatMessage::Role::tool || !message.toolCalls.isEmpty())
            return true;
    return false;
}

std::optional<ApiError> readTools(const QJsonObject& body, SentBody& sent, ReplyAsk& ask, qsizetype& schemaBytes,
                                  GrammarCost& cost)
{
    const QString toolsParam = QStringLiteral("tools");
    ToolAsk tools;
    const QJsonValue offered = body.value(QLatin1String("tools"));
    if (!offered.isUndefined() && !offered.isNull() && !offered.isArray())
        return refused(toolsParam, QStringLiteral("'tools' must be an array of functions."));
    const QJsonArray offeredTools = offered.toArray();
    for (qsizetype i = 0; i < offeredTools.size(); ++i) {
        const QJsonObject tool = offeredTools[i].toObject();
        const QJsonObject function = tool.value(QLatin1String("function")).toObject();
        const QString name = function.value(QLatin1String("name")).toString();
        if (tool.value(QLatin1String("type")).toString() != QLatin1String("function") || name.isEmpty())
            return refused(toolsParam, QStringLiteral("Each tool must be of type 'function' and name its function."));
        for (const ToolSpec& earlier : tools.tools)
            if (earlier.name == name)
                return refused(toolsParam, QStringLiteral("Two tools are named '%1'.").arg(name));
        const QJsonValue description = function.value(QLatin1String("description"));
        if (!description.isUndefined() && !description.isNull() && !description.isString())
            return refused(toolsParam, QStringLiteral("The description of the function '%1' must be a string.").arg(name));
        // A function without parameters takes none, as the chat code reads it.
        QJsonValue parameters = function.value(QLatin1String("parameters"));
        const bool none = parameters.isUndefined() || parameters.isNull()
                          || (parameters.isObject() && parameters.toObject().isEmpty());
        if (none)
            parameters = QJsonObject{{QStringLiteral("type"), QStringLiteral("object")},
                                     {QStringLiteral("properties"), QJsonObject{}}};
        if (!parameters.isObject())
            return refused(toolsParam,
                           QStringLiteral("The parameters of the function '%1' must be a JSON Schema object.").arg(name));
        const std::string qtText = compactText(parameters.toObject());
        if (auto e = countSchema(toolsParam, qtText, schemaBytes))
            return e;
        std::string schema = none ? qtText : sent.text("/tools/" + std::to_string(i) + "/function/parameters", qtText);
        std::string grammar;
        if (const std::optional<QString> why = toGrammar(schema, grammar, cost))
            return refused(toolsParam, QStringLiteral("The parameters of the function '%1' are not a JSON Schema this "
                                                      "server can follow: %2")
                                           .arg(name, *why));
        tools.tools.append(ToolSpec{name, description.toString(), QString::fromStdString(schema)});
    }

    const QString choiceParam = QStringLiteral("tool_choice");
    const QJsonValue choice = body.value(QLatin1String("tool_choice"));
    if (choice.isUndefined() || choice.isNull() || choice.toString() == QLatin1String("auto")) {
        tools.choice = ToolAsk::Choice::automatic;
    } else if (choice.toString() == QLatin1String("none")) {
        tools.choice = ToolAsk::Choice::none;
    } else if (choice.toString() == QLatin1String("required")) {
        tools.choice = ToolAsk::Choice::required;
    } else if (choice.isObject()) {
        const QJsonObject named = choice.toObject();
        const QString name = named.value(QLatin1String("function")).toObject().value(QLatin1String("name")).toString();
        if (named.value(QLatin1String("type")).toString() != QLatin1String("function") || name.isEmpty())
            return refused(choiceParam, QStringLiteral("'tool_choice' must be auto, none, required or a function to call."));
        const bool known = std::any_of(tools.tools.cbegin(), tools.tools.cend(),
                                       [&](const ToolSpec& tool) { return tool.name == name; });
        if (!known)
            return refused(choiceParam,
                           QStringLiteral("'tool_choice' names the function '%1', which is not among the tools.").arg(name));
        tools.choice = ToolAsk::Choice::named;
        tools.named = name;
    } else {
        return refused(choiceParam, QStringLiteral("'tool_choice' must be auto, none, required or a function to call."));
    }
    if (tools.choice == ToolAsk::Choice::required && tools.tools.isEmpty())
        return refused(choiceParam, QStringLiteral("'tool_choice' is required, but the request has no tools."));

    const QJsonValue parallel = body.value(QLatin1String("parallel_tool_calls"));
    if (!parallel.isUndefined() && !parallel.isNull() && !parallel.isBool())
        return refused(QStringLiteral("parallel_tool_calls"), QStringLiteral("'parallel_tool_calls' must be true or false."));
    tools.parallelCalls = parallel.toBool(true);

    if (tools.tools.isEmpty() && !carriesToolCalls(ask.messages))
        return std::nullopt;
    if (tools.choice == ToolAsk::Choice::none)
        tools.tools.clear();
    ask.tools = tools;
    return std::nullopt;
}

std::optional<ApiError> readResponseFormat(const QJsonObject& body, SentBody& sent, ReplyAsk& ask,
                                           qsizetype& schemaBytes, GrammarCost& cost)
{
    const QString param = QStringLiteral("response_format");
    const QJsonValue format = body.value(QLatin1String("response_format"));
    if (format.isUndefined() || format.isNull())
        return std::nullopt;
    const QString type = format.toObject().value(QLatin1String("type")).toString();
    QJsonObject schema;
    std::string path; // where the schema was sent, when the client sent one
    if (type == QLatin1String("text")) {
        return std::nullopt;
    } else if (type == QLatin1String("json_object")) {
        schema = QJsonObject{{QStringLiteral("type"), QStringLiteral("object")}};
    } else if (type == QLatin1String("json_schema")) {
        const QJsonValue asked = format.toObject().value(QLatin1String("json_schema")).toObject().value(QLatin1String("schema"));
        if (!asked.isObject())
            return refused(param, QStringLiteral("'response_format.json_schema.schema' must be a JSON Schema object."));
        schema = asked.toObject();
        path = "/response_format/json_schema/schema";
    } else {
        return refused(param, QStringLiteral("'response_format' must be of type text, json_object or json_schema."));
    }
    const std::string qtText = compactText(schema);
    if (auto e = countSchema(param, qtText, schemaBytes))
        return e;
    std::string text = path.empty() ? qtText : sent.text(path, qtText);
    if (const std::optional<QString> why = toGrammar(text, ask.grammar, cost))
        return refused(param, QStringLiteral("The JSON Schema of 'response_format' was refused: %1").arg(*why));
    ask.jsonSchema = text;
    return std::nullopt;
}

} // namespace

std::optional<ApiError> readToolsAndFormat(const QJsonObject& body, const QByteArray& sent, ReplyAsk& ask)
{
    SentBody ordered(sent);
    qsizetype schemaBytes = 0;
    GrammarCost cost;
    if (auto e = readTools(body, ordered, ask, schemaBytes, cost))
        return e;
    return readResponseFormat(body, ordered, ask, schemaBytes, cost);
}

} // namespace cvn::api

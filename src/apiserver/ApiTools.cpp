#include "apiserver/ApiTools.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

#include <json-schema-to-grammar.h>

#include <algorithm>
#include <exception>

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
// from the body as it was sent, read in order.
struct SentBody {
    common_json json;
    const common_json* at(const common_json* value, const char* key) const
    {
        return value && value->is_object() && value->contains(key) ? &value->at(key) : nullptr;
    }
    const common_json* at(const common_json* value, size_t index) const
    {
        return value && value->is_array() && index < value->size() ? &value->at(index) : nullptr;
    }
    // The text of the object at `value`, or of `fallback` when it is none.
    static std::string text(const common_json* value, const QJsonObject& fallback)
    {
        return value && value->is_object() ? value->dump() : compactText(fallback);
    }
};

// The schema as a grammar, or why the converter refused it, in one line.
std::optional<QString> toGrammar(const std::string& schema, std::string& grammar)
{
    try {
        grammar = json_schema_to_grammar(common_json::parse(schema));
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

std::optional<ApiError> readTools(const QJsonObject& body, const SentBody& sent, ReplyAsk& ask, qsizetype& schemaBytes)
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
        const std::string schema = SentBody::text(
            none ? nullptr : sent.at(sent.at(sent.at(sent.at(&sent.json, "tools"), size_t(i)), "function"), "parameters"),
            parameters.toObject());
        if (auto e = countSchema(toolsParam, schema, schemaBytes))
            return e;
        std::string grammar;
        if (const std::optional<QString> why = toGrammar(schema, grammar))
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

std::optional<ApiError> readResponseFormat(const QJsonObject& body, const SentBody& sent, ReplyAsk& ask,
                                           qsizetype& schemaBytes)
{
    const QString param = QStringLiteral("response_format");
    const QJsonValue format = body.value(QLatin1String("response_format"));
    if (format.isUndefined() || format.isNull())
        return std::nullopt;
    const QString type = format.toObject().value(QLatin1String("type")).toString();
    QJsonObject schema;
    const common_json* given = nullptr;
    if (type == QLatin1String("text")) {
        return std::nullopt;
    } else if (type == QLatin1String("json_object")) {
        schema = QJsonObject{{QStringLiteral("type"), QStringLiteral("object")}};
    } else if (type == QLatin1String("json_schema")) {
        const QJsonValue asked = format.toObject().value(QLatin1String("json_schema")).toObject().value(QLatin1String("schema"));
        if (!asked.isObject())
            return refused(param, QStringLiteral("'response_format.json_schema.schema' must be a JSON Schema object."));
        schema = asked.toObject();
        given = sent.at(sent.at(sent.at(&sent.json, "response_format"), "json_schema"), "schema");
    } else {
        return refused(param, QStringLiteral("'response_format' must be of type text, json_object or json_schema."));
    }
    const std::string text = SentBody::text(given, schema);
    if (auto e = countSchema(param, text, schemaBytes))
        return e;
    if (const std::optional<QString> why = toGrammar(text, ask.grammar))
        return refused(param, QStringLiteral("The JSON Schema of 'response_format' was refused: %1").arg(*why));
    ask.jsonSchema = text;
    return std::nullopt;
}

} // namespace

std::optional<ApiError> readToolsAndFormat(const QJsonObject& body, const QByteArray& sent, ReplyAsk& ask)
{
    SentBody ordered;
    if (body.contains(QLatin1String("tools")) || body.contains(QLatin1String("response_format")))
        ordered.json = common_json::parse_no_throw(sent.toStdString());
    qsizetype schemaBytes = 0;
    if (auto e = readTools(body, ordered, ask, schemaBytes))
        return e;
    return readResponseFormat(body, ordered, ask, schemaBytes);
}

} // namespace cvn::api

#include "apiserver/ToolReplies.h"

#include "platform/Logging.h"

#include <QJsonArray>
#include <QUuid>

#include <chat.h>

#include <exception>
#include <string>
#include <vector>

namespace cvn::api {

namespace {

std::string newCallId()
{
    return "call_" + QUuid::createUuid().toString(QUuid::Id128).left(24).toStdString();
}

QString text(const std::string& s)
{
    return QString::fromStdString(s);
}

bool startsWith(const std::string& s, const std::string& prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0;
}

} // namespace

struct ToolReplyReader::State {
    common_chat_parser_params params;
    std::string written; // the reply so far
    std::vector<std::string> ids; // one per call, fixed once it is seen
    // What the client has been sent.
    std::string content, reasoning;
    struct SentCall {
        bool head = false;
        std::string arguments;
    };
    std::vector<SentCall> calls;
    bool madeCalls = false;

    common_chat_msg parse(const std::string& reply, bool partial)
    {
        common_chat_msg message;
        try {
            message = common_chat_parse(reply, partial, params);
        } catch (const std::exception& e) {
            if (partial)
                throw;
            // The model left its format (a cut call, a call to no tool):
            // what it wrote is its answer.
            qCWarning(lcRuntime, "API: a reply did not follow the model's chat format: %s", e.what());
            message = common_chat_msg{};
            message.content = reply;
        }
        message.set_tool_call_ids(ids, newCallId);
        return message;
    }

    // The deltas from what was sent to `message`. Only what extends the text
    // sent goes out: a partial parse may yet read the same text otherwise.
    QList<QJsonObject> deltas(const common_chat_msg& message, bool whole)
    {
        QList<QJsonObject> out;
        const auto grow = [&](std::string& sent, const std::string& now, const char* field) {
            if (now.size() > sent.size() && startsWith(now, sent)) {
                out.append(QJsonObject{{QLatin1String(field), text(now.substr(sent.size()))}});
                sent = now;
            }
        };
        grow(reasoning, message.reasoning_content, "reasoning_content");
        grow(content, message.content, "content");
        for (size_t i = 0; i < message.tool_calls.size(); ++i) {
            const common_chat_tool_call& call = message.tool_calls[i];
            const std::string& arguments = call.arguments;
            // A name may still grow while nothing follows it.
            const bool named = !call.name.empty() && (whole || !arguments.empty() || i + 1 < message.tool_calls.size());
            if (calls.size() <= i)
                calls.resize(i + 1);
            SentCall& sent = calls[i];
            if (!sent.head) {
                if (!named)
                    break;
                const QJsonObject function{{QStringLiteral("name"), text(call.name)},
                                           {QStringLiteral("arguments"), QString()}};
                out.append(QJsonObject{
                    {QStringLiteral("tool_calls"),
                     QJsonArray{QJsonObject{{QStringLiteral("index"), int(i)},
                                            {QStringLiteral("id"), text(call.id)},
                                            {QStringLiteral("type"), QStringLiteral("function")},
                                            {QStringLiteral("function"), function}}}}});
                sent.head = true;
                madeCalls = true;
            }
            if (arguments.size() > sent.arguments.size() && startsWith(arguments, sent.arguments)) {
                const QJsonObject function{{QStringLiteral("arguments"), text(arguments.substr(sent.arguments.size()))}};
                out.append(QJsonObject{
                    {QStringLiteral("tool_calls"),
                     QJsonArray{QJsonObject{{QStringLiteral("index"), int(i)}, {QStringLiteral("function"), function}}}}});
                sent.arguments = arguments;
            } else if (whole && arguments != sent.arguments) {
                qCWarning(lcRuntime, "API: a streamed tool call's arguments changed after they were sent");
            }
        }
        return out;
    }
};

ToolReplyReader::ToolReplyReader(const ReplySyntax& syntax) : d(std::make_unique<State>())
{
    d->params.format = common_chat_format(syntax.format);
    d->params.generation_prompt = syntax.generationPrompt;
    d->params.reasoning_format = syntax.splitReasoning ? COMMON_REASONING_FORMAT_DEEPSEEK : COMMON_REASONING_FORMAT_NONE;
    if (!syntax.parser.empty()) {
        try {
            d->params.parser.load(syntax.parser);
        } catch (const std::exception& e) {
            // Read as plain content rather than not at all.
            qCWarning(lcRuntime, "API: the model's reply parser could not be loaded: %s", e.what());
            d->params = common_chat_parser_params{};
        }
    }
}

ToolReplyReader::~ToolReplyReader() = default;

ToolReplyReader::Message ToolReplyReader::read(const QString& reply)
{
    const common_chat_msg message = d->parse(reply.toStdString(), false);
    Message read{text(message.content), text(message.reasoning_content), {}};
    for (const common_chat_tool_call& call : message.tool_calls)
        read.calls.append(ToolCall{text(call.id), text(call.name), text(call.arguments)});
    return read;
}

QList<QJsonObject> ToolReplyReader::feed(const QString& pieces)
{
    d->written += pieces.toStdString();
    try {
        return d->deltas(d->parse(d->written, true), false);
    } catch (const std::exception&) {
        return {}; // the next pieces may make it readable
    }
}

QList<QJsonObject> ToolReplyReader::finish()
{
    return d->deltas(d->parse(d->written, false), true);
}

bool ToolReplyReader::madeCalls() const
{
    return d->madeCalls;
}

} // namespace cvn::api

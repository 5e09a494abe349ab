#include "apiserver/ApiServer.h"

#include "apiserver/ApiConnections.h"
#include "apiserver/ApiImages.h"
#include "apiserver/ApiMessages.h"
#include "apiserver/ToolReplies.h"
#include "engine/LlamaSession.h"
#include "engine/ReasoningParser.h"
#include "engine/VisionProjector.h"
#include "models/ModelStore.h"
#include "models/ProjectorPairing.h"
#include "platform/AppSettings.h"
#include "platform/Logging.h"
#include "platform/MainThread.h"
#include "platform/SettingsNotifier.h"
#include "platform/Sockets.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>
#include <QUrl>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace cvn {

using namespace api;

namespace {

using SteadyClock = std::chrono::steady_clock;
constexpr auto kWatchInterval = std::chrono::milliseconds(20);
// How long a request whose client has gone waits for its run to end, so that
// its log line tells what it used; the run ends at its next token or slice.
constexpr auto kSettleLimit = std::chrono::seconds(10);

// What the request's log line tells, gathered on the thread that answers it.
struct LogFacts {
    QString model = QStringLiteral("-");
    int64_t promptTokens = 0;
    int64_t completionTokens = 0;
    bool clientLeft = false;
    QByteArray request; // "METHOD PATH", once the answer's head is written
    int status = 0;
    bool answerStarted = false; // its first piece went to the client
    SteadyClock::time_point startedAt = SteadyClock::now();
};
thread_local LogFacts t_facts;

// How often a request whose client has sent its end (a half-close, or a
// close: only a write tells them apart) asks whether it is still there.
constexpr auto kProbeInterval = std::chrono::seconds(1);
// How long the answers in hand have to go out when the server stops, before
// every connection is cut.
constexpr auto kStopGrace = std::chrono::milliseconds(250);

// A path as the log shows it: a control character in it could forge lines.
QByteArray loggedPath(const std::string& path)
{
    QByteArray shown;
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || byte == '\\')
            shown += "\\x" + QByteArray::number(byte, 16).rightJustified(2, '0');
        else
            shown += c;
    }
    return shown;
}

void sendError(httplib::Response& res, const ApiError& error)
{
    res.status = error.status;
    if (!error.retry)
        res.set_header("x-should-retry", "false");
    res.set_content(error.body().toStdString(), "application/json");
}

ApiError simpleError(int status, const QString& message, const QString& type, const QString& code = {})
{
    return ApiError{status, message, type, {}, code};
}

// A client pointed at a path of the OpenAI API that is not served learns
// which are, and the one setting that most often sends it elsewhere: the AI
// SDK's default model of @ai-sdk/openai speaks the Responses API.
const QString kUnservedPath = QStringLiteral(
    "This server has no such path. It serves GET /v1/models, GET /v1/models/{model}, POST /v1/chat/completions and "
    "POST /v1/completions. With the AI SDK's @ai-sdk/openai, use openai.chat(id): openai(id) asks for /v1/responses.");

ApiError stoppingError()
{
    return simpleError(503, QStringLiteral("The local server is stopping."), QStringLiteral("server_error"));
}

// Ends a stream whose status has gone out already.
QByteArray errorEvent(const ApiError& error)
{
    return "data: " + error.body() + "\n\n";
}

// The reply on its way from the model's queue to the thread that answers.
struct Exchange {
    std::mutex mutex;
    std::condition_variable changed;
    QString pending; // pieces not yet taken
    bool anyPiece = false;
    QString model; // the id of the model that answers, once the run has it
    // When a client that has sent its end may next be asked whether it is
    // still there; kept across the waits of one request, which come as often
    // as its pieces.
    std::chrono::steady_clock::time_point nextProbe;
    ReplySyntax syntax; // how a reply to a request with tools is read
    std::optional<ServedRequest::Outcome> outcome;
};

// The store's models that a request can run on: a vision projector sits in
// the folder beside its model, but is never loaded as one.
QList<ModelInfo> servedModels(const ModelStore& store)
{
    QList<ModelInfo> models;
    for (const ModelInfo& model : store.models())
        if (!model.isVisionProjector())
            models.append(model);
    return models;
}

} // namespace

struct ApiServer::Core {
    explicit Core(std::chrono::seconds deadline) : http(deadline) {}
    api::HttpServer http;
    std::thread thread;
    int port = 0;
    QString apiKey;
    QPointer<LlamaSession> session;
    // Shared with the requests' ends, which may come after the server is gone.
    std::shared_ptr<std::atomic<int>> waiting = std::make_shared<std::atomic<int>>(0);
    std::atomic<bool> stopping{false};

    std::mutex modelsMutex;
    QList<ModelInfo> models;
    QList<ModelInfo> all; // the folder's records, projectors with them
    std::optional<QUuid> loaded; // the model in the slot, as last told

    // Under modelsMutex.
    bool seesImages(const ModelInfo& model) const { return ProjectorPairing::projectorFor(model, all).has_value(); }

    // A request with images for a model that sees none is refused before
    // its turn, so that nothing is loaded for it. One that names no model
    // is judged by the model in the slot now; a model changed before its
    // turn comes is left to the run to refuse.
    bool takesImages(const std::optional<ModelInfo>& named)
    {
        std::lock_guard lock(modelsMutex);
        if (named)
            return seesImages(*named);
        for (const ModelInfo& model : models)
            if (loaded && model.id == *loaded)
                return seesImages(model);
        return true; // none loaded: the run says so
    }

    std::optional<ModelInfo> findModel(const QString& name)
    {
        std::lock_guard lock(modelsMutex);
        for (const ModelInfo& model : models)
            if (modelId(model) == name || model.displayName == name)
                return model;
        for (const ModelInfo& model : models)
            if (modelId(model).compare(name, Qt::CaseInsensitive) == 0
                || model.displayName.compare(name, Qt::CaseInsensitive) == 0)
                return model;
        return std::nullopt;
    }

    // Waits until `ready` holds, the client has gone (which cancels the
    // request) or the server stops. True when ready. A client that has sent
    // its end may only have half-closed its side: `probe` writes what it
    // harmlessly can, and the reset a gone client sends back tells.
    bool waitFor(Exchange& exchange, const std::shared_ptr<api::Connection>& connection, RequestControl& control,
                 const std::function<bool()>& ready, const std::function<bool()>& probe)
    {
        std::unique_lock lock(exchange.mutex);
        for (;;) {
            if (ready())
                return true;
            bool gone = false;
            const sockets::PeerState peer = connection ? sockets::peerState(connection->fd) : sockets::PeerState::open;
            // The stop ends every connection's reading side, which looks
            // like the client's own end: it is told after the stop is, so
            // it is read as the stop and nothing goes out ahead of the 503.
            if (!stopping && peer == sockets::PeerState::gone)
                gone = true;
            if (!stopping && peer == sockets::PeerState::doneSending && SteadyClock::now() >= exchange.nextProbe) {
                gone = !probe || !probe();
                exchange.nextProbe = SteadyClock::now() + kProbeInterval;
            }
            if (stopping || gone) {
                t_facts.clientLeft = gone && !stopping;
                control.cancel();
                return false;
            }
            exchange.changed.wait_for(lock, kWatchInterval);
        }
    }

    // After the client has gone from a running request: records what the
    // run used once it ends.
    static void settle(Exchange& exchange)
    {
        std::unique_lock lock(exchange.mutex);
        exchange.changed.wait_for(lock, kSettleLimit, [&] { return exchange.outcome.has_value(); });
        if (exchange.outcome) {
            t_facts.promptTokens = exchange.outcome->promptTokens;
            t_facts.completionTokens = exchange.outcome->completionTokens;
        }
    }

    bool allowedOrigin(const std::string& origin) const
    {
        const QUrl url(QString::fromStdString(origin));
        const QString host = url.host();
        return url.isValid() && (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https"))
               && (host == QLatin1String("localhost") || host == QLatin1String("127.0.0.1"));
    }

    httplib::Server::HandlerResponse screen(const httplib::Request& req, httplib::Response& res);

    // A request for a reply, read and checked.
    struct Asked {
        ReplyAsk ask;
        bool chat = true;
        std::optional<ModelInfo> model; // the one it names, if any
    };
    // A request handed to the session, on its way to its run.
    struct Queued {
        std::shared_ptr<Exchange> exchange;
        std::shared_ptr<RequestControl> control;
        std::function<void()> leaveCount; // once, when it stops waiting
        std::shared_ptr<api::Connection> connection;
    };
    struct Stream;
    void answer(const httplib::Request& req, httplib::Response& res, bool chat);
    std::optional<Asked> read(const httplib::Request& req, httplib::Response& res, bool chat);
    std::optional<Queued> queue(const Asked& asked, httplib::Response& res);
    // False when the answer is sent already (an error) or none can be.
    bool waitForStart(const Asked& asked, Queued& queued, httplib::Response& res);
    void answerWhole(const Asked& asked, const Queued& queued, const AnswerIds& ids, httplib::Response& res);
    void answerStreamed(const Asked& asked, const Queued& queued, const AnswerIds& ids, httplib::Response& res);
    bool sendStream(Stream& stream, const Queued& queued, httplib::DataSink& sink);
};

httplib::Server::HandlerResponse ApiServer::Core::screen(const httplib::Request& req, httplib::Response& res)
{
    using Handled = httplib::Server::HandlerResponse;
    // A page on another site could reach this port through a name that
    // resolves here: only our own names are answered.
    const std::string host = req.get_header_value("Host");
    const std::string portText = std::to_string(port);
    if (host != "127.0.0.1:" + portText && host != "localhost:" + portText) {
        sendError(res, simpleError(403, QStringLiteral("Requests must be addressed to 127.0.0.1 or localhost."),
                                   QStringLiteral("invalid_request_error"), QStringLiteral("forbidden_host")));
        return Handled::Handled;
    }
    if (req.has_header("Origin")) {
        const std::string origin = req.get_header_value("Origin");
        if (!allowedOrigin(origin)) {
            sendError(res, simpleError(403, QStringLiteral("Pages from other sites may not use this server."),
                                       QStringLiteral("invalid_request_error"), QStringLiteral("forbidden_origin")));
            return Handled::Handled;
        }
        res.set_header("Access-Control-Allow-Origin", origin);
        res.set_header("Vary", "Origin");
        if (req.method == "OPTIONS") {
            res.set_header("Access-Control-Allow-Methods", "GET, POST, OPTIONS");
            const std::string asked = req.get_header_value("Access-Control-Request-Headers");
            res.set_header("Access-Control-Allow-Headers", asked.empty() ? "Authorization, Content-Type" : asked);
            res.set_header("Access-Control-Max-Age", "600");
            res.status = 204;
            return Handled::Handled;
        }
    }
    const bool models = req.path == "/v1/models" || req.path.rfind("/v1/models/", 0) == 0;
    const bool replies = req.path == "/v1/chat/completions" || req.path == "/v1/completions";
    if ((models && req.method != "GET") || (replies && req.method != "POST")) {
        res.set_header("Allow", models ? "GET" : "POST");
        sendError(res, simpleError(405, QStringLiteral("Method not allowed."), QStringLiteral("invalid_request_error"),
                                   QStringLiteral("method_not_allowed")));
        return Handled::Handled;
    }
    if (!apiKey.isEmpty() && req.get_header_value("Authorization") != "Bearer " + apiKey.toStdString()) {
        sendError(res, simpleError(401, QStringLiteral("Incorrect API key provided."),
                                   QStringLiteral("invalid_request_error"), QStringLiteral("invalid_api_key")));
        return Handled::Handled;
    }
    return Handled::Unhandled;
}

// A request for a reply goes its way in steps: its body is read and checked
// (read), it joins the slot's queue (queue), it waits for its first piece or
// its end (waitForStart), and it is answered whole or streamed.
void ApiServer::Core::answer(const httplib::Request& req, httplib::Response& res, bool chat)
{
    http.reading(false);
    std::optional<Asked> asked = read(req, res, chat);
    if (!asked)
        return;
    std::optional<Queued> queued = queue(*asked, res);
    if (!queued || !waitForStart(*asked, *queued, res))
        return;
    // A request that names no model is answered by the one in the slot when
    // its turn came, which the run told before its first piece.
    const QString answeredBy = t_facts.model == QLatin1String("-") ? QString() : t_facts.model;
    const AnswerIds ids = newAnswer(answeredBy, chat);
    if (asked->ask.stream)
        answerStreamed(*asked, *queued, ids, res);
    else
        answerWhole(*asked, *queued, ids, res);
}

std::optional<ApiServer::Core::Asked> ApiServer::Core::read(const httplib::Request& req, httplib::Response& res,
                                                            bool chat)
{
    // Only images make a body past the smaller limit: one that cannot hold
    // any is refused before its JSON is read.
    const bool large = req.body.size() > maxBodyBytes;
    const auto tooLarge = [&res] {
        sendError(res, simpleError(413, QStringLiteral("The request body is larger than 8 MiB; only a request with "
                                                       "images may be up to 32 MiB."),
                                   QStringLiteral("invalid_request_error"), QStringLiteral("request_too_large")));
        return std::nullopt;
    };
    if (large && req.body.find("image_url") == std::string::npos)
        return tooLarge();
    Asked asked;
    asked.chat = chat;
    if (const std::optional<ApiError> error = readAsk(QByteArray::fromStdString(req.body), chat, asked.ask)) {
        sendError(res, *error);
        return std::nullopt;
    }
    const bool withImages = hasImages(asked.ask);
    if (large && !withImages)
        return tooLarge();
    if (!asked.ask.model.isEmpty()) {
        asked.model = findModel(asked.ask.model);
        if (!asked.model) {
            sendError(res, ApiError{404, QStringLiteral("The model '%1' does not exist.").arg(asked.ask.model),
                                    QStringLiteral("invalid_request_error"), QStringLiteral("model"),
                                    QStringLiteral("model_not_found")});
            return std::nullopt;
        }
        t_facts.model = modelId(*asked.model);
    }
    if (withImages && !takesImages(asked.model)) {
        sendError(res, ApiError{400, kTakesNoImages, QStringLiteral("invalid_request_error"), QStringLiteral("messages"),
                                {}, false});
        return std::nullopt;
    }
    return asked;
}

std::optional<ApiServer::Core::Queued> ApiServer::Core::queue(const Asked& asked, httplib::Response& res)
{
    if (++*waiting > maxWaiting) {
        --*waiting;
        res.set_header("Retry-After", "1");
        sendError(res, simpleError(503, QStringLiteral("Too many requests are waiting; try again shortly."),
                                   QStringLiteral("server_error"), QStringLiteral("overloaded")));
        return std::nullopt;
    }
    // The request leaves the count once, when its run is over or when its
    // client has gone, whichever comes first: a gone client's request waits
    // for no one, though the slot skips it only when its turn comes.
    const auto counted = std::make_shared<std::atomic<bool>>(true);
    Queued queued;
    queued.leaveCount = [counted, waiting = waiting] {
        if (counted->exchange(false))
            --*waiting;
    };
    queued.exchange = std::make_shared<Exchange>();
    const ReplyAsk& ask = asked.ask;
    ServedRequest request;
    request.model = asked.model;
    if (asked.chat)
        request.messages = ask.messages;
    else
        request.rawPrompt = ask.prompt;
    request.overrides = ask.overrides;
    request.tools = ask.tools;
    request.grammar = ask.grammar;
    request.jsonSchema = ask.jsonSchema;
    queued.control = request.control;
    request.onSyntax = [exchange = queued.exchange](const ReplySyntax& syntax) {
        std::lock_guard lock(exchange->mutex);
        exchange->syntax = syntax;
    };
    request.onPiece = [exchange = queued.exchange](const QString& piece) {
        std::lock_guard lock(exchange->mutex);
        exchange->pending += piece;
        exchange->anyPiece = true;
        exchange->changed.notify_all();
        return true;
    };
    request.onAnswering = [exchange = queued.exchange](const ModelInfo& answering) {
        std::lock_guard lock(exchange->mutex);
        exchange->model = modelId(answering);
    };
    request.onFinished = [exchange = queued.exchange, leaveCount = queued.leaveCount](
                             const ServedRequest::Outcome& outcome) {
        leaveCount();
        std::lock_guard lock(exchange->mutex);
        exchange->outcome = outcome;
        exchange->changed.notify_all();
    };
    runOnMain([session = session, request]() mutable {
        if (session) {
            session->serveRequest(std::move(request));
        } else {
            // The window's session has closed: the app is on its way out.
            ServedRequest::Outcome gone;
            gone.cancelled = true;
            gone.mayRetry = true;
            request.onFinished(gone);
        }
    });
    queued.connection = api::HttpServer::current();
    return queued;
}

bool ApiServer::Core::waitForStart(const Asked& asked, Queued& queued, httplib::Response& res)
{
    Exchange& exchange = *queued.exchange;
    const std::shared_ptr<api::Connection>& connection = queued.connection;
    // Before the answer's status line, an interim answer is all that may go.
    const auto probeBeforeAnswer = [connection] {
        static constexpr char processing[] = "HTTP/1.1 102 Processing\r\n\r\n";
        return connection->interimAllowed
               && sockets::sendSome(connection->fd, processing, sizeof processing - 1).bytes > 0;
    };
    const auto noteModel = [&] {
        std::lock_guard lock(exchange.mutex);
        if (!asked.model && !exchange.model.isEmpty())
            t_facts.model = exchange.model;
    };
    // Nothing is sent before the first piece, so that a request that fails
    // before it gets its own status.
    const bool stream = asked.ask.stream;
    if (!waitFor(exchange, connection, *queued.control,
                 [&] { return exchange.outcome || (stream && exchange.anyPiece); }, probeBeforeAnswer)) {
        queued.leaveCount();
        noteModel();
        bool started = false;
        {
            std::lock_guard lock(exchange.mutex);
            started = exchange.anyPiece;
        }
        if (started && !stopping)
            settle(exchange);
        if (stopping)
            sendError(res, stoppingError());
        return false;
    }
    noteModel();
    t_facts.answerStarted = true;
    std::lock_guard lock(exchange.mutex);
    if (exchange.outcome) {
        t_facts.promptTokens = exchange.outcome->promptTokens;
        t_facts.completionTokens = exchange.outcome->completionTokens;
        if (const std::optional<ApiError> error = outcomeError(*exchange.outcome)) {
            sendError(res, *error);
            return false;
        }
    }
    return true;
}

void ApiServer::Core::answerWhole(const Asked& asked, const Queued& queued, const AnswerIds& ids,
                                  httplib::Response& res)
{
    const Exchange& exchange = *queued.exchange;
    if (asked.ask.tools) {
        ToolReplyReader reader(exchange.syntax);
        const ToolReplyReader::Message message = reader.read(exchange.pending);
        res.set_content(answerBody(ids, message.content, message.reasoning, *exchange.outcome, message.calls)
                            .toStdString(),
                        "application/json");
        return;
    }
    ReasoningParser parser;
    const ReasoningParser::Split split = parser.feed(exchange.pending);
    const ReasoningParser::Split rest = parser.flush();
    // The run has cut the reply before its stop string already.
    res.set_content(
        answerBody(ids, split.answer + rest.answer, split.reasoning + rest.reasoning, *exchange.outcome).toStdString(),
        "application/json");
}

// The events of a streamed answer, from the run's pieces as they come.
struct ApiServer::Core::Stream {
    AnswerIds ids;
    ReasoningParser parser;
    bool includeUsage = false;
    // With tools, the reply is read by the model's own format; the run has
    // said how before its first piece.
    std::unique_ptr<ToolReplyReader> tools;

    QByteArray deltasOf(const QList<QJsonObject>& deltas) const
    {
        QByteArray out;
        for (const QJsonObject& delta : deltas)
            out += chunkEvent(ids, delta, {});
        return out;
    }
    QByteArray piecesOf(const ReasoningParser::Split& split) const
    {
        QByteArray out;
        if (!split.reasoning.isEmpty())
            out += chunkEvent(ids, QJsonObject{{QStringLiteral("reasoning_content"), split.reasoning}}, {});
        if (!split.answer.isEmpty())
            out += chunkEvent(ids, QJsonObject{{QStringLiteral("content"), split.answer}}, {});
        return out;
    }
    QByteArray middle(const QString& pieces)
    {
        return tools ? deltasOf(tools->feed(pieces)) : piecesOf(parser.feed(pieces));
    }
    // The last pieces, the finish, the usage when asked for, and the end.
    QByteArray tail(const QString& pieces, const ServedRequest::Outcome& outcome)
    {
        QByteArray out;
        if (tools) {
            out = deltasOf(tools->feed(pieces));
            out += deltasOf(tools->finish());
        } else {
            ReasoningParser::Split last = parser.feed(pieces);
            const ReasoningParser::Split rest = parser.flush();
            last.answer += rest.answer;
            last.reasoning += rest.reasoning;
            out = piecesOf(last);
        }
        out += chunkEvent(ids, QJsonObject{}, finishReason(outcome, tools && tools->madeCalls()));
        if (includeUsage)
            out += usageEvent(ids, outcome);
        return out + "data: [DONE]\n\n";
    }
};

void ApiServer::Core::answerStreamed(const Asked& asked, const Queued& queued, const AnswerIds& ids,
                                     httplib::Response& res)
{
    auto stream = std::make_shared<Stream>();
    stream->ids = ids;
    stream->includeUsage = asked.ask.includeUsage;
    if (asked.ask.tools) {
        std::lock_guard lock(queued.exchange->mutex);
        stream->tools = std::make_unique<ToolReplyReader>(queued.exchange->syntax);
    }
    res.set_header("Cache-Control", "no-cache");
    res.set_chunked_content_provider("text/event-stream", [this, stream, queued](size_t, httplib::DataSink& sink) {
        return sendStream(*stream, queued, sink);
    });
}

bool ApiServer::Core::sendStream(Stream& stream, const Queued& queued, httplib::DataSink& sink)
{
    Exchange& exchange = *queued.exchange;
    const auto write = [&sink](const QByteArray& bytes) { return sink.write(bytes.constData(), size_t(bytes.size())); };
    // An event stream's comment line, which every client passes over.
    const auto probe = [&write] { return write(": \n\n"); };
    const auto clientLeft = [&] {
        t_facts.clientLeft = true;
        queued.control->cancel();
        settle(exchange);
        return false;
    };
    const auto end = [&](const QByteArray& last) {
        write(last);
        sink.done();
        return true;
    };
    if (stream.ids.chat
        && !write(chunkEvent(stream.ids,
                             QJsonObject{{QStringLiteral("role"), QStringLiteral("assistant")},
                                         {QStringLiteral("content"), QString()}},
                             {})))
        return clientLeft();
    for (;;) {
        if (!waitFor(exchange, queued.connection, *queued.control,
                     [&] { return !exchange.pending.isEmpty() || exchange.outcome; }, probe)) {
            if (!stopping) {
                settle(exchange);
                return false;
            }
            // The body ends whole after the error, so that the client reads
            // why rather than a broken stream.
            return end(errorEvent(stoppingError()));
        }
        QString pieces;
        std::optional<ServedRequest::Outcome> outcome;
        {
            std::lock_guard lock(exchange.mutex);
            pieces = std::exchange(exchange.pending, {});
            outcome = exchange.outcome;
        }
        if (!outcome) {
            const QByteArray events = stream.middle(pieces);
            if (!events.isEmpty() && !write(events))
                return clientLeft();
            continue;
        }
        t_facts.promptTokens = outcome->promptTokens;
        t_facts.completionTokens = outcome->completionTokens;
        if (const std::optional<ApiError> error = outcomeError(*outcome))
            return end(errorEvent(*error));
        return end(stream.tail(pieces, *outcome));
    }
}

ApiServer::ApiServer(LlamaSession& session, ModelStore& store, QObject* parent)
    : QObject(parent)
    , m_session(session)
    , m_store(store)
    , m_state(QStringLiteral("Off"))
{
    connect(&m_store, &ModelStore::modelsChanged, this, &ApiServer::publishModels);
    connect(&m_session, &LlamaSession::loadedModelChanged, this, &ApiServer::publishModels);
    // The store rescans when the window comes forward; clients ask for the
    // models whenever they like, so the folder is watched while serving.
    // Changes come in bursts while a file is written: one rescan after them.
    m_rescan.setSingleShot(true);
    m_rescan.setInterval(300);
    connect(&m_rescan, &QTimer::timeout, &m_store, &ModelStore::reload);
    connect(&m_folderWatch, &QFileSystemWatcher::directoryChanged, &m_rescan, qOverload<>(&QTimer::start));
}

ApiServer::~ApiServer()
{
    stop();
}

void ApiServer::setRequestDeadline(int seconds)
{
    m_deadlineSeconds = std::max(1, seconds);
}

void ApiServer::publishModels()
{
    if (!m_core)
        return;
    QList<ModelInfo> models = servedModels(m_store);
    std::lock_guard lock(m_core->modelsMutex);
    m_core->models = std::move(models);
    m_core->all = projectorsThatLoad(m_store);
    m_core->loaded = m_session.loadedModelId();
}

bool ApiServer::start(int port, const QString& apiKey)
{
    stop();
    auto core = std::make_shared<Core>(std::chrono::seconds(m_deadlineSeconds));
    core->port = port;
    core->apiKey = apiKey;
    core->session = &m_session;
    core->models = servedModels(m_store);
    core->all = projectorsThatLoad(m_store);
    core->loaded = m_session.loadedModelId();
    Core* c = core.get();
    api::HttpServer& http = core->http;
    // Each request starts a log line of its own, whatever ends it.
    http.onRequestStart = [] { t_facts = LogFacts{}; };
    http.set_payload_max_length(maxImageBodyBytes);
    http.set_read_timeout(m_deadlineSeconds, 0);
    http.set_pre_routing_handler([c](const httplib::Request& req, httplib::Response& res) { return c->screen(req, res); });
    // The routes are reached once the body is read too, unlike the
    // pre-routing screen: the request's deadline ends there.
    http.Get("/v1/models", [c](const httplib::Request&, httplib::Response& res) {
        c->http.reading(false);
        QJsonArray data;
        std::lock_guard lock(c->modelsMutex);
        for (const ModelInfo& model : c->models)
            data.append(modelObject(model, c->seesImages(model)));
        const QJsonObject body{{QStringLiteral("object"), QStringLiteral("list")}, {QStringLiteral("data"), data}};
        res.set_content(QJsonDocument(body).toJson(QJsonDocument::Compact).toStdString(), "application/json");
    });
    http.Get("/v1/models/(.+)", [c](const httplib::Request& req, httplib::Response& res) {
        c->http.reading(false);
        const QString id = QString::fromStdString(req.matches[1]);
        const std::optional<ModelInfo> model = c->findModel(id);
        bool seesImages = false;
        if (model) {
            std::lock_guard lock(c->modelsMutex);
            seesImages = c->seesImages(*model);
        }
        if (!model)
            return sendError(res, ApiError{404, QStringLiteral("The model '%1' does not exist.").arg(id),
                                           QStringLiteral("invalid_request_error"), QStringLiteral("model"),
                                           QStringLiteral("model_not_found")});
        t_facts.model = modelId(*model);
        res.set_content(QJsonDocument(modelObject(*model, seesImages)).toJson(QJsonDocument::Compact).toStdString(),
                        "application/json");
    });
    http.Post("/v1/chat/completions",
              [c](const httplib::Request& req, httplib::Response& res) { c->answer(req, res, true); });
    http.Post("/v1/completions", [c](const httplib::Request& req, httplib::Response& res) { c->answer(req, res, false); });
    http.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (!res.body.empty())
            return;
        if (res.status == 413)
            sendError(res, simpleError(413, QStringLiteral("The request body is larger than 32 MiB."),
                                       QStringLiteral("invalid_request_error"), QStringLiteral("request_too_large")));
        else if (res.status == 404)
            sendError(res, simpleError(404, kUnservedPath, QStringLiteral("invalid_request_error"),
                                       QStringLiteral("not_found")));
        else
            sendError(res, simpleError(res.status, QStringLiteral("The request could not be read."),
                                       QStringLiteral("invalid_request_error")));
    });
    // httplib logs an answer once its head is written; a stream's body, and
    // with it what the run used, comes after. The line is written once the
    // request is over.
    http.set_logger([](const httplib::Request& req, const httplib::Response& res) {
        t_facts.request = loggedPath(req.method) + ' ' + loggedPath(req.path);
        t_facts.status = res.status;
    });
    http.onRequestEnd = [] {
        if (t_facts.request.isEmpty())
            return;
        const double seconds = std::chrono::duration<double>(SteadyClock::now() - t_facts.startedAt).count();
        // A client that left before its answer was sent none.
        const QByteArray status = t_facts.clientLeft && !t_facts.answerStarted ? QByteArrayLiteral("-")
                                                                               : QByteArray::number(t_facts.status);
        qCInfo(lcRuntime, "API: %s %s, model %s, %lld prompt tokens, %lld completion tokens, %.2f s%s",
               t_facts.request.constData(), status.constData(), qUtf8Printable(t_facts.model),
               static_cast<long long>(t_facts.promptTokens), static_cast<long long>(t_facts.completionTokens), seconds,
               t_facts.clientLeft ? ", cancelled: the client left" : "");
    };

    if (port < 1 || port > 65535 || !http.bind_to_port("127.0.0.1", port)) {
        m_state = QStringLiteral("Not listening: port %1 is taken by another program.").arg(port);
        qCWarning(lcRuntime, "API: %s", qUtf8Printable(m_state));
        emit stateChanged();
        return false;
    }
    core->thread = std::thread([c] { c->http.listen_after_bind(); });
    m_core = core;
    if (!m_store.folder().isEmpty())
        m_folderWatch.addPath(m_store.folder());
    m_state = QStringLiteral("Listening on %1").arg(baseUrl());
    qCInfo(lcRuntime, "API: listening on %s", qUtf8Printable(baseUrl()));
    emit stateChanged();
    return true;
}

void ApiServer::stop()
{
    if (!m_core)
        return;
    std::shared_ptr<Core> core = std::exchange(m_core, nullptr);
    if (!m_folderWatch.directories().isEmpty())
        m_folderWatch.removePaths(m_folderWatch.directories());
    m_rescan.stop();
    // Requests waiting for their turn hear of the stop within a moment and
    // answer 503; the listening socket goes first, so that the port is free.
    core->stopping = true;
    core->http.stop();
    core->http.closeAll(kStopGrace);
    if (core->thread.joinable())
        core->thread.join();
    m_state = QStringLiteral("Off");
    emit stateChanged();
}

void ApiServer::followSettings()
{
    const QString enabledKey = QString::fromLatin1(AppSettings::localServerEnabled);
    const QString portKey = QString::fromLatin1(AppSettings::localServerPort);
    const QString apiKeyKey = QString::fromLatin1(AppSettings::localServerApiKey);
    const auto apply = [this, enabledKey, portKey, apiKeyKey] {
        if (!AppSettings::boolValue(enabledKey)) {
            stop();
            return;
        }
        const int port = AppSettings::value(portKey).toInt();
        const QString key = AppSettings::value(apiKeyKey).toString();
        // A write that changes nothing leaves the clients of the running
        // server alone.
        if (m_core && m_core->port == port && m_core->apiKey == key)
            return;
        start(port, key);
    };
    disconnect(m_settingsLink);
    m_settingsLink = connect(&SettingsNotifier::instance(), &SettingsNotifier::changed, this,
                             [apply, enabledKey, portKey, apiKeyKey](const QString& changed) {
                                 if (changed == enabledKey || changed == portKey || changed == apiKeyKey)
                                     apply();
                             });
    apply();
}

int ApiServer::waitingRequests() const
{
    return m_core ? m_core->waiting->load() : 0;
}

bool ApiServer::isListening() const
{
    return m_core != nullptr;
}

int ApiServer::port() const
{
    return m_core ? m_core->port : 0;
}

QString ApiServer::baseUrl() const
{
    return m_core ? QStringLiteral("http://127.0.0.1:%1/v1").arg(m_core->port) : QString();
}

QString ApiServer::stateText() const
{
    return m_state;
}

} // namespace cvn

#include "apiserver/ApiServer.h"

#include "apiserver/ApiMessages.h"
#include "engine/LlamaSession.h"
#include "engine/ReasoningParser.h"
#include "models/ModelStore.h"
#include "platform/AppSettings.h"
#include "platform/Logging.h"
#include "platform/MainThread.h"
#include "platform/SettingsNotifier.h"
#include "platform/Sockets.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>
#include <QUrl>

#include <httplib.h>

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
    SteadyClock::time_point startedAt = SteadyClock::now();
};
thread_local LogFacts t_facts;

// A connection's time to send each request whole: httplib's own timeout is
// per read, so a client that sends a byte now and then would hold a thread
// for ever.
struct Watch {
    int fd = -1; // a duplicate, so that a closed and reused number is never cut
    uint64_t id = 0;
    bool reading = false;
    SteadyClock::time_point deadline;
};
// The connection the thread answers now.
thread_local std::shared_ptr<Watch> t_watch;
constexpr auto kGuardInterval = std::chrono::milliseconds(100);

void sendError(httplib::Response& res, const ApiError& error)
{
    res.status = error.status;
    res.set_content(error.body().toStdString(), "application/json");
}

ApiError simpleError(int status, const QString& message, const QString& type, const QString& code = {})
{
    return ApiError{status, message, type, {}, code};
}

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
    std::optional<ServedRequest::Outcome> outcome;
};

// Holds back a reply's tail that may be or begin one of its stop strings,
// and drops a stop string it ends with: the run ends on one, written as text.
class StopFilter {
public:
    explicit StopFilter(QStringList stops) : m_stops(std::move(stops)) {}
    QString feed(const QString& text)
    {
        m_held += text;
        qsizetype keep = 0;
        for (const QString& stop : m_stops)
            for (qsizetype n = std::min(stop.size(), m_held.size()); n > keep; --n)
                if (m_held.endsWith(QStringView(stop).left(n))) {
                    keep = n;
                    break;
                }
        QString out = m_held.left(m_held.size() - keep);
        m_held = m_held.right(keep);
        return out;
    }
    QString flush() { return withoutStop(std::exchange(m_held, {}), m_stops); }
    static QString withoutStop(QString text, const QStringList& stops)
    {
        for (const QString& stop : stops)
            if (text.endsWith(stop))
                return text.chopped(stop.size());
        return text;
    }

private:
    QStringList m_stops;
    QString m_held;
};

} // namespace

struct ApiServer::Core {
    httplib::Server http;
    std::thread thread;
    int port = 0;
    QString apiKey;
    QPointer<LlamaSession> session;
    // Shared with the requests' ends, which may come after the server is gone.
    std::shared_ptr<std::atomic<int>> waiting = std::make_shared<std::atomic<int>>(0);
    std::atomic<bool> stopping{false};
    std::chrono::seconds requestDeadline{10};
    std::mutex watchMutex;
    std::condition_variable watchChanged;
    std::vector<std::shared_ptr<Watch>> watches;
    std::thread guard;

    // httplib's pool, with each connection watched while it sends a request.
    class WatchedQueue : public httplib::TaskQueue {
    public:
        WatchedQueue(Core& core, size_t threads) : m_core(core), m_pool(threads) {}
        void enqueue(std::function<void()> task) override;
        void shutdown() override { m_pool.shutdown(); }

    private:
        Core& m_core;
        httplib::ThreadPool m_pool;
    };

    // Called on the accepting thread just after each accept: the one
    // connection on our port not yet watched is the new one.
    std::shared_ptr<Watch> watchNewConnection()
    {
        std::lock_guard lock(watchMutex);
        for (const sockets::Connection& open : sockets::acceptedConnections(uint16_t(port))) {
            const bool known = std::any_of(watches.begin(), watches.end(),
                                           [&](const std::shared_ptr<Watch>& w) { return w->id == open.id; });
            if (known)
                continue;
            auto watch = std::make_shared<Watch>();
            watch->fd = sockets::duplicate(open.fd);
            watch->id = open.id;
            if (watch->fd < 0)
                return nullptr;
            watches.push_back(watch);
            return watch;
        }
        return nullptr;
    }
    // The thread's connection starts (false: stops) reading a request.
    void reading(bool now)
    {
        if (!t_watch)
            return;
        std::lock_guard lock(watchMutex);
        t_watch->reading = now;
        t_watch->deadline = SteadyClock::now() + requestDeadline;
    }
    void forget(const std::shared_ptr<Watch>& watch)
    {
        std::lock_guard lock(watchMutex);
        watches.erase(std::remove(watches.begin(), watches.end(), watch), watches.end());
        sockets::closeDescriptor(watch->fd);
    }
    // Cuts off each connection whose request is not whole by its deadline.
    void guardDeadlines()
    {
        std::unique_lock lock(watchMutex);
        while (!stopping) {
            const SteadyClock::time_point now = SteadyClock::now();
            for (const std::shared_ptr<Watch>& watch : watches)
                if (watch->reading && now >= watch->deadline) {
                    watch->reading = false;
                    sockets::shutdownBoth(watch->fd);
                    qCInfo(lcRuntime, "API: a client that did not send its request within %lld s was cut off",
                           static_cast<long long>(requestDeadline.count()));
                }
            watchChanged.wait_for(lock, kGuardInterval);
        }
    }
    std::mutex modelsMutex;
    QList<ModelInfo> models;

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
    // request) or the server stops. True when ready.
    bool waitFor(Exchange& exchange, int fd, RequestControl& control, const std::function<bool()>& ready)
    {
        std::unique_lock lock(exchange.mutex);
        for (;;) {
            if (ready())
                return true;
            if (stopping || (fd >= 0 && sockets::peerHasClosed(fd))) {
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
    void answer(const httplib::Request& req, httplib::Response& res, bool chat);
};

httplib::Server::HandlerResponse ApiServer::Core::screen(const httplib::Request& req, httplib::Response& res)
{
    t_facts = LogFacts{};
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

void ApiServer::Core::answer(const httplib::Request& req, httplib::Response& res, bool chat)
{
    reading(false);
    ReplyAsk ask;
    if (const std::optional<ApiError> error = readAsk(QByteArray::fromStdString(req.body), chat, ask))
        return sendError(res, *error);
    std::optional<ModelInfo> model;
    if (!ask.model.isEmpty()) {
        model = findModel(ask.model);
        if (!model)
            return sendError(res, ApiError{404, QStringLiteral("The model '%1' does not exist.").arg(ask.model),
                                           QStringLiteral("invalid_request_error"), QStringLiteral("model"),
                                           QStringLiteral("model_not_found")});
    }
    if (++*waiting > maxWaiting) {
        --*waiting;
        res.set_header("Retry-After", "1");
        return sendError(res, simpleError(503, QStringLiteral("Too many requests are waiting; try again shortly."),
                                          QStringLiteral("server_error"), QStringLiteral("overloaded")));
    }

    auto exchange = std::make_shared<Exchange>();
    ServedRequest request;
    request.model = model;
    if (chat)
        request.messages = ask.messages;
    else
        request.rawPrompt = ask.prompt;
    request.overrides = ask.overrides;
    std::shared_ptr<RequestControl> control = request.control;
    request.onPiece = [exchange](const QString& piece) {
        std::lock_guard lock(exchange->mutex);
        exchange->pending += piece;
        exchange->anyPiece = true;
        exchange->changed.notify_all();
        return true;
    };
    request.onAnswering = [exchange](const ModelInfo& answering) {
        std::lock_guard lock(exchange->mutex);
        exchange->model = modelId(answering);
    };
    // The count of waiting requests is the slot's: it drops once the run is over.
    request.onFinished = [exchange, waiting = waiting](const ServedRequest::Outcome& outcome) {
        --*waiting;
        std::lock_guard lock(exchange->mutex);
        exchange->outcome = outcome;
        exchange->changed.notify_all();
    };
    runOnMain([session = session, request]() mutable {
        if (session) {
            session->serveRequest(std::move(request));
        } else {
            ServedRequest::Outcome gone;
            gone.cancelled = true;
            request.onFinished(gone);
        }
    });

    const int fd = t_watch ? t_watch->fd : -1;
    // Nothing is sent before the first piece, so that a request that fails
    // before it gets its own status.
    if (!waitFor(*exchange, fd, *control, [&] { return exchange->outcome || (ask.stream && exchange->anyPiece); })) {
        bool started = false;
        {
            std::lock_guard lock(exchange->mutex);
            started = exchange->anyPiece;
        }
        if (started)
            settle(*exchange);
        if (stopping)
            sendError(res, stoppingError());
        return;
    }
    // A request that names no model is answered by the one in the slot when
    // its turn came, which the run told before its first piece.
    QString answeredBy = model ? modelId(*model) : QString();
    {
        std::lock_guard lock(exchange->mutex);
        if (answeredBy.isEmpty())
            answeredBy = exchange->model;
        if (!answeredBy.isEmpty())
            t_facts.model = answeredBy;
        if (exchange->outcome) {
            t_facts.promptTokens = exchange->outcome->promptTokens;
            t_facts.completionTokens = exchange->outcome->completionTokens;
            if (const std::optional<ApiError> error = outcomeError(*exchange->outcome))
                return sendError(res, *error);
        }
    }

    if (!ask.stream) {
        const ServedRequest::Outcome outcome = *exchange->outcome;
        ReasoningParser parser;
        ReasoningParser::Split split = parser.feed(exchange->pending);
        const ReasoningParser::Split rest = parser.flush();
        const QString content = StopFilter::withoutStop(split.answer + rest.answer, ask.overrides.stop);
        const AnswerIds ids = newAnswer(answeredBy, chat);
        res.set_content(answerBody(ids, content, split.reasoning + rest.reasoning, outcome).toStdString(),
                        "application/json");
        return;
    }

    struct Stream {
        AnswerIds ids;
        ReasoningParser parser;
        StopFilter answer;
        bool includeUsage;
    };
    auto stream = std::make_shared<Stream>(
        Stream{newAnswer(answeredBy, chat), ReasoningParser(), StopFilter(ask.overrides.stop), ask.includeUsage});
    res.set_header("Cache-Control", "no-cache");
    res.set_chunked_content_provider(
        "text/event-stream", [this, exchange, stream, control, fd](size_t, httplib::DataSink& sink) {
            auto write = [&sink](const QByteArray& bytes) { return sink.write(bytes.constData(), size_t(bytes.size())); };
            auto piecesOf = [&](const ReasoningParser::Split& split, bool last) {
                QByteArray out;
                if (!split.reasoning.isEmpty())
                    out += chunkEvent(stream->ids, QJsonObject{{QStringLiteral("reasoning_content"), split.reasoning}}, {});
                const QString text = last ? stream->answer.feed(split.answer) + stream->answer.flush()
                                          : stream->answer.feed(split.answer);
                if (!text.isEmpty())
                    out += chunkEvent(stream->ids, QJsonObject{{QStringLiteral("content"), text}}, {});
                return out;
            };
            if (stream->ids.chat
                && !write(chunkEvent(stream->ids,
                                     QJsonObject{{QStringLiteral("role"), QStringLiteral("assistant")},
                                                 {QStringLiteral("content"), QString()}},
                                     {}))) {
                control->cancel();
                settle(*exchange);
                return false;
            }
            for (;;) {
                QString pieces;
                std::optional<ServedRequest::Outcome> outcome;
                if (!waitFor(*exchange, fd, *control, [&] { return !exchange->pending.isEmpty() || exchange->outcome; })) {
                    if (stopping)
                        write(errorEvent(stoppingError()));
                    settle(*exchange);
                    return false;
                }
                {
                    std::lock_guard lock(exchange->mutex);
                    pieces = std::exchange(exchange->pending, {});
                    outcome = exchange->outcome;
                }
                if (!outcome) {
                    if (!write(piecesOf(stream->parser.feed(pieces), false))) {
                        control->cancel();
                        settle(*exchange);
                        return false;
                    }
                    continue;
                }
                t_facts.promptTokens = outcome->promptTokens;
                t_facts.completionTokens = outcome->completionTokens;
                if (const std::optional<ApiError> error = outcomeError(*outcome)) {
                    write(errorEvent(*error));
                    sink.done();
                    return true;
                }
                ReasoningParser::Split last = stream->parser.feed(pieces);
                const ReasoningParser::Split rest = stream->parser.flush();
                last.answer += rest.answer;
                last.reasoning += rest.reasoning;
                QByteArray tail = piecesOf(last, true);
                tail += chunkEvent(stream->ids, QJsonObject{}, finishReason(*outcome));
                if (stream->includeUsage)
                    tail += usageEvent(stream->ids, *outcome);
                tail += "data: [DONE]\n\n";
                write(tail);
                sink.done();
                return true;
            }
        });
}

void ApiServer::Core::WatchedQueue::enqueue(std::function<void()> task)
{
    std::shared_ptr<Watch> watch = m_core.watchNewConnection();
    m_pool.enqueue([this, watch, task = std::move(task)] {
        // The deadline runs from when a thread takes the connection up.
        t_watch = watch;
        m_core.reading(true);
        task();
        t_watch.reset();
        if (watch)
            m_core.forget(watch);
    });
}

ApiServer::ApiServer(LlamaSession& session, ModelStore& store, QObject* parent)
    : QObject(parent)
    , m_session(session)
    , m_store(store)
    , m_state(QStringLiteral("Off"))
{
    connect(&m_store, &ModelStore::modelsChanged, this, &ApiServer::publishModels);
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
    std::lock_guard lock(m_core->modelsMutex);
    m_core->models = m_store.models();
}

bool ApiServer::start(int port, const QString& apiKey)
{
    stop();
    auto core = std::make_shared<Core>();
    core->port = port;
    core->apiKey = apiKey;
    core->session = &m_session;
    core->models = m_store.models();
    Core* c = core.get();
    httplib::Server& http = core->http;
    // Every waiting request holds a thread, and a few more answer the rest
    // (and the one past the limit) meanwhile.
    core->requestDeadline = std::chrono::seconds(m_deadlineSeconds);
    http.new_task_queue = [c] { return new Core::WatchedQueue(*c, maxWaiting + 8); };
    http.set_payload_max_length(maxBodyBytes);
    http.set_read_timeout(m_deadlineSeconds, 0);
    http.set_pre_routing_handler([c](const httplib::Request& req, httplib::Response& res) { return c->screen(req, res); });
    // The routes are reached once the body is read too, unlike the
    // pre-routing screen: the request's deadline ends there.
    http.Get("/v1/models", [c](const httplib::Request&, httplib::Response& res) {
        c->reading(false);
        QJsonArray data;
        std::lock_guard lock(c->modelsMutex);
        for (const ModelInfo& model : c->models)
            data.append(modelObject(model));
        const QJsonObject body{{QStringLiteral("object"), QStringLiteral("list")}, {QStringLiteral("data"), data}};
        res.set_content(QJsonDocument(body).toJson(QJsonDocument::Compact).toStdString(), "application/json");
    });
    http.Get("/v1/models/(.+)", [c](const httplib::Request& req, httplib::Response& res) {
        c->reading(false);
        const QString id = QString::fromStdString(req.matches[1]);
        const std::optional<ModelInfo> model = c->findModel(id);
        if (!model)
            return sendError(res, ApiError{404, QStringLiteral("The model '%1' does not exist.").arg(id),
                                           QStringLiteral("invalid_request_error"), QStringLiteral("model"),
                                           QStringLiteral("model_not_found")});
        t_facts.model = modelId(*model);
        res.set_content(QJsonDocument(modelObject(*model)).toJson(QJsonDocument::Compact).toStdString(),
                        "application/json");
    });
    http.Post("/v1/chat/completions",
              [c](const httplib::Request& req, httplib::Response& res) { c->answer(req, res, true); });
    http.Post("/v1/completions", [c](const httplib::Request& req, httplib::Response& res) { c->answer(req, res, false); });
    http.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (!res.body.empty())
            return;
        if (res.status == 413)
            sendError(res, simpleError(413, QStringLiteral("The request body is larger than 8 MiB."),
                                       QStringLiteral("invalid_request_error"), QStringLiteral("request_too_large")));
        else if (res.status == 404)
            sendError(res, simpleError(404, QStringLiteral("Unknown path."), QStringLiteral("invalid_request_error"),
                                       QStringLiteral("not_found")));
        else
            sendError(res, simpleError(res.status, QStringLiteral("The request could not be read."),
                                       QStringLiteral("invalid_request_error")));
    });
    http.set_logger([c](const httplib::Request& req, const httplib::Response& res) {
        c->reading(true); // the connection's next request, if it sends one
        const double seconds = std::chrono::duration<double>(SteadyClock::now() - t_facts.startedAt).count();
        qCInfo(lcRuntime, "API: %s %s %d, model %s, %lld prompt tokens, %lld completion tokens, %.2f s",
               req.method.c_str(), req.path.c_str(), res.status, qUtf8Printable(t_facts.model),
               static_cast<long long>(t_facts.promptTokens), static_cast<long long>(t_facts.completionTokens), seconds);
    });

    if (port < 1 || port > 65535 || !http.bind_to_port("127.0.0.1", port)) {
        m_state = QStringLiteral("Not listening: port %1 is taken by another program.").arg(port);
        qCWarning(lcRuntime, "API: %s", qUtf8Printable(m_state));
        emit stateChanged();
        return false;
    }
    core->thread = std::thread([c] { c->http.listen_after_bind(); });
    core->guard = std::thread([c] { c->guardDeadlines(); });
    // httplib's stop() does nothing until its loop runs, so a stop right
    // after the start would wait for the loop for ever.
    for (int i = 0; i < 2000 && !http.is_running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    m_core = core;
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
    core->stopping = true;
    core->http.stop();
    if (core->thread.joinable())
        core->thread.join();
    core->watchChanged.notify_all();
    if (core->guard.joinable())
        core->guard.join();
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

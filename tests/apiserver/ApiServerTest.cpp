#include "ChildWriter.h"
#include "ServedModels.h"
#include "models/GgufWriter.h"
#include "platform/AppSettings.h"
#include "platform/Sockets.h"
#include "support/Wait.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <future>
#include <mutex>
#include <sys/socket.h>
#include <unistd.h>

using namespace cvn;
using namespace cvn::test;

TEST(ApiServer, GuardsTheDoorAndAnswersErrorsInTheApiShape)
{
    Served s(QStringLiteral("sekrit"));
    const QByteArray auth = "Authorization: Bearer sekrit\r\n";
    EXPECT_EQ(status(s.send(s.request("GET", "/v1/models"))), 401);
    EXPECT_EQ(status(s.send(s.request("GET", "/v1/models", {}, "Authorization: Bearer nope\r\n"))), 401);
    const Received models = s.send(s.request("GET", "/v1/models", {}, auth));
    ASSERT_EQ(status(models), 200);
    EXPECT_EQ(bodyOf(models).value(QLatin1String("data")).toArray().size(), 2);
    EXPECT_EQ(status(s.send(s.request("GET", "/v1/models/beta", {}, auth))), 200);
    EXPECT_EQ(status(s.send(s.request("GET", "/v1/models/gamma", {}, auth))), 404);

    // Another name for this address, and pages of other sites.
    QByteArray foreign = s.request("GET", "/v1/models", {}, auth);
    foreign.replace("Host: 127.0.0.1:", "Host: evil.example:");
    EXPECT_EQ(status(s.send(foreign)), 403);
    EXPECT_EQ(status(s.send(s.request("GET", "/v1/models", {}, auth + "Origin: https://evil.example\r\n"))), 403);
    const Received preflight = s.send(s.request(
        "OPTIONS", "/v1/chat/completions", {},
        "Origin: http://localhost:5173\r\nAccess-Control-Request-Method: POST\r\n"
        "Access-Control-Request-Headers: authorization, content-type\r\n"));
    EXPECT_EQ(status(preflight), 204);
    EXPECT_TRUE(preflight.bytes.contains("Access-Control-Allow-Origin: http://localhost:5173"));

    EXPECT_EQ(status(s.send(s.request("GET", "/v1/chat/completions", {}, auth))), 405);
    EXPECT_EQ(status(s.send(s.request("GET", "/v2/nothing", {}, auth))), 404);
    const Received broken = s.send(s.request("POST", "/v1/chat/completions", "{\"messages\":", auth));
    EXPECT_EQ(status(broken), 400);
    EXPECT_TRUE(bodyOf(broken).value(QLatin1String("error")).toObject().contains(QLatin1String("message")));
    EXPECT_EQ(status(s.send(s.request("POST", "/v1/chat/completions",
                                      "{\"n\":2,\"messages\":[{\"role\":\"user\",\"content\":\"Hi\"}]}", auth))), 400);
    // A seed that other servers read as "random" is refused, not taken as one.
    for (const QByteArray seed : {"-1", "4294967295", "4294967296", "1.5"})
        EXPECT_EQ(status(s.send(s.request("POST", "/v1/chat/completions",
                                          "{\"seed\":" + seed + ",\"messages\":[{\"role\":\"user\",\"content\":\"Hi\"}]}",
                                          auth))), 400) << seed.toStdString();
    EXPECT_EQ(status(s.send(s.request("POST", "/v1/chat/completions",
                                      "{\"model\":\"gamma\",\"messages\":[{\"role\":\"user\",\"content\":\"Hi\"}]}",
                                      auth))), 404);
    const QByteArray huge(int(ApiServer::maxBodyBytes) + 1, 'x');
    EXPECT_EQ(status(s.send(s.request("POST", "/v1/chat/completions", huge, auth))), 413);
}

TEST(ApiServer, AnswersWholeAndStreamedWithReasoningApart)
{
    Served s;
    const Received whole = s.send(s.chat({}));
    ASSERT_EQ(status(whole), 200);
    const QJsonObject body = bodyOf(whole);
    const QJsonObject choice = body.value(QLatin1String("choices")).toArray().first().toObject();
    EXPECT_EQ(choice.value(QLatin1String("message")).toObject().value(QLatin1String("content")).toString(),
              QStringLiteral(" Hello there"));
    EXPECT_EQ(choice.value(QLatin1String("finish_reason")).toString(), QStringLiteral("stop"));
    EXPECT_EQ(body.value(QLatin1String("usage")).toObject().value(QLatin1String("completion_tokens")).toInt(), 2);
    // Named by none, the answer names the model in the slot, streamed too.
    EXPECT_EQ(body.value(QLatin1String("model")).toString(), QStringLiteral("alpha"));
    const Received unnamed = s.send(s.chat(",\"stream\":true"));
    EXPECT_EQ(streamed(unnamed).content, QStringLiteral(" Hello there"));
    for (const QByteArray& line : unnamed.bytes.split('\n'))
        if (line.startsWith("data: {"))
            EXPECT_EQ(QJsonDocument::fromJson(line.mid(6)).object().value(QLatin1String("model")).toString(),
                      QStringLiteral("alpha")) << line.toStdString();

    const Received limited = s.send(s.chat(",\"max_tokens\":1"));
    EXPECT_EQ(bodyOf(limited).value(QLatin1String("choices")).toArray().first().toObject()
                  .value(QLatin1String("finish_reason")).toString(), QStringLiteral("length"));

    const Streamed reply = streamed(s.send(s.chat(",\"model\":\"beta\",\"stream\":true,"
                                                  "\"stream_options\":{\"include_usage\":true}")));
    EXPECT_EQ(reply.content.trimmed(), QStringLiteral("OK"));
    EXPECT_EQ(reply.reasoning.trimmed(), QStringLiteral("plan"));
    EXPECT_EQ(reply.finish, QStringLiteral("stop"));
    EXPECT_GT(reply.usage.value(QLatin1String("prompt_tokens")).toInt(), 0);
    EXPECT_TRUE(reply.done);
}

TEST(ApiServer, TwoStreamsTakeTheSlotInTurnAndTheSeventeenthWaiterIsTurnedAway)
{
    Served s;
    // The first request's model load waits until the others are all in.
    // They are sent only once it holds the slot: requests reach the slot in
    // the order their threads get there, and one for the loaded model that
    // got there first would answer and leave a free place.
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    auto loading = std::make_shared<std::atomic<bool>>(false);
    s.session->setLoadHook([released, loading] {
        *loading = true;
        released.wait_for(std::chrono::seconds(30));
    });
    std::vector<int> clients;
    clients.push_back(connectLoopback(s.port));
    sendAll(clients.back(), s.chat(",\"model\":\"beta\",\"stream\":true"));
    ASSERT_TRUE(waitUntil([&] { return loading->load(); }, 20000));
    for (int i = 1; i < ApiServer::maxWaiting; ++i) {
        clients.push_back(connectLoopback(s.port));
        sendAll(clients.back(), s.chat(",\"model\":\"alpha\",\"stream\":true"));
    }
    ASSERT_TRUE(waitUntil([&] { return s.server->waitingRequests() == ApiServer::maxWaiting; }, 20000));
    const Received turnedAway = s.send(s.chat({}));
    EXPECT_EQ(status(turnedAway), 503);
    EXPECT_TRUE(turnedAway.bytes.contains("Retry-After: 1"));
    s.session->setLoadHook({});
    release.set_value();

    std::vector<Streamed> answers;
    for (int fd : clients) {
        auto reply = std::async(std::launch::async, [fd] { return readToEnd(fd, 30000); });
        ASSERT_TRUE(waitUntil([&] { return reply.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 30000));
        answers.push_back(streamed(reply.get()));
        ::close(fd);
    }
    EXPECT_EQ(answers.front().content.trimmed(), QStringLiteral("OK"));
    for (size_t i = 1; i < answers.size(); ++i) {
        EXPECT_EQ(answers[i].content, QStringLiteral(" Hello there"));
        EXPECT_TRUE(answers[i].done);
    }
}

TEST(ApiServer, AClientThatLeavesStopsItsRunAndTheNextAnswers)
{
    Served s;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    s.session->setLoadHook([released] { released.wait_for(std::chrono::seconds(30)); });
    const int leaving = connectLoopback(s.port);
    sendAll(leaving, s.chat(",\"model\":\"beta\",\"stream\":true"));
    ASSERT_TRUE(waitUntil([&] { return s.server->waitingRequests() == 1; }, 20000));
    ::close(leaving);
    s.session->setLoadHook({});
    release.set_value();
    ASSERT_TRUE(waitUntil([&] { return s.server->waitingRequests() == 0; }, 20000));
    EXPECT_EQ(streamed(s.send(s.chat(",\"model\":\"alpha\",\"stream\":true"))).content, QStringLiteral(" Hello there"));
}

// A client that leaves in the middle of a long reply ends its run: the
// request's log line counts a few tokens, not the limit.
TEST(ApiServer, AClientThatLeavesMidStreamEndsItsRun)
{
    static QStringList lines;
    static std::mutex linesMutex;
    lines.clear();
    const QtMessageHandler previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& m) {
        std::lock_guard lock(linesMutex);
        if (m.startsWith(QLatin1String("API: POST")))
            lines << m;
    });
    Served s({}, true);
    const int limit = 20000;
    const int leaving = connectLoopback(s.port);
    sendAll(leaving, s.chat(",\"model\":\"gamma\",\"stream\":true,\"max_tokens\":" + QByteArray::number(limit)));
    QByteArray heard;
    waitUntil([&] {
        char buffer[4096];
        const ssize_t n = ::recv(leaving, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0)
            heard.append(buffer, int(n));
        return heard.contains("\"content\":\" sea");
    }, 20000);
    ASSERT_TRUE(heard.contains("\"content\":\" sea")) << heard.toStdString();
    ::close(leaving);
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard lock(linesMutex);
        return !lines.isEmpty();
    }, 30000));
    qInstallMessageHandler(previous);
    const QRegularExpression counted(QStringLiteral("(\\d+) completion tokens"));
    const int completion = counted.match(lines.first()).captured(1).toInt();
    EXPECT_GE(completion, 2) << lines.first().toStdString();
    EXPECT_LT(completion, 1000) << lines.first().toStdString();
}

// A client that sends its request, or only its body, a byte at a time is
// cut off once the whole request is overdue, though no single read waits
// long; a request that is being answered meanwhile is not.
TEST(ApiServer, AClientThatTricklesItsRequestIsCutOffAtTheDeadline)
{
    Served s;
    s.server->setRequestDeadline(1);
    ASSERT_TRUE(s.server->start(s.port, {}));
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    s.session->setLoadHook([released] { released.wait_for(std::chrono::seconds(30)); });
    const int answered = connectLoopback(s.port);
    sendAll(answered, s.chat(",\"model\":\"beta\""));
    ASSERT_TRUE(waitUntil([&] { return s.server->waitingRequests() == 1; }, 20000));

    // The request's first `whole` bytes go at once, the rest a byte at a time.
    const auto trickle = [&s](const QByteArray& request, qsizetype whole) {
        const int trickling = connectLoopback(s.port);
        qsizetype sent = sendAll(trickling, request.left(whole)) ? whole : 0;
        bool cut = false;
        while (sent < request.size() && !cut) {
            cut = ::send(trickling, request.constData() + sent, 1, MSG_NOSIGNAL) != 1;
            sent += cut ? 0 : 1;
            waitUntil([&] {
                char byte = 0;
                const ssize_t n = ::recv(trickling, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
                cut = cut || n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
                return cut;
            }, 100);
        }
        ::close(trickling);
        EXPECT_TRUE(cut) << sent << " of " << request.size() << " bytes were taken";
    };
    const QByteArray request = s.chat({});
    trickle(request, 0);
    trickle(request, request.indexOf("\r\n\r\n") + 4);

    s.session->setLoadHook({});
    release.set_value();
    auto reply = std::async(std::launch::async, [answered] { return readToEnd(answered, 30000); });
    ASSERT_TRUE(waitUntil([&] { return reply.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 30000));
    EXPECT_EQ(status(reply.get()), 200);
    ::close(answered);
}

// The stop string a reply ends on is no part of it, whole or streamed.
TEST(ApiServer, TheStopStringIsLeftOutWholeAndStreamed)
{
    Served s;
    const QJsonObject whole = bodyOf(s.send(s.chat(",\"stop\":\"there\"")));
    EXPECT_EQ(whole.value(QLatin1String("choices")).toArray().first().toObject().value(QLatin1String("message"))
                  .toObject().value(QLatin1String("content")).toString().toStdString(),
              " Hello ");
    EXPECT_EQ(streamed(s.send(s.chat(",\"stop\":\"there\",\"stream\":true"))).content, QStringLiteral(" Hello "));
}

// A reply the user stops in the app, here by unloading, is an error to its
// client, not a short answer, and one that no client library asks again
// after: the AI SDK repeats 408, 409, 429 and every 5xx, LangChain all but
// 400 to 407, 409 and 413, the openai package what x-should-retry allows.
// A reply cut short by its model's file being written over is asked again.
TEST(ApiServer, AReplyStoppedInTheAppIsAnErrorThatNoClientRepeats)
{
    Served s({}, true);
    s.holdLoads();
    const int client = connectLoopback(s.port);
    sendAll(client, s.chat(",\"model\":\"beta\""));
    ASSERT_TRUE(waitUntil([&] { return s.loading->load(); }, 20000));
    s.session->unloadModel();
    s.releaseLoads();
    const Received reply = s.replyOn(client);
    EXPECT_EQ(status(reply), 400) << reply.bytes.toStdString();
    EXPECT_EQ(bodyOf(reply).value(QLatin1String("error")).toObject().value(QLatin1String("code")).toString(),
              QStringLiteral("reply_stopped"));
    EXPECT_TRUE(reply.bytes.contains("x-should-retry: false")) << reply.bytes.toStdString();

    const int asking = connectLoopback(s.port);
    sendAll(asking, s.chat(",\"model\":\"gamma\",\"max_tokens\":20000"));
    ASSERT_TRUE(waitUntil([&] {
        return s.session->loadedModelName() == QStringLiteral("gamma")
               && s.session->slot().state().phase == ModelSlot::Phase::running;
    }, 20000));
    ChildWriter writer(s.folder.path + QStringLiteral("/gamma.gguf"),
                       O_WRONLY | O_APPEND);
    const Received rewritten = s.replyOn(asking);
    writer.close();
    EXPECT_EQ(status(rewritten), 503) << rewritten.bytes.toStdString();
    EXPECT_FALSE(rewritten.bytes.contains("x-should-retry")) << rewritten.bytes.toStdString();
}

// What the official clients and their users send: parts of text, the
// developer role, more than four stop strings; what would change the answer
// unseen is refused.
TEST(ApiServer, ReadsWhatTheOfficialClientsSend)
{
    Served s;
    QStringList prompts;
    s.session->setPromptObserver([&](const QString& prompt) { prompts << prompt; });
    const auto ask = [&](const QByteArray& body) {
        return s.send(s.request("POST", "/v1/chat/completions", body));
    };
    const Received image = ask(R"({"messages":[{"role":"user","content":[{"type":"text","text":"What is it?"},)"
                               R"({"type":"image_url","image_url":{"url":"data:image/png;base64,AA=="}}]}]})");
    EXPECT_EQ(status(image), 400);
    // One byte that is no image: refused by name, before any model hears of it.
    EXPECT_EQ(bodyOf(image).value(QLatin1String("error")).toObject().value(QLatin1String("message")).toString().toStdString(),
              "The image at messages[0].content[1] is not a PNG, JPEG, WebP, GIF or BMP image.");
    EXPECT_EQ(status(s.send(s.chat(",\"logprobs\":true"))), 400);
    EXPECT_EQ(status(s.send(s.chat(",\"top_logprobs\":2"))), 400);
    for (const QByteArray field : {"\"presence_penalty\":0.5", "\"frequency_penalty\":1", "\"logit_bias\":{\"50\":-100}",
                                   "\"functions\":[{\"name\":\"f\"}]"})
        EXPECT_EQ(status(s.send(s.chat("," + field))), 400) << field.toStdString();
    EXPECT_TRUE(prompts.isEmpty());

    const Received plain = ask(R"({"logprobs":false,"presence_penalty":0,"frequency_penalty":0,"logit_bias":{},"stop":["a1","b2","c3","d4","there"],"messages":[)"
                               R"({"role":"developer","content":"Be brief."},)"
                               R"({"role":"user","content":[{"type":"text","text":"Say "},{"type":"text","text":"hi"}]}]})");
    ASSERT_EQ(status(plain), 200) << plain.bytes.toStdString();
    EXPECT_EQ(bodyOf(plain).value(QLatin1String("choices"))[0].toObject().value(QLatin1String("message"))
                  .toObject().value(QLatin1String("content")).toString().toStdString(),
              " Hello ");
    // The prompt is told to the main thread as the run starts, and a short
    // reply may reach the client before the main loop has heard it.
    ASSERT_TRUE(waitUntil([&] { return !prompts.isEmpty(); }, 10000));
    ASSERT_EQ(prompts.size(), 1);
    EXPECT_TRUE(prompts[0].contains(QStringLiteral("system\nBe brief."))) << prompts[0].toStdString();
    EXPECT_TRUE(prompts[0].contains(QStringLiteral("Say hi"))) << prompts[0].toStdString();
}

// Requests still waiting for the slot when the server stops end later, on
// the model's queue, with the server that took them gone; a server started
// meanwhile counts only its own.
TEST(ApiServer, RequestsThatOutliveTheServerEndHarmlessly)
{
    Served s;
    s.holdLoads();
    const int first = connectLoopback(s.port);
    sendAll(first, s.chat(",\"model\":\"beta\""));
    ASSERT_TRUE(waitUntil([&] { return s.loading->load(); }, 20000));
    const int second = connectLoopback(s.port);
    sendAll(second, s.chat(",\"model\":\"alpha\""));
    ASSERT_TRUE(waitUntil([&] { return s.server->waitingRequests() == 2; }, 20000));
    s.server->stop();
    ASSERT_TRUE(s.server->start(s.port, {}));
    s.releaseLoads();
    // Answered in turn after both.
    EXPECT_EQ(status(s.send(s.chat({}))), 200);
    EXPECT_EQ(s.server->waitingRequests(), 0);
    ::close(first);
    ::close(second);
}

TEST(ApiServer, ATakenPortIsSaidAndTheServerStaysOff)
{
    Served s;
    HeldPort held;
    ApiServer other(*s.session, *s.store);
    EXPECT_FALSE(other.start(held.port(), {}));
    EXPECT_FALSE(other.isListening());
    EXPECT_TRUE(other.stateText().contains(QString::number(held.port())));
}

// The server follows its settings while the program runs: on, a new port,
// a new key and off each take effect at once.
TEST(ApiServer, FollowsItsSettingsLive)
{
    Served s;
    s.server->stop();
    const QString enabled = QString::fromLatin1(AppSettings::localServerEnabled);
    AppSettings::setValue(QString::fromLatin1(AppSettings::localServerPort), int(s.port));
    AppSettings::setValue(enabled, false);
    s.server->followSettings();
    EXPECT_FALSE(s.server->isListening());

    AppSettings::setValue(enabled, true);
    ASSERT_TRUE(waitUntil([&] { return s.server->isListening(); }, 5000));
    EXPECT_EQ(status(s.send(s.request("GET", "/v1/models"))), 200);

    const uint16_t next = freePort();
    AppSettings::setValue(QString::fromLatin1(AppSettings::localServerPort), int(next));
    ASSERT_TRUE(waitUntil([&] { return s.server->port() == next; }, 5000));
    s.port = next;
    AppSettings::setValue(QString::fromLatin1(AppSettings::localServerApiKey), QStringLiteral("k"));
    ASSERT_TRUE(waitUntil([&] { return status(s.send(s.request("GET", "/v1/models"))) == 401; }, 5000));

    AppSettings::setValue(enabled, false);
    EXPECT_TRUE(waitUntil([&] { return !s.server->isListening(); }, 5000));
    AppSettings::remove(enabled);
    AppSettings::remove(QString::fromLatin1(AppSettings::localServerPort));
    AppSettings::remove(QString::fromLatin1(AppSettings::localServerApiKey));
}

namespace {

// The server's "API:" log lines so far.
QStringList apiLines(LogCapture& log)
{
    return log.taken().filter(QRegularExpression(QStringLiteral("^API: [A-Z]")));
}

// True once the server has closed or reset the connection.
bool closedByServer(int fd)
{
    char byte = 0;
    const ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

// The status of the final answer, past any interim (1xx) ones.
int finalStatus(const Received& r)
{
    qsizetype at = 0;
    while (r.bytes.mid(at + 9, 1) == "1") {
        const qsizetype end = r.bytes.indexOf("\r\n\r\n", at);
        if (end < 0)
            return 0;
        at = end + 4;
    }
    return r.bytes.mid(at + 9, 3).toInt();
}

} // namespace

// Stopping cuts every connection at once: one that trickles its request,
// one that never sent a byte and one idle between requests. The trickling
// client would go on for half a minute.
TEST(ApiServer, StoppingClosesEveryConnectionAtOnce)
{
    Served s;
    s.server->setRequestDeadline(120);
    ASSERT_TRUE(s.server->start(s.port, {}));
    const int silent = connectLoopback(s.port);
    const int idle = connectLoopback(s.port);
    QByteArray kept = s.request("GET", "/v1/models");
    kept.replace("Connection: close", "Connection: keep-alive");
    sendAll(idle, kept);
    ASSERT_TRUE(waitUntil([&] {
        char buffer[4096];
        return ::recv(idle, buffer, sizeof buffer, MSG_DONTWAIT) > 0;
    }, 10000));
    const QByteArray request = s.chat({});
    std::atomic<qsizetype> trickled{0};
    std::atomic<bool> cut{false};
    std::thread trickler([&] {
        const int fd = connectLoopback(s.port);
        while (trickled < request.size() && !cut) {
            if (::send(fd, request.constData() + trickled, 1, MSG_NOSIGNAL) != 1 || closedByServer(fd))
                cut = true;
            else
                ++trickled;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ::close(fd);
    });
    ASSERT_TRUE(waitUntil([&] { return trickled > 10; }, 5000));
    s.server->stop();
    EXPECT_TRUE(waitUntil([&] { return cut.load(); }, 2000)) << trickled << " of " << request.size();
    EXPECT_LT(trickled.load(), request.size());
    EXPECT_TRUE(closedByServer(silent));
    EXPECT_TRUE(closedByServer(idle));
    trickler.join();
    ::close(silent);
    ::close(idle);
}

// Requests waiting for the slot when the server stops get their 503 and
// nothing before it: Python's http.client takes any interim line for the
// answer.
TEST(ApiServer, AStopAnswersWaitingPythonClientsWith503Alone)
{
    Served s;
    s.holdLoads();
    const QByteArray body = "{\"model\":\"beta\",\"messages\":[{\"role\":\"user\",\"content\":\"Hi\"}]}";
    const QString script = QStringLiteral(
        "import http.client, sys\n"
        "conns = [http.client.HTTPConnection('127.0.0.1', %1, timeout=60) for _ in range(4)]\n"
        "for c in conns:\n"
        "    c.request('POST', '/v1/chat/completions', sys.argv[1], {'Content-Type': 'application/json'})\n"
        "print('sent', flush=True)\n"
        "for c in conns:\n"
        "    r = c.getresponse()\n"
        "    print(r.status, r.read().decode(), flush=True)\n").arg(s.port);
    QProcess python;
    python.start(QStringLiteral("python3"), {QStringLiteral("-c"), script, QString::fromUtf8(body)});
    ASSERT_TRUE(python.waitForStarted(10000));
    ASSERT_TRUE(waitUntil([&] { return s.server->waitingRequests() == 4 && s.loading->load(); }, 20000));
    s.server->stop();
    ASSERT_TRUE(waitUntil([&] { return python.state() == QProcess::NotRunning; }, 20000));
    s.releaseLoads();
    const QList<QByteArray> lines = python.readAllStandardOutput().trimmed().split('\n');
    ASSERT_EQ(lines.size(), 5) << python.readAllStandardError().toStdString();
    for (qsizetype i = 1; i < lines.size(); ++i) {
        EXPECT_TRUE(lines[i].startsWith("503 ")) << lines[i].toStdString();
        EXPECT_TRUE(lines[i].contains("stopping")) << lines[i].toStdString();
    }
}

TEST(ApiServer, AChunkedBodyOverTheLimitIs413)
{
    Served s;
    QByteArray request = "POST /v1/chat/completions HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(s.port)
                         + "\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n";
    const QByteArray chunk = QByteArray::number(1 << 20, 16) + "\r\n" + QByteArray(1 << 20, ' ') + "\r\n";
    for (int i = 0; i < 10; ++i)
        request += chunk;
    request += "0\r\n\r\n";
    EXPECT_EQ(status(s.send(request)), 413);
}

// Requests whose clients left while they waited for the slot leave the
// count of waiting requests at once, not when their turn comes.
TEST(ApiServer, QueuedRequestsWhoseClientsLeftAreNotCounted)
{
    Served s;
    s.holdLoads();
    const int holder = connectLoopback(s.port);
    sendAll(holder, s.chat(",\"model\":\"beta\""));
    ASSERT_TRUE(waitUntil([&] { return s.loading->load(); }, 20000));
    std::vector<int> leaving;
    for (int i = 0; i < 3; ++i) {
        leaving.push_back(connectLoopback(s.port));
        sendAll(leaving.back(), s.chat(",\"model\":\"alpha\""));
    }
    ASSERT_TRUE(waitUntil([&] { return s.server->waitingRequests() == 4; }, 20000));
    for (int fd : leaving)
        ::close(fd);
    EXPECT_TRUE(waitUntil([&] { return s.server->waitingRequests() == 1; }, 5000)) << s.server->waitingRequests();
    s.releaseLoads();
    EXPECT_EQ(status(s.replyOn(holder)), 200);
}

TEST(ApiServer, ASecondServerOnTheSamePortIsRefused)
{
    Served s;
    ApiServer other(*s.session, *s.store);
    EXPECT_FALSE(other.start(s.port, {}));
    EXPECT_FALSE(other.isListening());
}

// Idle and trickling connections hold no thread that a new request needs:
// it is answered while all of them are still open.
TEST(ApiServer, IdleAndSlowConnectionsDoNotHoldUpOthers)
{
    Served s;
    s.server->setRequestDeadline(120);
    ASSERT_TRUE(s.server->start(s.port, {}));
    std::vector<int> open;
    QByteArray kept = s.request("GET", "/v1/models");
    kept.replace("Connection: close", "Connection: keep-alive");
    for (int i = 0; i < 40; ++i) {
        open.push_back(connectLoopback(s.port));
        if (i >= 20)
            continue;
        sendAll(open.back(), kept);
        QByteArray heard;
        ASSERT_TRUE(waitUntil([&] {
            char buffer[8192];
            const ssize_t n = ::recv(open.back(), buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0)
                heard.append(buffer, int(n));
            return heard.endsWith("\"object\":\"list\"}");
        }, 20000));
    }
    for (int i = 0; i < 24; ++i) {
        open.push_back(connectLoopback(s.port));
        sendAll(open.back(), s.chat({}).left(20));
    }
    EXPECT_EQ(status(s.send(s.request("GET", "/v1/models"))), 200);
    for (int fd : open) {
        EXPECT_FALSE(closedByServer(fd));
        ::close(fd);
    }
}

// A client that half-closes its side once it has sent its request, as
// `nc -N` does, still gets its answer.
TEST(ApiServer, AClientThatHalfClosesAfterSendingIsAnswered)
{
    Served s;
    const int fd = connectLoopback(s.port);
    sendAll(fd, s.chat({}));
    ::shutdown(fd, SHUT_WR);
    const Received reply = s.replyOn(fd);
    EXPECT_EQ(finalStatus(reply), 200) << reply.bytes.toStdString();
    EXPECT_TRUE(reply.bytes.contains("Hello there")) << reply.bytes.toStdString();

    // Streamed, what keeps asking whether it is there between the pieces is
    // a comment line, which clients pass over, never an event of its own;
    // and it asks once a second, however many pieces come meanwhile.
    Served endless({}, true);
    const int streamFd = connectLoopback(endless.port);
    sendAll(streamFd, endless.chat(",\"model\":\"gamma\",\"max_tokens\":300,\"stream\":true"));
    const auto sent = std::chrono::steady_clock::now();
    ::shutdown(streamFd, SHUT_WR);
    const Received stream = endless.replyOn(streamFd);
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - sent);
    const QByteArray body = stream.bytes.mid(stream.bytes.indexOf("\r\n\r\n") + 4);
    int comments = 0;
    for (const QByteArray& line : body.split('\n')) {
        if (line.startsWith(": "))
            ++comments;
        else if (line.startsWith("data: "))
            EXPECT_TRUE(line == "data: [DONE]" || QJsonDocument::fromJson(line.mid(6)).object().contains(QLatin1String("choices")))
                << line.toStdString();
    }
    const qsizetype interims = stream.bytes.count("HTTP/1.1 102 Processing\r\n");
    EXPECT_GT(comments + interims, 0) << body.toStdString();
    EXPECT_LE(comments + interims, 2 + seconds.count()) << body.toStdString();
    EXPECT_TRUE(streamed(stream).done);
}

// Each request's log line tells its own status, model and counts.
TEST(ApiServer, EachLogLineTellsItsOwnRequest)
{
    LogCapture log;
    Served s;
    // A request whose client leaves while it waits is logged as such, with
    // the model it asked for.
    s.holdLoads();
    const int holder = connectLoopback(s.port);
    sendAll(holder, s.chat(",\"model\":\"beta\""));
    ASSERT_TRUE(waitUntil([&] { return s.loading->load(); }, 20000));
    const int leaving = connectLoopback(s.port);
    sendAll(leaving, s.chat(",\"model\":\"alpha\""));
    ASSERT_TRUE(waitUntil([&] { return s.server->waitingRequests() == 2; }, 20000));
    ::close(leaving);
    ASSERT_TRUE(waitUntil([&] { return apiLines(log).size() == 1; }, 5000));
    EXPECT_TRUE(apiLines(log).first().contains(QLatin1String("model alpha"))) << apiLines(log).first().toStdString();
    EXPECT_FALSE(apiLines(log).first().contains(QLatin1String(" 200,"))) << apiLines(log).first().toStdString();
    EXPECT_TRUE(apiLines(log).first().contains(QLatin1String("the client left"))) << apiLines(log).first().toStdString();
    s.releaseLoads();
    EXPECT_EQ(status(s.replyOn(holder)), 200);

    // A line of its own for a request refused before its route.
    log.clear();
    EXPECT_EQ(status(s.send(s.request("GET", "/v1/models/" + QByteArray(20000, 'a')))), 414);
    ASSERT_EQ(apiLines(log).size(), 1);
    EXPECT_TRUE(apiLines(log).first().contains(QLatin1String("model -, 0 prompt tokens, 0 completion tokens")))
        << apiLines(log).first().toStdString();

    // A path cannot write lines of its own into the log.
    log.clear();
    EXPECT_EQ(status(s.send(s.request("GET", "/v1/x%0aAPI:%20GET%20/forged%0d"))), 404);
    ASSERT_EQ(apiLines(log).size(), 1);
    EXPECT_FALSE(apiLines(log).first().contains(QLatin1Char('\n')));
    EXPECT_FALSE(apiLines(log).first().contains(QLatin1Char('\r')));

    // A prompt too long for the context is logged with its own length.
    log.clear();
    QByteArray words;
    for (int i = 0; i < 3000; ++i)
        words += "sea and sky ";
    const Received tooLong = s.send(s.request(
        "POST", "/v1/chat/completions", "{\"messages\":[{\"role\":\"user\",\"content\":\"" + words + "\"}]}"));
    ASSERT_EQ(status(tooLong), 400) << tooLong.bytes.toStdString();
    const QString said = bodyOf(tooLong).value(QLatin1String("error")).toObject().value(QLatin1String("message")).toString();
    const QString told = QRegularExpression(QStringLiteral("\\((\\d+) tokens\\)")).match(said).captured(1);
    ASSERT_FALSE(told.isEmpty()) << said.toStdString();
    ASSERT_EQ(apiLines(log).size(), 1);
    EXPECT_TRUE(apiLines(log).first().contains(QStringLiteral(", %1 prompt tokens").arg(told)))
        << apiLines(log).first().toStdString();
}

// A stop string that ends the reply on its last allowed token is why it
// stopped.
TEST(ApiServer, AStopStringAtTheTokenLimitFinishesWithStop)
{
    Served s;
    const QJsonObject choice = bodyOf(s.send(s.chat(",\"stop\":\"there\",\"max_tokens\":2")))
                                   .value(QLatin1String("choices")).toArray().first().toObject();
    EXPECT_EQ(choice.value(QLatin1String("message")).toObject().value(QLatin1String("content")).toString(),
              QStringLiteral(" Hello "));
    EXPECT_EQ(choice.value(QLatin1String("finish_reason")).toString(), QStringLiteral("stop"));
    const Received stream = s.send(s.chat(",\"stop\":\"there\",\"max_tokens\":2,\"stream\":true"));
    EXPECT_EQ(streamed(stream).finish, QStringLiteral("stop")) << stream.bytes.toStdString();
}

TEST(ApiServer, PipelinedRequestsAreAllAnswered)
{
    Served s;
    QByteArray first = s.request("GET", "/v1/models");
    first.replace("Connection: close", "Connection: keep-alive");
    const Received both = s.send(first + s.request("GET", "/v1/models/alpha"));
    EXPECT_EQ(both.bytes.count("HTTP/1.1 200"), 2) << both.bytes.toStdString();
}

// A stream the server's stop cuts short ends with an error event and a
// proper end of its chunked body.
TEST(ApiServer, AStreamCutByTheStopEndsItsBody)
{
    Served s({}, true);
    const int fd = connectLoopback(s.port);
    sendAll(fd, s.chat(",\"model\":\"gamma\",\"stream\":true,\"max_tokens\":20000"));
    QByteArray heard;
    ASSERT_TRUE(waitUntil([&] {
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0)
            heard.append(buffer, int(n));
        return heard.contains("\"content\":\" sea");
    }, 20000));
    s.server->stop();
    heard += s.replyOn(fd).bytes;
    EXPECT_TRUE(heard.contains("stopping")) << heard.right(300).toStdString();
    EXPECT_TRUE(heard.endsWith("\r\n0\r\n\r\n")) << heard.right(300).toStdString();
}

// A model file that arrives while the server runs is served without the
// window being brought forward.
TEST(ApiServer, AModelAddedToTheFolderIsListed)
{
    Served s;
    s.folder.add(QStringLiteral("delta"), {{kPromptEnd, "▁Hi", "</s>"}});
    EXPECT_TRUE(waitUntil([&] {
        return bodyOf(s.send(s.request("GET", "/v1/models"))).value(QLatin1String("data")).toArray().size() == 3;
    }, 10000));
}

// A vision model's projector sits in the models folder beside its model, but
// nothing runs on it alone: it is not listed, and a request for it is one
// for an unknown model, not a failed load for the client to retry.
TEST(ApiServer, AProjectorInTheFolderIsNoModel)
{
    Served s;
    GgufWriter()
        .string("general.architecture", "clip")
        .string("general.type", "mmproj")
        .u32("clip.vision.image_size", 448)
        .writeTo(s.folder.path, QStringLiteral("vision-encoder-f16.gguf"));
    s.store->reload();
    ASSERT_EQ(s.store->models().size(), 3);
    EXPECT_EQ(bodyOf(s.send(s.request("GET", "/v1/models"))).value(QLatin1String("data")).toArray().size(), 2);
    EXPECT_EQ(status(s.send(s.request("GET", "/v1/models/vision-encoder-f16"))), 404);
    const Received asked = s.send(s.request(
        "POST", "/v1/chat/completions",
        "{\"model\":\"vision-encoder-f16\",\"messages\":[{\"role\":\"user\",\"content\":\"Hi\"}]}"));
    EXPECT_EQ(status(asked), 404);
    EXPECT_EQ(bodyOf(asked).value(QLatin1String("error")).toObject().value(QLatin1String("code")).toString(),
              QStringLiteral("model_not_found"));
}

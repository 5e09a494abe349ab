#pragma once

// A local server over scripted models for the server's tests, and readers
// of its answers.

#include "apiserver/ApiServer.h"

#include "LoopbackClient.h"
#include "engine/LlamaSession.h"
#include "engine/TestModels.h"
#include "models/ModelStore.h"
#include "support/Wait.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <string>
#include <vector>
#include <unistd.h>

namespace cvn::test {

// The scripted call of the "tooled" model: a Qwen-style template's call of
// get_weather for Paris, in tokens of the Qwen2 vocabulary that each come
// once.
inline const std::vector<std::string> kWeatherCall{
    "<", "tool", "_call", ">Ċ", "{\"", "name", "\":\"", "get", "_weather", "\",\"", "arguments", "\":", "Ġ{\"",
    "city", "\"", ":", "Ġ\"", "Paris", "\"}}Ċ", "</", "t", "ool", "_c", "all", ">"};

// A Qwen2.5-style chat template with tools.
inline std::string toolsTemplate()
{
    QFile file(QStringLiteral(CVN_APISERVER_TEST_DIR "/qwen-tools.jinja"));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    return file.readAll().toStdString();
}

// A server over two scripted models, "alpha" loaded, on a free port; with
// `tooled` a third whose reply after its prompt is kWeatherCall.
struct Served {
    ModelsFolder folder;
    std::unique_ptr<ModelStore> store;
    std::unique_ptr<LlamaSession> session;
    std::unique_ptr<ApiServer> server;
    uint16_t port = 0;

    explicit Served(const QString& key = {}, bool endless = false, bool tooled = false)
    {
        if (tooled) {
            std::vector<std::string> chain{"Ċ"};
            chain.insert(chain.end(), kWeatherCall.begin(), kWeatherCall.end());
            chain.push_back("<|im_end|>");
            folder.add(QStringLiteral("tooled"), {chain}, "qwen2", 2048, toolsTemplate());
        }
        folder.add(QStringLiteral("alpha"), {{kPromptEnd, "▁Hello", "▁there", "</s>"}});
        if (endless) // a reply that only its limit ends
            folder.add(QStringLiteral("gamma"), {{kPromptEnd, "▁The", "▁sea", "▁is", "▁calm", ".", "▁The"}});
        folder.add(QStringLiteral("beta"), {{"Ċ", "<", "think", ">", "plan", "</", "th", "ink", ">Ċ", "OK", "<|im_end|>"}},
                   "qwen2");
        store = std::make_unique<ModelStore>(folder.path);
        session = std::make_unique<LlamaSession>(store.get());
        EXPECT_TRUE(finishes(session->loadModel(modelNamed(store->models(), QStringLiteral("alpha")))));
        server = std::make_unique<ApiServer>(*session, *store);
        port = freePort();
        EXPECT_TRUE(server->start(port, key));
    }

    // Sends one request from another thread while the main loop runs.
    Received send(const QByteArray& request)
    {
        auto reply = std::async(std::launch::async, [this, request] { return exchange(port, request, 0, 20000); });
        EXPECT_TRUE(waitUntil([&] { return reply.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 30000));
        return reply.get();
    }

    QByteArray request(const QByteArray& method, const QByteArray& path, const QByteArray& body = {},
                       const QByteArray& extra = {}) const
    {
        QByteArray r = method + ' ' + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port)
                       + "\r\nConnection: close\r\n" + extra;
        if (!body.isNull())
            r += "Content-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n";
        return r + "\r\n" + body;
    }
    QByteArray chat(const QByteArray& fields) const
    {
        return request("POST", "/v1/chat/completions",
                       "{\"messages\":[{\"role\":\"user\",\"content\":\"Hi\"}]" + fields + "}");
    }

    // Model loads wait until releaseLoads(), so that a request for another
    // model holds the slot meanwhile.
    std::promise<void> gate;
    std::shared_ptr<std::atomic<bool>> loading = std::make_shared<std::atomic<bool>>(false);
    void holdLoads()
    {
        std::shared_future<void> released = gate.get_future().share();
        session->setLoadHook([released, loading = loading] {
            *loading = true;
            released.wait_for(std::chrono::seconds(30));
        });
    }
    void releaseLoads()
    {
        session->setLoadHook({});
        gate.set_value();
    }
    // Reads a reply to its end while the main loop runs.
    Received replyOn(int fd)
    {
        auto reply = std::async(std::launch::async, [fd] { return readToEnd(fd, 30000); });
        EXPECT_TRUE(waitUntil([&] { return reply.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 30000));
        ::close(fd);
        return reply.get();
    }
};

inline int status(const Received& r)
{
    return r.bytes.mid(9, 3).toInt();
}

inline QJsonObject bodyOf(const Received& r)
{
    return QJsonDocument::fromJson(r.bytes.mid(r.bytes.indexOf("\r\n\r\n") + 4)).object();
}

// The text of a streamed answer, joined from its chunks' deltas; the usage
// of its usage chunk; whether it ended with [DONE].
struct Streamed {
    QString content, reasoning, finish;
    QJsonObject usage;
    bool done = false;
};
inline Streamed streamed(const Received& r)
{
    Streamed s;
    for (const QByteArray& line : r.bytes.split('\n')) {
        if (!line.startsWith("data: "))
            continue;
        if (line.trimmed() == "data: [DONE]") {
            s.done = true;
            continue;
        }
        const QJsonObject chunk = QJsonDocument::fromJson(line.mid(6)).object();
        if (chunk.contains(QLatin1String("usage")))
            s.usage = chunk.value(QLatin1String("usage")).toObject();
        for (const QJsonValue& choice : chunk.value(QLatin1String("choices")).toArray()) {
            const QJsonObject delta = choice.toObject().value(QLatin1String("delta")).toObject();
            s.content += delta.value(QLatin1String("content")).toString();
            s.reasoning += delta.value(QLatin1String("reasoning_content")).toString();
            s.finish += choice.toObject().value(QLatin1String("finish_reason")).toString();
        }
    }
    return s;
}


} // namespace cvn::test

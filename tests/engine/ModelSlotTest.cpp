// The orders in which the slot's four clients (a pick, a chat reply, a
// council and other programs' requests) can meet, one row each: the jobs
// that held the slot in turn, which model answered each, and what each
// client was told, exactly once.

#include "engine/LlamaSession.h"

#include "ChildWriter.h"
#include "TestModels.h"
#include "models/ModelStore.h"
#include "platform/MainThread.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <future>
#include <map>

using namespace cvn;
using namespace cvn::test;

namespace {

const char* clientName(ModelSlot::Client client)
{
    switch (client) {
    case ModelSlot::Client::pick: return "pick";
    case ModelSlot::Client::chat: return "chat";
    case ModelSlot::Client::council: return "council";
    case ModelSlot::Client::request: return "request";
    }
    return "?";
}

// Three models that answer " Hello", " world" and " sea", a session whose
// chat has picked alpha, and a log of the jobs that held the slot.
struct Clients {
    ModelsFolder folder;
    std::unique_ptr<ModelStore> store;
    std::unique_ptr<LlamaSession> session;
    QStringList held; // "client model" for each job that held the slot, in turn
    QStringList told; // what each client heard, in the order heard
    std::map<QString, int> answers; // how often each request heard its end
    std::map<QString, std::shared_ptr<RequestControl>> controls;
    std::promise<void> gate;
    std::shared_future<void> opened = gate.get_future().share();
    std::unique_ptr<ChildWriter> writer;
    ModelSlot::JobId last = 0; // the job last logged

    Clients()
    {
        folder.add(QStringLiteral("alpha"), {{kPromptEnd, "▁Hello", "</s>"}});
        folder.add(QStringLiteral("beta"), {{kPromptEnd, "▁world", "</s>"}});
        folder.add(QStringLiteral("gamma"), {{kPromptEnd, "▁sea", "</s>"}});
        store = std::make_unique<ModelStore>(folder.path);
        session = std::make_unique<LlamaSession>(store.get());
        EXPECT_TRUE(finishes(session->loadModel(model("alpha"))));
        QObject::connect(&session->slot(), &ModelSlot::stateChanged, [this] {
            const ModelSlot::State& state = session->slot().state();
            if (state.job == 0 || state.job == last || !state.model)
                return;
            last = state.job;
            held << QStringLiteral("%1 %2").arg(QLatin1String(clientName(state.client)), state.model->displayName);
        });
    }
    ~Clients()
    {
        release();
        writer.reset();
    }
    ModelInfo model(const char* name) const { return modelNamed(store->models(), QLatin1String(name)); }

    // Another program asks `model` (none: the slot's); a held request's
    // first piece waits for release().
    void request(const QString& name, const char* model = nullptr, bool held = false)
    {
        ServedRequest r;
        r.messages = {ChatMessage{ChatMessage::Role::user, QStringLiteral("Hi")}};
        if (model)
            r.model = this->model(model);
        auto text = std::make_shared<QString>();
        r.onPiece = [text, held, opened = opened](const QString& piece) {
            if (held)
                opened.wait_for(std::chrono::seconds(20));
            *text += piece;
            return true;
        };
        r.onFinished = [this, name, text](const ServedRequest::Outcome& o) {
            const QString heard = o.failure != ServedRequest::Outcome::Failure::none ? o.message
                                  : o.cancelled                                     ? QStringLiteral("cancelled")
                                                                                    : *text;
            runOnMain([this, name, heard] {
                told << name + QLatin1Char(':') + heard;
                ++answers[name];
            });
        };
        controls[name] = r.control;
        session->serveRequest(std::move(r));
    }
    bool running() const { return session->slot().state().phase == ModelSlot::Phase::running; }
    void release()
    {
        try {
            gate.set_value();
        } catch (const std::future_error&) {
        }
    }
    SessionTask pick(const ModelInfo& model)
    {
        return session->loadModel(model, [this, name = model.displayName](const std::optional<LoadError>& e) {
            told << QStringLiteral("pick %1:%2").arg(name, e ? e->description() : QStringLiteral("ok"));
        });
    }
    // Holds `model`'s file open for writing, as another program would.
    void write(const char* model)
    {
        writer = std::make_unique<ChildWriter>(folder.path + QLatin1Char('/') + QLatin1String(model) + ".gguf",
                                               O_WRONLY | O_APPEND);
        EXPECT_TRUE(writer->opened(20000));
    }
    // Everything asked was answered, and the slot is free again.
    void settle()
    {
        release();
        if (writer)
            writer->close();
        EXPECT_TRUE(waitUntil([&] { return session->slot().isIdle() && !session->isStreaming(); }, 30000));
        waitUntil([] { return false; }, 50); // a late second answer would come now
    }
    QString chat() const
    {
        QStringList bubbles;
        for (const LlamaSession::Turn& t : session->turns())
            bubbles << (t.state.isFailed() ? t.state.failureMessage : t.content);
        return bubbles.join(QLatin1Char('|'));
    }
};

struct Case {
    const char* name;
    std::function<void(Clients&)> act;
    QStringList held;
    QStringList told; // the requests' and picks'
    QString chat;
};

const QString kNoModel = QStringLiteral("No model loaded — pick one with SELECT A MODEL.");

} // namespace

TEST(ModelSlot, ClientsTakeTheSlotInOrderOfArrivalAndEachHearsOnce)
{
    const Case cases[] = {
        {"a pick while a request runs leaves the request its model",
         [](Clients& c) {
             c.request("r1", "beta", true);
             ASSERT_TRUE(waitUntil([&] { return c.running(); }, 20000));
             c.pick(c.model("gamma"));
             c.session->send(QStringLiteral("Hi"));
         },
         {"request beta", "pick gamma", "chat gamma"},
         {"r1: world", "pick gamma:ok"},
         "Hi| sea"},
        {"a request while a pick waits for a writer waits behind it",
         [](Clients& c) {
             c.write("gamma");
             c.pick(c.model("gamma"));
             ASSERT_TRUE(waitUntil([&] { return c.session->slot().state().phase == ModelSlot::Phase::waitingForWriter; },
                                   20000));
             c.request("r1", "beta");
             EXPECT_FALSE(waitUntil([&] { return !c.told.isEmpty(); }, 400));
         },
         {"pick gamma", "request beta"},
         {"pick gamma:ok", "r1: world"},
         ""},
        {"a council while requests are queued comes after them",
         [](Clients& c) {
             c.request("r1", "beta", true);
             c.request("r2", "gamma");
             c.session->sendCouncil(QStringLiteral("q"), QStringLiteral("q"), {c.model("gamma"), c.model("alpha")}, {});
         },
         {"request beta", "request gamma", "council gamma", "council alpha"},
         {"r1: world", "r2: sea"},
         "q| sea| Hello"},
        {"a chat reply queued behind two requests frees neither's model",
         [](Clients& c) {
             c.request("r1", "beta", true);
             c.request("r2", "gamma");
             c.session->send(QStringLiteral("Hi"));
         },
         {"request beta", "request gamma", "chat alpha"},
         {"r1: world", "r2: sea"},
         "Hi| Hello"},
        {"a failed pick leaves the chat no model",
         [](Clients& c) {
             ModelInfo missing = c.model("beta");
             missing.id = QUuid::createUuid();
             missing.fileName = QStringLiteral("missing.gguf");
             missing.displayName = QStringLiteral("missing");
             ASSERT_TRUE(finishes(c.pick(missing)));
             c.told.last().replace(c.folder.path, QStringLiteral("%1"));
             c.session->send(QStringLiteral("Hi"));
         },
         {"pick missing"},
         {QStringLiteral("pick missing:the file could not be read: %1/missing.gguf")},
         QStringLiteral("Hi|") + kNoModel},
        {"a stop ends a reply queued behind a request, and only it",
         [](Clients& c) {
             c.request("r1", "beta", true);
             c.session->send(QStringLiteral("Hi"));
             c.session->stop();
         },
         {"request beta"},
         {"r1: world"},
         "Hi"},
        {"a cancelled request leaves the queue at once and never starts",
         [](Clients& c) {
             c.request("r1", "beta", true);
             c.request("r2", "gamma");
             c.controls["r2"]->cancel();
             c.request("r3");
         },
         {"request beta", "request beta"},
         {"r2:cancelled", "r1: world", "r3: world"},
         ""},
        {"an unload ends a request's load and the next one loads",
         [](Clients& c) {
             std::promise<void> loading;
             auto loaded = loading.get_future().share();
             c.session->setLoadHook([loaded] { loaded.wait_for(std::chrono::seconds(20)); });
             c.request("r1", "beta");
             c.request("r2", "gamma");
             c.session->unloadModel();
             c.session->setLoadHook({});
             loading.set_value();
         },
         {"request beta", "request gamma"},
         {"r1:cancelled", "r2: sea"},
         ""},
        {"a stop leaves a request waiting for a writer to its wait",
         [](Clients& c) {
             c.write("gamma");
             c.request("r1", "gamma");
             ASSERT_TRUE(waitUntil([&] { return c.session->slot().state().phase == ModelSlot::Phase::waitingForWriter; },
                                   20000));
             EXPECT_FALSE(c.session->isStreaming());
             c.session->stop();
         },
         {"request gamma"},
         {"r1: sea"},
         ""},
        {"a lease break frees the model in the slot, and the next request loads its file again",
         [](Clients& c) {
             c.request("r1");
             ASSERT_TRUE(waitUntil([&] { return c.answers.count("r1") > 0; }, 20000));
             ChildWriter breaks(c.folder.path + QStringLiteral("/alpha.gguf"), O_WRONLY | O_APPEND);
             EXPECT_TRUE(breaks.opened(20000));
             EXPECT_TRUE(c.session->model()->isFreed());
             breaks.close();
             ASSERT_TRUE(waitUntil([&] { return breaks.finished(); }, 20000));
             c.request("r2");
         },
         {"request alpha", "request alpha"},
         {"r1: Hello", "r2: Hello"},
         ""},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        Clients c;
        row.act(c);
        c.settle();
        EXPECT_EQ(c.held, row.held);
        EXPECT_EQ(c.told, row.told);
        EXPECT_EQ(c.chat(), row.chat);
        for (const auto& [name, count] : c.answers)
            EXPECT_EQ(count, 1) << name.toStdString();
        EXPECT_EQ(c.answers.size(), c.controls.size());
    }
}

#include "engine/LlamaSession.h"

#include "TestModels.h"
#include "models/ModelStore.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

#include <future>
#include <mutex>

using namespace cvn;
using namespace cvn::test;
using Role = ChatMessage::Role;

namespace {

// Two scripted models in their own folder, the chat holding "alpha".
struct Slot {
    ModelsFolder folder;
    std::unique_ptr<ModelStore> store;
    std::unique_ptr<LlamaSession> session;

    Slot()
    {
        folder.add(QStringLiteral("alpha"), {{kPromptEnd, "▁Hello", "</s>"}});
        folder.add(QStringLiteral("beta"), {{kPromptEnd, "▁world", "▁again", "</s>"}});
        folder.add(QStringLiteral("gamma"), {{kPromptEnd, "▁The", "▁sea", "▁The"}}); // ends only at a limit
        store = std::make_unique<ModelStore>(folder.path);
        session = std::make_unique<LlamaSession>(store.get());
        EXPECT_TRUE(finishes(session->loadModel(model(QStringLiteral("alpha")))));
    }
    ModelInfo model(const QString& name) const { return modelNamed(store->models(), name); }
};

// What one request heard, filled on the model's queue.
struct Heard {
    std::mutex mutex;
    QString text;
    std::optional<ServedRequest::Outcome> outcome;

    void attach(ServedRequest& request)
    {
        request.onPiece = [this](const QString& piece) {
            std::lock_guard lock(mutex);
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

ServedRequest asking(const QString& text)
{
    ServedRequest request;
    request.messages = {ChatMessage{Role::user, text}};
    return request;
}

} // namespace

TEST(ServedRequest, TakesTheSlotInTurnWithTheChatAndLeavesTheChatItsModel)
{
    Slot slot;
    LlamaSession& s = *slot.session;
    // The request's first piece waits until the chat has asked too.
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    Heard heard;
    ServedRequest request = asking(QStringLiteral("Hi"));
    request.model = slot.model(QStringLiteral("beta"));
    heard.attach(request);
    auto piece = request.onPiece;
    request.onPiece = [piece, released](const QString& p) {
        released.wait_for(std::chrono::seconds(20));
        return piece(p);
    };
    s.serveRequest(std::move(request));
    ASSERT_TRUE(waitUntil([&] { return s.loadedModelId() == slot.model(QStringLiteral("beta")).id; }, 20000));

    SessionTask chat = s.send(QStringLiteral("Hi"));
    EXPECT_FALSE(chat.isFinished());
    EXPECT_TRUE(s.isStreaming());
    release.set_value();
    ASSERT_TRUE(finishes(chat));

    ASSERT_TRUE(heard.done());
    EXPECT_EQ(heard.text, QStringLiteral(" world again"));
    EXPECT_EQ(heard.outcome->failure, ServedRequest::Outcome::Failure::none);
    EXPECT_GT(heard.outcome->promptTokens, 0);
    EXPECT_EQ(heard.outcome->completionTokens, 2);
    // The chat's reply came from its own model, loaded again; nothing of the
    // request is in the transcript.
    EXPECT_EQ(s.loadedModelId(), slot.model(QStringLiteral("alpha")).id);
    ASSERT_EQ(s.turns().size(), 2);
    EXPECT_EQ(s.turns()[1].content, QStringLiteral(" Hello"));
}

TEST(ServedRequest, CancelEndsTheRunAndTheNextAnswers)
{
    Slot slot;
    LlamaSession& s = *slot.session;
    Heard first;
    ServedRequest cancelled = asking(QStringLiteral("Hi"));
    first.attach(cancelled);
    std::shared_ptr<RequestControl> control = cancelled.control;
    auto piece = cancelled.onPiece;
    // The caller goes away while the first token is delivered.
    cancelled.onPiece = [piece, control](const QString& p) {
        control->cancel();
        return piece(p);
    };
    Heard second;
    ServedRequest next = asking(QStringLiteral("Hi"));
    second.attach(next);
    s.serveRequest(std::move(cancelled));
    s.serveRequest(std::move(next));
    ASSERT_TRUE(waitUntil([&] { return first.done() && second.done(); }, 20000));
    EXPECT_TRUE(first.outcome->cancelled);
    EXPECT_EQ(first.outcome->completionTokens, 1);
    EXPECT_FALSE(second.outcome->cancelled);
    EXPECT_EQ(second.text, QStringLiteral(" Hello"));
}

TEST(ServedRequest, APromptBeyondTheContextIsRefusedBeforeItRuns)
{
    Slot slot;
    LlamaSession& s = *slot.session;
    Heard heard;
    ServedRequest request = asking(QStringLiteral("Hi ").repeated(int(s.loadedContextSize())));
    heard.attach(request);
    s.serveRequest(std::move(request));
    ASSERT_TRUE(waitUntil([&] { return heard.done(); }, 20000));
    EXPECT_EQ(heard.outcome->failure, ServedRequest::Outcome::Failure::promptTooLong);
    EXPECT_TRUE(heard.text.isEmpty());
    EXPECT_TRUE(finishes(s.send(QStringLiteral("Hi"))));
    EXPECT_EQ(s.turns().last().content, QStringLiteral(" Hello"));
}

// A conversation longer than the context, each message fitting by itself,
// is answered from its newest whole turns as a chat's would be, not refused.
TEST(ServedRequest, ALongConversationLosesItsOldestTurnsAndIsAnswered)
{
    Slot slot;
    LlamaSession& s = *slot.session;
    Heard heard;
    ServedRequest request;
    const QString filler = QStringLiteral("Hi ").repeated(int(s.loadedContextSize() / 8));
    for (int i = 0; i < 12; ++i)
        request.messages += {ChatMessage{Role::user, filler}, ChatMessage{Role::assistant, QStringLiteral("Ok")}};
    request.messages += ChatMessage{Role::user, QStringLiteral("Last")};
    heard.attach(request);
    s.serveRequest(std::move(request));
    ASSERT_TRUE(waitUntil([&] { return heard.done(); }, 60000));
    EXPECT_EQ(heard.outcome->failure, ServedRequest::Outcome::Failure::none);
    EXPECT_LE(heard.outcome->promptTokens, s.loadedContextSize() - ReplyPrompt::replyReserve);
    EXPECT_EQ(heard.text, QStringLiteral(" Hello"));
}

// A request without its own system message or sampling takes the model's as
// the store has them now; what the request sets wins.
TEST(ServedRequest, TakesTheModelsInstructionsAndSamplingUnlessItSetsThem)
{
    Slot slot;
    LlamaSession& s = *slot.session;
    QStringList prompts;
    s.setPromptObserver([&](const QString& p) { prompts << p; });
    QList<ModelInfo> models = slot.store->models();
    for (ModelInfo& m : models) {
        m.instructions = QStringLiteral("Be brief.");
        m.sampling.replyLimit = 1;
    }
    slot.store->setModels(models);
    const auto serve = [&](ServedRequest request) {
        Heard heard;
        heard.attach(request);
        // The prompt reaches the main thread by a post of its own, which may
        // come after the outcome.
        const qsizetype seen = prompts.size();
        s.serveRequest(std::move(request));
        EXPECT_TRUE(waitUntil([&] { return heard.done() && prompts.size() > seen; }, 20000));
        return heard.outcome.value_or(ServedRequest::Outcome{});
    };

    ServedRequest plain = asking(QStringLiteral("Hi"));
    plain.model = slot.model(QStringLiteral("beta"));
    EXPECT_EQ(serve(plain).completionTokens, 1);
    EXPECT_TRUE(prompts.value(prompts.size() - 1).contains(QStringLiteral("Be brief."))) << prompts.join('|').toStdString();

    ServedRequest own = asking(QStringLiteral("Hi"));
    own.model = slot.model(QStringLiteral("beta"));
    own.messages.prepend(ChatMessage{Role::system, QStringLiteral("Be long.")});
    own.overrides.maxTokens = 5;
    const ServedRequest::Outcome outcome = serve(own);
    EXPECT_EQ(outcome.completionTokens, 2);
    EXPECT_FALSE(prompts.value(prompts.size() - 1).contains(QStringLiteral("Be brief.")));
}

// A reply that fills the context ends there as at its own limit, though the
// request allowed more.
TEST(ServedRequest, AReplyThatFillsTheContextHitsItsLimit)
{
    Slot slot;
    QList<ModelInfo> models = slot.store->models();
    for (ModelInfo& m : models) {
        m.contextMode = QStringLiteral("manual");
        m.contextSizeManual = 512;
    }
    slot.store->setModels(models);
    Heard heard;
    ServedRequest request = asking(QStringLiteral("Hi"));
    request.model = slot.model(QStringLiteral("gamma"));
    request.overrides.maxTokens = 100000;
    heard.attach(request);
    slot.session->serveRequest(std::move(request));
    ASSERT_TRUE(waitUntil([&] { return heard.done(); }, 60000));
    EXPECT_EQ(heard.outcome->promptTokens + heard.outcome->completionTokens, slot.session->loadedContextSize());
    EXPECT_TRUE(heard.outcome->hitTokenLimit);
}

// The user's pick holds the slot while it loads: a request that comes
// meanwhile waits, then answers from the model picked, which stays the
// chat's.
TEST(ServedRequest, ARequestWaitsForAPickThatIsLoading)
{
    Slot slot;
    LlamaSession& s = *slot.session;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    s.setLoadHook([released] { released.wait_for(std::chrono::seconds(30)); });
    const SessionTask pick = s.loadModel(slot.model(QStringLiteral("beta")));
    Heard heard;
    ServedRequest request = asking(QStringLiteral("Hi"));
    heard.attach(request);
    s.serveRequest(std::move(request));
    EXPECT_FALSE(waitUntil([&] { return heard.done(); }, 200)) << "the request waits for the pick";
    s.setLoadHook({});
    release.set_value();
    ASSERT_TRUE(finishes(pick));
    ASSERT_TRUE(waitUntil([&] { return heard.done(); }, 20000));
    EXPECT_EQ(heard.outcome->failure, ServedRequest::Outcome::Failure::none) << heard.outcome->message.toStdString();
    EXPECT_EQ(heard.text, QStringLiteral(" world again"));
    EXPECT_EQ(s.loadedModelName(), QStringLiteral("beta"));
}

// While another program's request holds the slot, a send shows its question
// at once and its bubble says what it waits for; a stop ends that wait and
// keeps the question. A pick made meanwhile waits for the request, and a
// send after it waits for the pick, which then answers.
TEST(ServedRequest, ASendWhileARequestHoldsTheSlotShowsAtOnceAndAPickMadeMeanwhileAnswers)
{
    Slot slot;
    LlamaSession& s = *slot.session;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    Heard heard;
    ServedRequest request = asking(QStringLiteral("Hi"));
    request.model = slot.model(QStringLiteral("beta"));
    heard.attach(request);
    auto piece = request.onPiece;
    request.onPiece = [piece, released](const QString& p) {
        released.wait_for(std::chrono::seconds(20));
        return piece(p);
    };
    s.serveRequest(std::move(request));
    ASSERT_TRUE(waitUntil([&] { return s.loadedModelId() == slot.model(QStringLiteral("beta")).id; }, 20000));
    const QString waits = QStringLiteral("Waiting for another program's request to finish…");

    const SessionTask stopped = s.send(QStringLiteral("First"));
    ASSERT_EQ(s.turns().size(), 2);
    EXPECT_EQ(s.turns()[1].waitingFor, waits);
    s.stop();
    EXPECT_TRUE(stopped.isFinished());
    EXPECT_FALSE(s.isStreaming());
    ASSERT_EQ(s.turns().size(), 1);
    EXPECT_EQ(s.turns()[0].content, QStringLiteral("First"));

    const ModelInfo alpha = slot.model(QStringLiteral("alpha"));
    const SessionTask pick = s.loadModel(alpha);
    EXPECT_EQ(s.chatModelAfterWait(), alpha.id);
    const SessionTask chat = s.send(QStringLiteral("Second"));
    ASSERT_EQ(s.turns().size(), 3);
    EXPECT_EQ(s.turns()[1].content, QStringLiteral("Second"));
    EXPECT_TRUE(s.turns()[2].state.isStreaming());
    EXPECT_EQ(s.turns()[2].waitingFor, waits);
    release.set_value();
    ASSERT_TRUE(finishes(chat));
    EXPECT_TRUE(pick.isFinished());
    EXPECT_EQ(heard.text, QStringLiteral(" world again"));
    EXPECT_EQ(s.loadedModelName(), QStringLiteral("alpha"));
    EXPECT_EQ(s.chatModelAfterWait(), std::nullopt);
    EXPECT_EQ(s.turns()[2].content, QStringLiteral(" Hello"));
    EXPECT_TRUE(s.turns()[2].waitingFor.isEmpty());
}

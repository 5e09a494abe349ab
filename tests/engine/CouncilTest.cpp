#include "engine/LlamaSession.h"

#include "TestModels.h"
#include "models/ModelStore.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>

using namespace cvn;
using namespace cvn::test;
using Turn = LlamaSession::Turn;
using Role = ChatMessage::Role;

namespace {

// Scripted members in their own models folder, and a session that records
// every prompt it renders.
struct Council {
    ModelsFolder folder;
    std::unique_ptr<ModelStore> store;
    std::unique_ptr<LlamaSession> session;
    QStringList prompts;

    Council(const QList<QPair<QString, std::vector<std::string>>>& members)
    {
        for (const auto& [name, chain] : members)
            folder.add(name, {chain});
        store = std::make_unique<ModelStore>(folder.path);
        session = std::make_unique<LlamaSession>(store.get());
        session->setPromptObserver([this](const QString& p) { prompts << p; });
    }

    ModelInfo member(const QString& name) const { return modelNamed(store->models(), name); }
};

} // namespace

TEST(Council, MembersAnswerInTurnFromTheSameHistory)
{
    Council c({{QStringLiteral("alpha"), {kPromptEnd, "▁Hello", "</s>"}},
               {QStringLiteral("beta"), {kPromptEnd, "▁world", "</s>"}}});
    LlamaSession& s = *c.session;
    const ModelInfo alpha = c.member(QStringLiteral("alpha"));
    const ModelInfo beta = c.member(QStringLiteral("beta"));
    ASSERT_TRUE(finishes(s.loadModel(alpha)));
    ASSERT_EQ(s.loadedModelId(), alpha.id);

    // Status lines, as they change.
    QList<std::optional<QString>> statuses;
    QObject::connect(&s, &LlamaSession::statusTextChanged, [&] { statuses << s.statusText(); });
    // The second member's load lasts until its status has counted a second.
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    s.setLoadHook([released] { released.wait_for(std::chrono::seconds(20)); });
    bool refusedDuringLoad = false;
    QObject::connect(&s, &LlamaSession::statusTextChanged, [&] {
        if (s.statusText() && s.send(QStringLiteral("sneaky")).isFinished())
            refusedDuringLoad = s.turns().last().content != QStringLiteral("sneaky");
    });

    SessionTask run = s.sendCouncil(QStringLiteral(" @alpha @beta what? "), QStringLiteral("what?"), {alpha, beta},
                                    {QStringLiteral("No model named @gamma")});
    EXPECT_TRUE(s.isStreaming());
    EXPECT_TRUE(s.councilActive());
    // A second run or a send while one is active is refused.
    EXPECT_TRUE(s.sendCouncil(QStringLiteral("x"), QStringLiteral("x"), {alpha}, {}).isFinished());
    EXPECT_TRUE(s.send(QStringLiteral("x")).isFinished());
    const bool counted = cvn::test::waitUntil([&] { return statuses.size() >= 2; }, 10000);
    release.set_value();
    ASSERT_TRUE(counted);
    ASSERT_TRUE(finishes(run));

    EXPECT_FALSE(s.councilActive());
    EXPECT_FALSE(s.isStreaming());
    EXPECT_EQ(s.statusText(), std::nullopt);
    EXPECT_EQ(s.loadedModelId(), beta.id);
    EXPECT_TRUE(refusedDuringLoad);
    ASSERT_GE(statuses.size(), 3);
    EXPECT_EQ(statuses[0], QStringLiteral("Loading beta... (0s)"));
    EXPECT_EQ(statuses[1], QStringLiteral("Loading beta... (1s)"));
    EXPECT_EQ(statuses.last(), std::nullopt);

    const QList<Turn>& t = s.turns();
    ASSERT_EQ(t.size(), 4);
    EXPECT_EQ(t[0].role, Role::user);
    EXPECT_EQ(t[0].content, QStringLiteral(" @alpha @beta what? "));
    EXPECT_EQ(t[1].state, Turn::State::failed(QStringLiteral("No model named @gamma")));
    EXPECT_EQ(t[2].content, QStringLiteral(" Hello"));
    EXPECT_EQ(t[2].modelName, QStringLiteral("alpha"));
    EXPECT_EQ(t[3].content, QStringLiteral(" world"));
    EXPECT_EQ(t[3].modelName, QStringLiteral("beta"));

    ASSERT_EQ(c.prompts.size(), 2);
    EXPECT_TRUE(c.prompts[1].contains(QStringLiteral("what?")));
    EXPECT_FALSE(c.prompts[1].contains(QStringLiteral("Hello")));

    // The next council run sees both answers.
    s.setLoadHook({});
    ASSERT_TRUE(finishes(s.sendCouncil(QStringLiteral("again"), QStringLiteral("again"), {alpha}, {})));
    EXPECT_TRUE(c.prompts.last().contains(QStringLiteral("Hello")));
    EXPECT_TRUE(c.prompts.last().contains(QStringLiteral("world")));
}

namespace {

QStringList samplingLines;

void keepSamplingLine(QtMsgType, const QMessageLogContext&, const QString& message)
{
    if (message.startsWith(QStringLiteral("Sampling: ")))
        samplingLines << message;
}

} // namespace

// Each member replies with its own model's sampling, and with the chat's
// instructions when it has them, else its own.
TEST(Council, EachMemberTakesItsOwnSamplingAndTheChatsInstructionsElseItsOwn)
{
    Council c({{QStringLiteral("alpha"), {kPromptEnd, "▁Hello", "</s>"}},
               {QStringLiteral("beta"), {kPromptEnd, "▁world", "</s>"}}});
    QList<ModelInfo> models = c.store->models();
    for (ModelInfo& m : models) {
        m.instructions = m.displayName + QStringLiteral(" rules.");
        if (m.displayName == QStringLiteral("alpha")) {
            m.sampling.temperature = 0;
            m.sampling.replyLimit = 50;
        } else {
            m.sampling.topK = 5;
            m.sampling.seed = 9;
        }
    }
    c.store->setModels(models);
    const QList<ModelInfo> members = {c.member(QStringLiteral("alpha")), c.member(QStringLiteral("beta"))};
    const auto run = [&] {
        samplingLines.clear();
        const QtMessageHandler previous = qInstallMessageHandler(keepSamplingLine);
        const bool finished = finishes(c.session->sendCouncil(QStringLiteral("q"), QStringLiteral("q"), members, {}));
        qInstallMessageHandler(previous);
        return finished;
    };
    ASSERT_TRUE(run());
    EXPECT_EQ(samplingLines, QStringList({
        "Sampling: temperature 0, top-k 40, top-p 0.95, min-p 0, repeat penalty 1.1, limit 50 tokens, seed random",
        "Sampling: temperature 0.8, top-k 5, top-p 0.95, min-p 0, repeat penalty 1.1, limit 2048 tokens, seed 9"}));
    ASSERT_EQ(c.prompts.size(), 2);
    EXPECT_EQ(c.prompts[0], ChatTemplate().format({{Role::system, "alpha rules."}, {Role::user, "q"}}));
    EXPECT_EQ(c.prompts[1], ChatTemplate().format({{Role::system, "beta rules."}, {Role::user, "q"}}));

    c.session->resetConversation();
    c.session->setChatInstructions(QStringLiteral("Chat rules."));
    ASSERT_TRUE(run());
    ASSERT_EQ(c.prompts.size(), 4);
    EXPECT_EQ(c.prompts[3], ChatTemplate().format({{Role::system, "Chat rules."}, {Role::user, "q"}}));
}

TEST(Council, MemberThatCannotLoadGetsAFailureBubbleAndTheNextStillAnswers)
{
    Council c({{QStringLiteral("alpha"), {kPromptEnd, "▁Hello", "</s>"}},
               {QStringLiteral("beta"), {kPromptEnd, "▁world", "</s>"}}});
    LlamaSession& s = *c.session;
    ModelInfo broken = c.member(QStringLiteral("beta"));
    broken.fileName = QStringLiteral("missing.gguf");
    broken.displayName = QStringLiteral("B");
    const ModelInfo alpha = c.member(QStringLiteral("alpha"));

    ASSERT_TRUE(finishes(s.sendCouncil(QStringLiteral("q"), QStringLiteral("q"), {broken, alpha}, {})));
    const QList<Turn>& t = s.turns();
    ASSERT_EQ(t.size(), 3);
    EXPECT_EQ(t[1].state,
              Turn::State::failed(QStringLiteral("B couldn't respond — Model file corrupt or unreadable")));
    EXPECT_EQ(t[1].modelName, std::nullopt);
    EXPECT_EQ(t[2].content, QStringLiteral(" Hello"));
    EXPECT_FALSE(s.isStreaming());
}

// Stopping, opening another chat or taking the slot (unload, or a load of
// another model) while a member loads or answers ends the run: the member's
// bubble goes or finishes as stopped, no later member starts, nothing is left
// streaming, late pieces touch nothing and the next send goes through.
TEST(Council, StopOrLosingTheChatOrTheSlotEndsTheRun)
{
    enum class Action { stop, openChat, unload, loadAnother };
    const Action actions[] = {Action::stop, Action::openChat, Action::unload, Action::loadAnother};
    for (const Action action : actions) {
        for (const bool duringLoad : {true, false}) { // else while the member answers
            SCOPED_TRACE(::testing::Message() << "action " << int(action) << (duringLoad ? " loading" : " answering"));
            Council c({{QStringLiteral("alpha"), {kPromptEnd, "▁A", "▁B", "▁A"}},
                       {QStringLiteral("beta"), {kPromptEnd, "▁world", "</s>"}},
                       {QStringLiteral("gamma"), {kPromptEnd, "▁Hello", "</s>"}}});
            LlamaSession& s = *c.session;
            const ModelInfo gamma = c.member(QStringLiteral("gamma"));

            // The first load (the member's) waits on the load thread until released.
            std::atomic<int> loads = 0;
            std::promise<void> release;
            std::shared_future<void> released = release.get_future().share();
            s.setLoadHook([&loads, released] {
                if (loads++ == 0)
                    released.wait_for(std::chrono::seconds(20));
            });
            SessionTask run = s.sendCouncil(QStringLiteral("q"), QStringLiteral("q"),
                                            {c.member(QStringLiteral("alpha")), c.member(QStringLiteral("beta"))}, {});
            if (duringLoad) {
                ASSERT_TRUE(cvn::test::waitUntil([&] { return loads > 0; }));
            } else {
                release.set_value();
                ASSERT_TRUE(cvn::test::waitUntil(
                    [&] { return s.turns().size() == 2 && !s.turns()[1].content.isEmpty(); }));
            }

            SessionTask other;
            switch (action) {
            case Action::stop: s.stop(); break;
            case Action::openChat:
                s.replaceTurns({});
                EXPECT_TRUE(run.isFinished()); // at once, not when the member ends
                break;
            case Action::unload: s.unloadModel(); break;
            case Action::loadAnother: other = s.loadModel(gamma); break;
            }
            if (duringLoad)
                release.set_value();

            ASSERT_TRUE(finishes(run, 10000));
            EXPECT_FALSE(s.councilActive());
            EXPECT_EQ(s.statusText(), std::nullopt);
            ASSERT_TRUE(cvn::test::waitUntil([&] {
                return std::none_of(s.turns().begin(), s.turns().end(), [](const Turn& t) { return t.state.isStreaming(); });
            }));

            // The next message is answered by whatever the slot holds now. A
            // load frees the old model first, so its late pieces arrive before
            // the load reports back.
            ASSERT_TRUE(finishes(action == Action::loadAnother ? other : s.loadModel(gamma)));
            ASSERT_EQ(s.loadedModelId(), gamma.id);
            SessionTask next = s.send(QStringLiteral("next"));
            EXPECT_FALSE(next.isFinished());
            ASSERT_TRUE(finishes(next));
            EXPECT_EQ(s.turns().last().content, QStringLiteral(" Hello"));
            EXPECT_TRUE(s.turns().last().state.isComplete());
            EXPECT_FALSE(s.isStreaming());

            // No bubble and no prompt for beta; the stopped answer stays.
            EXPECT_EQ(c.prompts.size(), duringLoad ? 1 : 2);
            if (action == Action::openChat) {
                EXPECT_EQ(s.turns().size(), 2);
            } else if (duringLoad) {
                EXPECT_EQ(s.turns().size(), 3); // the empty bubble went
            } else {
                ASSERT_EQ(s.turns().size(), 4);
                EXPECT_TRUE(s.turns()[1].cancelledByUser);
                EXPECT_EQ(s.turns()[1].modelName, QStringLiteral("alpha"));
            }
        }
    }
}

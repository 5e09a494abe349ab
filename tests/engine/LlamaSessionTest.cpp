#include "engine/LlamaSession.h"

#include "TestModels.h"
#include "engine/SessionRegistry.h"
#include "models/ModelStore.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>

using namespace cvn;
using namespace cvn::test;
using Turn = LlamaSession::Turn;
using Role = ChatMessage::Role;

namespace {

const QString kNoModel = QStringLiteral("No model loaded — pick one with SELECT A MODEL.");

std::optional<LoadError> loadAndWait(LlamaSession& session, const ModelInfo& model)
{
    std::optional<LoadError> result;
    SessionTask task = session.loadModel(model, [&](const std::optional<LoadError>& error) { result = error; });
    EXPECT_TRUE(finishes(task, 20000));
    return result;
}

// A session with one model in its own folder, loaded.
struct LoadedSession {
    ModelsFolder folder;
    std::unique_ptr<ModelStore> store;
    std::unique_ptr<LlamaSession> session;

    LoadedSession(const QString& name, const std::vector<std::string>& script)
    {
        folder.add(name, {script});
        store = std::make_unique<ModelStore>(folder.path);
        session = std::make_unique<LlamaSession>(store.get());
        EXPECT_EQ(loadAndWait(*session, modelNamed(store->models(), name)), std::nullopt);
    }
};

// Script of a model that never stops on its own.
const std::vector<std::string> kCycle = {kPromptEnd, "▁A", "▁B", "▁A"};

} // namespace

TEST(LlamaSession, RefusesBlankTextAndSendsWithoutModelAsANote)
{
    ModelsFolder folder;
    ModelStore store(folder.path);
    LlamaSession session(&store);
    EXPECT_TRUE(session.send(QStringLiteral("  \n ")).isFinished());
    EXPECT_TRUE(session.turns().isEmpty());

    EXPECT_TRUE(session.send(QStringLiteral("  Hi \n")).isFinished());
    ASSERT_EQ(session.turns().size(), 2);
    EXPECT_EQ(session.turns()[0].role, Role::user);
    EXPECT_EQ(session.turns()[0].content, QStringLiteral("Hi"));
    EXPECT_TRUE(session.turns()[0].state.isComplete());
    EXPECT_EQ(session.turns()[1].role, Role::assistant);
    EXPECT_EQ(session.turns()[1].state, Turn::State::failed(kNoModel));
    EXPECT_TRUE(session.turns()[1].content.isEmpty());
    EXPECT_FALSE(session.isStreaming());
    // Failed notes never reach a model.
    EXPECT_EQ(session.buildHistory(), (QList<ChatMessage>{{Role::user, QStringLiteral("Hi")}}));
}

TEST(LlamaSession, ReplyLimitsAndContextChoice)
{
    EXPECT_EQ(LlamaSession::replyTokenLimit(300), 256);
    EXPECT_EQ(LlamaSession::replyTokenLimit(512), 256);
    EXPECT_EQ(LlamaSession::replyTokenLimit(1024), 512);
    EXPECT_EQ(LlamaSession::replyTokenLimit(8192), 2048);

    ModelInfo manual;
    manual.contextMode = QStringLiteral("manual");
    manual.contextSizeManual = 768;
    EXPECT_EQ(LlamaSession::contextSizeFor(manual, 64000), 768);
    manual.contextSizeManual = 0; // no usable size: automatic
    EXPECT_EQ(LlamaSession::contextSizeFor(manual, 64000), LlamaSession::contextSizeFor(ModelInfo{}, 64000));

    ModelsFolder folder;
    folder.add(QStringLiteral("wide"), {{kPromptEnd, "▁Hello", "</s>"}}, "llama-spm", 4096);
    ModelStore store(folder.path);
    LlamaSession session(&store);
    ASSERT_EQ(loadAndWait(session, modelNamed(store.models(), QStringLiteral("wide"))), std::nullopt);
    EXPECT_EQ(session.loadedContextSize(), 4096); // a trained 4096 always plans 4096
    EXPECT_EQ(session.loadedModelName(), QStringLiteral("wide"));
    EXPECT_EQ(session.chatTemplate(), ChatTemplate::chatML);
    EXPECT_EQ(session.loadedArchitecture(), QStringLiteral("llama"));
}

// The instructions open the prompt as its system message: the chat's win
// over the model's, both apply at the next reply without a reload, and a
// family without a system block gets them ahead of the first user message.
TEST(LlamaSession, ChatInstructionsElseTheModelsOpenThePrompt)
{
    LoadedSession loaded(QStringLiteral("hello"), {kPromptEnd, "▁Hello", "</s>"});
    LlamaSession& session = *loaded.session;
    QStringList prompts;
    session.setPromptObserver([&](const QString& p) { prompts << p; });
    const auto ask = [&] {
        session.resetConversation();
        EXPECT_TRUE(finishes(session.send(QStringLiteral("Hi"))));
        return prompts.value(prompts.size() - 1);
    };
    const auto withSystem = [](ChatTemplate family, const QString& system) {
        return family.format({{Role::system, system}, {Role::user, QStringLiteral("Hi")}});
    };

    EXPECT_EQ(ask(), ChatTemplate(ChatTemplate::chatML).format({{Role::user, QStringLiteral("Hi")}}));
    QList<ModelInfo> models = loaded.store->models();
    models[0].instructions = QStringLiteral("Be brief.");
    loaded.store->setModels(models);
    EXPECT_EQ(ask(), withSystem(ChatTemplate::chatML, QStringLiteral("Be brief.")));
    session.setChatInstructions(QStringLiteral("Speak French."));
    EXPECT_EQ(ask(), withSystem(ChatTemplate::chatML, QStringLiteral("Speak French.")));

    models[0].chatTemplate = QStringLiteral("Mistral");
    loaded.store->setModels(models);
    ASSERT_EQ(loadAndWait(session, loaded.store->models()[0]), std::nullopt);
    const QString folded = ask();
    EXPECT_EQ(folded, withSystem(ChatTemplate::mistral, QStringLiteral("Speak French.")));
    EXPECT_TRUE(folded.contains(QStringLiteral("Speak French.\n\nHi"))) << folded.toStdString();
    session.setChatInstructions(QStringLiteral("  "));
    EXPECT_EQ(ask(), withSystem(ChatTemplate::mistral, QStringLiteral("Be brief.")));
}

TEST(LlamaSession, ReplyStreamsIntoTheBubbleAndCompletes)
{
    LoadedSession loaded(QStringLiteral("hello"), {kPromptEnd, "▁Hello", "<0xC3>", "<0xA9>", "!", "</s>"});
    LlamaSession& session = *loaded.session;

    QStringList prompts;
    session.setPromptObserver([&](const QString& p) { prompts << p; });
    int rateUpdates = 0;
    QObject::connect(&session, &LlamaSession::tokensPerSecondChanged, [&] {
        if (session.tokensPerSecond())
            ++rateUpdates;
    });
    SessionTask task = session.send(QStringLiteral("Hi"));
    EXPECT_TRUE(session.isStreaming());
    ASSERT_EQ(session.turns().size(), 2);
    EXPECT_TRUE(session.turns()[1].state.isStreaming());
    ASSERT_TRUE(finishes(task));
    EXPECT_FALSE(session.isStreaming());
    EXPECT_EQ(session.tokensPerSecond(), std::nullopt);
    EXPECT_GE(rateUpdates, 1);
    ASSERT_EQ(session.turns().size(), 2);
    EXPECT_EQ(session.turns()[1].content, QStringLiteral(u" Hello\u00E9!"));
    EXPECT_TRUE(session.turns()[1].state.isComplete());
    EXPECT_FALSE(session.turns()[1].cancelledByUser);
    ASSERT_EQ(prompts.size(), 1);
    EXPECT_EQ(prompts[0], ChatTemplate(ChatTemplate::chatML).format({{Role::user, QStringLiteral("Hi")}}));

    // The next prompt carries the whole conversation.
    ASSERT_TRUE(finishes(session.send(QStringLiteral("Again"))));
    EXPECT_TRUE(prompts.last().contains(QStringLiteral(u" Hello\u00E9!")));
    EXPECT_EQ(session.turns().size(), 4);
}

TEST(LlamaSession, ThinkSectionCutAcrossTokensIsSplitFromTheAnswer)
{
    ModelsFolder folder;
    folder.add(QStringLiteral("thinker"),
               {{"Ċ", "<", "think", ">", "plan", "</", "th", "ink", ">Ċ", "OK", "<|im_end|>"}}, "qwen2");
    folder.add(QStringLiteral("silent"), {{"Ċ", "<", "think", ">", "plan", "<|im_end|>"}}, "qwen2");
    ModelStore store(folder.path);
    LlamaSession session(&store);

    ASSERT_EQ(loadAndWait(session, modelNamed(store.models(), QStringLiteral("thinker"))), std::nullopt);
    ASSERT_TRUE(finishes(session.send(QStringLiteral("Hi"))));
    const Turn reply = session.turns().last();
    EXPECT_TRUE(reply.state.isComplete());
    EXPECT_EQ(reply.reasoning, QStringLiteral("plan"));
    EXPECT_EQ(reply.content, QStringLiteral("\nOK"));
    EXPECT_TRUE(reply.reasoningDurationMs.has_value());
    // The reasoning folds open and shut; an unknown bubble changes nothing.
    session.toggleReasoning(reply.id);
    EXPECT_TRUE(session.turns().last().reasoningExpanded);
    session.toggleReasoning(QUuid::createUuid());
    EXPECT_TRUE(session.turns().last().reasoningExpanded);
    session.toggleReasoning(reply.id);
    EXPECT_FALSE(session.turns().last().reasoningExpanded);

    // Only thinking, no answer: a failed reply that keeps its reasoning.
    ASSERT_EQ(loadAndWait(session, modelNamed(store.models(), QStringLiteral("silent"))), std::nullopt);
    ASSERT_TRUE(finishes(session.send(QStringLiteral("Hi"))));
    const Turn silent = session.turns().last();
    EXPECT_EQ(silent.state, Turn::State::failed(QStringLiteral("Model returned no tokens.")));
    EXPECT_EQ(silent.reasoning, QStringLiteral("plan"));
    EXPECT_TRUE(silent.reasoningDurationMs.has_value());
}

TEST(LlamaSession, ReasoningLabels)
{
    const std::tuple<std::optional<int64_t>, int64_t, const char*> cases[] = {
        {0, 0, "Thought"}, {400, 0, "Thought for 0 seconds"}, {1499, 0, "Thought for 1 second"},
        {1500, 0, "Thought for 2 seconds"}, {std::nullopt, 0, "Thinking..."}, {std::nullopt, 999, "Thinking... (0s)"},
        {std::nullopt, 2500, "Thinking... (2s)"}};
    for (const auto& [duration, elapsed, label] : cases) {
        Turn t;
        t.reasoningDurationMs = duration;
        t.reasoningElapsedMs = elapsed;
        EXPECT_EQ(t.reasoningLabel(), QString::fromLatin1(label));
    }
}

TEST(LlamaSession, StopBeforeTheFirstPieceRemovesTheBubbleAfterKeepsIt)
{
    LoadedSession loaded(QStringLiteral("cycle"), kCycle);
    LlamaSession& session = *loaded.session;

    // Before: the run waits behind a gate on the model's queue.
    std::promise<void> release;
    auto gate = release.get_future().share();
    session.model()->queue().async([gate] { gate.wait(); });
    SessionTask first = session.send(QStringLiteral("Go"));
    session.stop();
    release.set_value();
    ASSERT_TRUE(finishes(first));
    ASSERT_EQ(session.turns().size(), 1);
    EXPECT_EQ(session.turns()[0].role, Role::user);
    EXPECT_FALSE(session.isStreaming());

    // After: the text so far stays, marked as stopped by the user, whether
    // the user stopped the reply or unloaded its model.
    for (const bool unload : {false, true}) {
        SessionTask reply = session.send(QStringLiteral("Go"));
        ASSERT_TRUE(cvn::test::waitUntil([&] { return !session.turns().last().content.isEmpty(); }));
        unload ? session.unloadModel() : session.stop();
        EXPECT_TRUE(!unload || !session.isStreaming()); // an unload lets go at once
        ASSERT_TRUE(finishes(reply));
        EXPECT_FALSE(session.isStreaming());
        const Turn kept = session.turns().last();
        EXPECT_TRUE(kept.state.isComplete());
        EXPECT_TRUE(kept.cancelledByUser);
        EXPECT_FALSE(kept.content.isEmpty());
        EXPECT_LT(kept.content.size(), 2 * 1024); // well short of a whole reply
    }
}

TEST(LlamaSession, RegenerateAndResendRewriteTheTail)
{
    ModelsFolder folder;
    folder.add(QStringLiteral("hello"), {{kPromptEnd, "▁Hello", "</s>"}});
    ModelStore store(folder.path);
    LlamaSession session(&store);

    // Without a model: two questions, each with its note.
    session.send(QStringLiteral("one"));
    session.send(QStringLiteral("two"));
    ASSERT_EQ(session.turns().size(), 4);
    const QUuid noteId = session.turns()[1].id;
    EXPECT_TRUE(session.regenerate(noteId).isFinished());
    EXPECT_EQ(session.turns().size(), 4); // an assistant turn is not a question

    ASSERT_EQ(loadAndWait(session, modelNamed(store.models(), QStringLiteral("hello"))), std::nullopt);
    const QUuid firstQuestion = session.turns()[0].id;
    ASSERT_TRUE(finishes(session.regenerate(firstQuestion)));
    ASSERT_EQ(session.turns().size(), 4);
    EXPECT_EQ(session.turns()[0].content, QStringLiteral("two"));
    EXPECT_EQ(session.turns()[2].content, QStringLiteral("one"));
    EXPECT_EQ(session.turns()[3].content, QStringLiteral(" Hello"));

    const QUuid second = session.turns()[2].id;
    ASSERT_TRUE(finishes(session.resend(second, QStringLiteral("x"))));
    ASSERT_EQ(session.turns().size(), 4);
    EXPECT_EQ(session.turns()[2].content, QStringLiteral("x"));
    EXPECT_TRUE(session.turns()[3].state.isComplete());

    // A council question's answers all go when it is asked again.
    QList<Turn> council = session.turns().mid(0, 1);
    for (const char* member : {"a", "b"}) {
        Turn answer;
        answer.role = Role::assistant;
        answer.content = QString::fromLatin1(member);
        answer.modelName = QString::fromLatin1(member);
        council.append(answer);
    }
    session.replaceTurns(council);
    ASSERT_TRUE(finishes(session.regenerate(council[0].id)));
    ASSERT_EQ(session.turns().size(), 2);
    EXPECT_EQ(session.turns()[1].content, QStringLiteral(" Hello"));

    session.deleteTurn(session.turns()[1].id);
    EXPECT_EQ(session.turns().size(), 1);
}

TEST(LlamaSession, FailedLoadLeavesTheSlotEmptyAndIsRecorded)
{
    LoadedSession loaded(QStringLiteral("hello"), {kPromptEnd, "▁Hello", "</s>"});
    LlamaSession& session = *loaded.session;
    // Rows of this test's model only: other tests in the process load theirs.
    const auto listed = [id = quintptr(session.model().get())] {
        const auto live = LlamaModel::liveModels();
        return std::any_of(live.begin(), live.end(), [id](const LoadedModelSnapshot& m) { return m.id == id; });
    };
    EXPECT_TRUE(listed());

    ModelInfo missing = modelNamed(loaded.store->models(), QStringLiteral("hello"));
    missing.fileName = QStringLiteral("gone.gguf");
    const std::optional<LoadError> error = loadAndWait(session, missing);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind(), LoadError::Kind::fileNotReadable);
    EXPECT_EQ(error->path(), loaded.folder.path + QStringLiteral("/gone.gguf"));
    EXPECT_EQ(session.loadedModelId(), std::nullopt);
    EXPECT_EQ(session.model(), nullptr);
    EXPECT_FALSE(listed());
    ASSERT_TRUE(LlamaModel::lastLoadAttempt().has_value());
    EXPECT_EQ(LlamaModel::lastLoadAttempt()->fileName, QStringLiteral("gone.gguf"));
    EXPECT_EQ(std::get<LoadAttempt::Failed>(LlamaModel::lastLoadAttempt()->outcome).message, error->description());
}

// A pick that fails leaves the chat with no model, as at start: the next
// send asks for one instead of loading the model picked before.
TEST(LlamaSession, SendAfterAFailedPickGetsTheNoModelNote)
{
    LoadedSession loaded(QStringLiteral("hello"), {kPromptEnd, "▁Hello", "</s>"});
    LlamaSession& session = *loaded.session;
    ModelInfo missing = modelNamed(loaded.store->models(), QStringLiteral("hello"));
    missing.fileName = QStringLiteral("gone.gguf");
    ASSERT_TRUE(loadAndWait(session, missing).has_value());

    EXPECT_TRUE(finishes(session.send(QStringLiteral("Hi"))));
    ASSERT_EQ(session.turns().size(), 2);
    EXPECT_EQ(session.turns()[1].state, Turn::State::failed(kNoModel));
    EXPECT_EQ(session.loadedModelId(), std::nullopt);
}

TEST(LlamaSession, OpeningAnotherChatMidReplyLeavesItUntouched)
{
    LoadedSession loaded(QStringLiteral("cycle"), kCycle);
    LlamaSession& session = *loaded.session;

    SessionTask reply = session.send(QStringLiteral("Go"));
    ASSERT_TRUE(cvn::test::waitUntil([&] { return !session.turns().last().content.isEmpty(); }));

    QList<Turn> other;
    for (int i = 0; i < 3; ++i) {
        Turn t;
        t.role = i % 2 ? Role::assistant : Role::user;
        t.content = QStringLiteral("stored %1").arg(i);
        other.append(t);
    }
    session.replaceTurns(other);
    EXPECT_FALSE(session.isStreaming());
    // The old reply's task ends with its finish, which comes after its pieces.
    ASSERT_TRUE(finishes(reply));
    EXPECT_EQ(session.turns(), other);

    // A new reply in the new chat is not disturbed by the old one's end.
    SessionTask next = session.send(QStringLiteral("Go"));
    QObject::connect(&session, &LlamaSession::turnsChanged, [&] {
        if (session.isStreaming() && session.turns().last().content.size() > 8)
            session.stop();
    });
    ASSERT_TRUE(finishes(next));
    EXPECT_EQ(session.turns().size(), 5);
    EXPECT_TRUE(session.turns().last().cancelledByUser);
}

// What the debug panel lists of a live session, and the edits that never
// start a reply: a question typed while a council answers elsewhere, and a
// fresh conversation in the middle of a reply.
TEST(LlamaSession, SnapshotFollowsTheSlotAndTheReplyEditsWithoutAReply)
{
    LoadedSession loaded(QStringLiteral("cycle"), kCycle);
    LlamaSession& session = *loaded.session;
    const auto published = [&]() -> std::optional<LlamaSession::Snapshot> {
        for (const LlamaSession::Snapshot& row : SessionRegistry::snapshots())
            if (row.shortId == session.shortId())
                return row;
        return std::nullopt;
    };
    // The context is what llama.cpp granted.
    const LlamaSession::Snapshot idle{session.shortId(), QStringLiteral("cycle"), session.model()->contextSize(),
                                      QStringLiteral("llama"), ChatTemplate::chatML, false, std::nullopt};
    EXPECT_EQ(session.snapshot(), idle);
    EXPECT_EQ(published(), idle);

    session.appendUserTurn(QStringLiteral("typed"), {QStringLiteral("a note")});
    ASSERT_EQ(session.turns().size(), 2);
    EXPECT_EQ(session.turns()[0].content, QStringLiteral("typed"));
    EXPECT_EQ(session.turns()[1].state, Turn::State::failed(QStringLiteral("a note")));
    EXPECT_FALSE(session.isStreaming());

    SessionTask reply = session.send(QStringLiteral("Go"));
    ASSERT_TRUE(cvn::test::waitUntil([&] { return !session.turns().last().content.isEmpty(); }));
    ASSERT_TRUE(published().has_value());
    EXPECT_TRUE(published()->isStreaming);
    EXPECT_TRUE(published()->tokensPerSecond.has_value());
    session.appendUserTurn(QStringLiteral("late"), {}); // refused while a reply streams
    EXPECT_EQ(session.turns().size(), 4);

    session.resetConversation();
    EXPECT_TRUE(session.turns().isEmpty());
    EXPECT_FALSE(session.isStreaming());
    ASSERT_TRUE(finishes(reply));
    EXPECT_TRUE(session.turns().isEmpty());
    EXPECT_EQ(session.snapshot(), idle); // the model stays loaded
    EXPECT_EQ(published(), idle);
}

// A reply that runs into the end of the context says so in a note after it,
// and the log gives the limit that applied; one that ends at its own limit
// has no note.
TEST(LlamaSession, AReplyCutByTheContextCarriesANote)
{
    ModelsFolder folder;
    folder.add(QStringLiteral("cycle"), {kCycle});
    ModelStore store(folder.path);
    QList<ModelInfo> models = store.models();
    models[0].contextMode = QStringLiteral("manual");
    models[0].contextSizeManual = 512;
    models[0].sampling.replyLimit = 4096;
    store.setModels(models);
    LlamaSession session(&store);
    ASSERT_EQ(loadAndWait(session, store.models()[0]), std::nullopt);
    session.setPieceInterval(std::chrono::milliseconds(0));

    LogCapture log;
    ASSERT_TRUE(finishes(session.send(QStringLiteral("Go")), 120000));
    ASSERT_EQ(session.turns().size(), 3);
    EXPECT_TRUE(session.turns()[1].state.isComplete());
    EXPECT_FALSE(session.turns()[1].content.isEmpty());
    EXPECT_EQ(session.turns()[2].state, Turn::State::failed(QStringLiteral("Reply cut short: the context is full")));
    const int64_t written = session.model()->lastRunTokenCount();
    EXPECT_LT(written, 512);
    EXPECT_EQ(log.taken().filter(QStringLiteral("Sampling: ")).value(0).section(QStringLiteral(", "), 5, 5),
              QStringLiteral("limit %1 tokens").arg(written));

    models[0].sampling.replyLimit = 8;
    store.setModels(models);
    ASSERT_TRUE(finishes(session.send(QStringLiteral("Go"))));
    ASSERT_EQ(session.turns().size(), 5);
    EXPECT_TRUE(session.turns()[4].state.isComplete());
}

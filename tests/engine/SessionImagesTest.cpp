// Images in the session's replies: each model gets what it can take (the
// image itself, or the text read from it), the images stay with their
// question, and the loads bring the projector a model pairs with.
#include "engine/LlamaSession.h"
#include "engine/LlamaSessionImages.h"
#include "engine/VisionProjector.h"
#include "models/ProjectorPairing.h"

#include "TestModelWriter.h"
#include "TestModels.h"
#include "models/ModelStore.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

#include <QFile>

#include <atomic>
#include <mutex>
#include <thread>

using namespace cvn;
using namespace cvn::test;
using Role = ChatMessage::Role;
using Turn = LlamaSession::Turn;

namespace {

QString marker(int index)
{
    return LlamaModel::imageMarker(index);
}

QString block(const QString& name, const QString& text)
{
    return QStringLiteral("[Attached file: %1]\n%2\n[End file]\n\n").arg(name, text);
}

// Two scripted models beside a projector both fit (n_embd 64); "blind"
// chose none.
struct VisionFolder {
    ModelsFolder folder;
    std::unique_ptr<ModelStore> store;
    std::unique_ptr<LlamaSession> session;

    VisionFolder()
    {
        folder.add(QStringLiteral("seer"), {{kPromptEnd, "▁Hello", "</s>"}});
        folder.add(QStringLiteral("blind"), {{kPromptEnd, "▁world", "</s>"}});
        testmodel::ProjectorSpec spec;
        EXPECT_EQ(testmodel::writeRandomProjector((projectorPath()).toStdString(), spec), "");
        store = std::make_unique<ModelStore>(folder.path);
        QList<ModelInfo> models = store->models();
        for (ModelInfo& m : models)
            if (m.displayName == QLatin1String("blind"))
                m.projectorChoice = ModelInfo::noProjector;
        store->setModels(models);
        session = std::make_unique<LlamaSession>(store.get());
    }
    QString projectorPath() const { return folder.path + QStringLiteral("/mmproj-seer-f16.gguf"); }
    ModelInfo model(const QString& name) const { return modelNamed(store->models(), name); }
};

} // namespace

TEST(SessionImages, EachModelGetsTheImagesOrTheirBlocksAndMarkersFollowTheConversation)
{
    const ChatImage a{QStringLiteral("a.png"), "A"};
    const ChatImage bc{QStringLiteral("b\nc.png"), "BC"}; // its block's header reads "b c.png"
    const ChatImage d{QStringLiteral("d.png"), "D"};
    const QString notes = block(QStringLiteral("notes.txt"), QStringLiteral("N"));
    const QString content = block(QStringLiteral("a.png"), QStringLiteral("OCR of a")) + notes
                            + block(QStringLiteral("b c.png"), QStringLiteral("OCR of bc")) + QStringLiteral("Look");
    EXPECT_EQ(SessionImages::withoutImageBlocks(content, {a, bc}), notes + QStringLiteral("Look"));
    EXPECT_EQ(SessionImages::withoutImageBlocks(content, {}), content);

    // A model that does not see images reads the blocks, and is given no image.
    QList<ReplyPrompt::Message> blind{{QUuid(), {Role::user, content, {}, {}, {a, bc}}}};
    SessionImages::fitForModel(blind, false);
    EXPECT_EQ(blind[0].message, (ChatMessage{Role::user, content}));

    // The markers each message placed are renumbered to the conversation's
    // places; a message that placed none gets them at its start.
    QList<ReplyPrompt::Message> seen{
        {QUuid(), {Role::user, content, {}, {}, {a, bc}}},
        {QUuid(), {Role::assistant, QStringLiteral("Nice")}},
        {QUuid(), {Role::user, QStringLiteral("And ") + marker(0) + QStringLiteral(" here?"), {}, {}, {d}}},
    };
    seen[0].message.content += marker(1);
    SessionImages::fitForModel(seen, true);
    EXPECT_EQ(SessionImages::gather(seen), (QList<ChatImage>{a, bc, d}));
    EXPECT_EQ(seen[0].message.content, marker(0) + notes + QStringLiteral("Look") + marker(1));
    EXPECT_EQ(seen[2].message.content, QStringLiteral("And ") + marker(2) + QStringLiteral(" here?"));

}

// A model that does not see images reads the text of each one; the images
// stay with their question when it is asked again or edited, and a load
// brings the projector its model pairs with.
TEST(SessionImages, AModelWithoutAProjectorReadsTheTextAndTheQuestionKeepsItsImages)
{
    VisionFolder f;
    EXPECT_EQ(ModelSlot::projectorPathFor(f.model(QStringLiteral("seer")), *f.store), f.projectorPath());
    EXPECT_EQ(ModelSlot::projectorPathFor(f.model(QStringLiteral("blind")), *f.store), QString());
    EXPECT_TRUE(f.session->seesImages({f.model(QStringLiteral("seer"))}));
    EXPECT_FALSE(f.session->seesImages({f.model(QStringLiteral("blind"))}));
    // What the context warning counts an image as, before any load: the
    // projector's positions for the model that sees it, nothing otherwise.
    EXPECT_EQ(f.session->imagePositions({f.model(QStringLiteral("seer")), f.model(QStringLiteral("blind"))}), 4);
    EXPECT_EQ(f.session->imagePositions({f.model(QStringLiteral("blind"))}), 0);

    LlamaSession& session = *f.session;
    ASSERT_TRUE(finishes(session.loadModel(f.model(QStringLiteral("blind")))));
    EXPECT_FALSE(session.seesImages());
    QStringList prompts;
    session.setPromptObserver([&](const QString& p) { prompts << p; });
    const ChatImage image{QStringLiteral("a.png"), "not decoded here"};
    const QString question = block(QStringLiteral("a.png"), QStringLiteral("OCR of a")) + QStringLiteral("Hi");
    ASSERT_TRUE(finishes(session.send(question, {image})));
    ASSERT_EQ(session.turns().size(), 2);
    EXPECT_EQ(session.turns()[0].images, QList<ChatImage>{image});
    EXPECT_EQ(session.turns()[1].content, QStringLiteral(" world"));
    ASSERT_EQ(prompts.size(), 1);
    EXPECT_TRUE(prompts[0].contains(QStringLiteral("OCR of a"))) << prompts[0].toStdString();
    EXPECT_FALSE(prompts[0].contains(marker(0)));
    EXPECT_EQ(session.buildHistory().value(0).images, QList<ChatImage>{image});

    ASSERT_TRUE(finishes(session.regenerate(session.turns()[0].id)));
    EXPECT_EQ(session.turns()[0].images, QList<ChatImage>{image});
    ASSERT_TRUE(finishes(session.resend(session.turns()[0].id, QStringLiteral("Edited"))));
    EXPECT_EQ(session.turns()[0].content, QStringLiteral("Edited"));
    EXPECT_EQ(session.turns()[0].images, QList<ChatImage>{image});
}

// Another program's images for a model that takes none are refused in so
// many words, and the slot answers the next request.
TEST(SessionImages, ARequestWithImagesForAModelWithoutAProjectorIsRefused)
{
    VisionFolder f;
    std::mutex mutex;
    std::optional<ServedRequest::Outcome> outcome;
    ServedRequest request;
    request.model = f.model(QStringLiteral("blind"));
    request.messages = {ChatMessage{Role::user, QStringLiteral("What is it?"), {}, {}, {{QStringLiteral("x.png"), "x"}}}};
    request.onPiece = [](const QString&) { return true; };
    request.onFinished = [&](const ServedRequest::Outcome& o) {
        std::lock_guard lock(mutex);
        outcome = o;
    };
    f.session->serveRequest(std::move(request));
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard lock(mutex);
        return outcome.has_value();
    }, 20000));
    EXPECT_EQ(outcome->failure, ServedRequest::Outcome::Failure::imagesRefused);
    EXPECT_EQ(outcome->message, QStringLiteral("this model does not take images"));
}

namespace {

ChatImage png(const QString& name)
{
    return test::png(name, 8, 8, qRgb(200, 40, 40));
}

qsizetype encodes(LogCapture& log)
{
    return log.taken().filter(QStringLiteral("Encoded an image")).size();
}

} // namespace

// A model with a projector is shown the image in place of its text, encodes
// it once over two turns, and its bubble tells of the encode until the
// first word. An image that cannot be shown ends the reply with the reason.
TEST(SessionImages, AModelWithAProjectorSeesTheImageOnceAndItsBubbleShowsTheEncode)
{
    VisionFolder f;
    LlamaSession& session = *f.session;
    session.setProgressDelay(std::chrono::milliseconds(0));
    ASSERT_TRUE(finishes(session.loadModel(f.model(QStringLiteral("seer")))));
    ASSERT_TRUE(session.model()->seesImages());
    EXPECT_TRUE(session.seesImages());
    // The encode runs past a second, so the engine tells how long it runs,
    // and the first word waits until the bubble has shown it.
    std::atomic<bool> shown{false};
    LlamaModel::TestHooks hooks;
    hooks.duringEncode = [] { std::this_thread::sleep_for(std::chrono::milliseconds(1100)); };
    hooks.afterPrompt = [&](const float*, int32_t) {
        for (int i = 0; i < 500 && !shown; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    };
    session.model()->queue().sync([&] { session.model()->setTestHooks(hooks); });
    QStringList progress;
    QObject::connect(&session, &LlamaSession::turnsChanged, [&] {
        for (const LlamaSession::Turn& turn : session.turns())
            if (!turn.progress.isEmpty() && progress.value(progress.size() - 1) != turn.progress) {
                progress.append(turn.progress);
                shown = true;
            }
    });
    QStringList prompts;
    session.setPromptObserver([&](const QString& p) { prompts << p; });
    LogCapture log;

    const QString question = block(QStringLiteral("a.png"), QStringLiteral("OCR of a")) + QStringLiteral("Hi");
    ASSERT_TRUE(finishes(session.send(question, {png(QStringLiteral("a.png"))})));
    ASSERT_EQ(session.turns().size(), 2);
    EXPECT_EQ(session.turns()[1].content, QStringLiteral(" Hello"));
    EXPECT_TRUE(session.turns()[1].progress.isEmpty());
    // The prompt's text after the image may tell its share too, as it has
    // taken more than a second by then.
    EXPECT_EQ(progress.value(0), QStringLiteral("Reading the image… 1s"));
    ASSERT_EQ(prompts.size(), 1);
    EXPECT_TRUE(prompts[0].contains(marker(0)));
    EXPECT_FALSE(prompts[0].contains(QStringLiteral("OCR of a")));
    EXPECT_EQ(encodes(log), 1);

    session.model()->queue().sync([&] { session.model()->setTestHooks({}); });
    ASSERT_TRUE(finishes(session.send(QStringLiteral("Again"))));
    EXPECT_EQ(session.turns().value(3).content, QStringLiteral(" Hello"));
    EXPECT_EQ(encodes(log), 1); // the next turn starts from the decoded image

    ASSERT_TRUE(finishes(session.send(QStringLiteral("And this?"), {{QStringLiteral("b.png"), "no image"}})));
    ASSERT_EQ(session.turns().size(), 6);
    EXPECT_EQ(session.turns()[4].images.size(), 1);
    EXPECT_TRUE(session.turns()[5].state.isFailed());
    EXPECT_NE(session.turns()[5].state.failureMessage, QStringLiteral("Model returned no tokens."));
    EXPECT_FALSE(session.turns()[5].state.failureMessage.isEmpty());
}

// A council gives each member what it can take: the member with a projector
// the image, the other its text; a member's bubble shows its load.
TEST(SessionImages, ACouncilGivesEachMemberWhatItCanTake)
{
    VisionFolder f;
    LlamaSession& session = *f.session;
    session.setProgressDelay(std::chrono::milliseconds(0));
    QStringList prompts;
    session.setPromptObserver([&](const QString& p) { prompts << p; });
    QStringList progress;
    QObject::connect(&session, &LlamaSession::turnsChanged, [&] {
        for (const LlamaSession::Turn& turn : session.turns())
            if (!turn.progress.isEmpty() && progress.value(progress.size() - 1) != turn.progress)
                progress.append(turn.progress);
    });
    LogCapture log;
    const QString question = block(QStringLiteral("a.png"), QStringLiteral("OCR of a")) + QStringLiteral("Hi");
    ASSERT_TRUE(finishes(session.sendCouncil(question, question,
                                             {f.model(QStringLiteral("seer")), f.model(QStringLiteral("blind"))}, {},
                                             {png(QStringLiteral("a.png"))})));
    ASSERT_EQ(prompts.size(), 2);
    EXPECT_TRUE(prompts[0].contains(marker(0)));
    EXPECT_FALSE(prompts[0].contains(QStringLiteral("OCR of a")));
    EXPECT_TRUE(prompts[1].contains(QStringLiteral("OCR of a")));
    EXPECT_FALSE(prompts[1].contains(marker(0)));
    EXPECT_EQ(encodes(log), 1);
    EXPECT_EQ(session.turns()[0].images.size(), 1);
    EXPECT_EQ(session.turns().value(1).content, QStringLiteral(" Hello"));
    EXPECT_EQ(session.turns().value(2).content, QStringLiteral(" world"));
    ASSERT_FALSE(progress.isEmpty());
    EXPECT_TRUE(progress[0].startsWith(QStringLiteral("Loading the model… "))) << progress[0].toStdString();
}

// A projector that does not load is told once, before the model's first
// reply, and the model reads the image's text.
TEST(SessionImages, AProjectorThatDidNotLoadIsToldOnceAndTheModelReadsTheText)
{
    ModelsFolder folder;
    folder.add(QStringLiteral("seer"), {{kPromptEnd, "▁Hello", "</s>"}});
    const QString projector = folder.path + QStringLiteral("/mmproj-seer.gguf");
    ASSERT_EQ(testmodel::writeRandomProjector(projector.toStdString(), testmodel::ProjectorSpec()), "");
    QFile file(projector);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    ASSERT_TRUE(file.resize(file.size() * 2 / 3)); // its tensors are cut short
    file.close();
    ModelStore store(folder.path);
    LlamaSession session(&store);
    ASSERT_TRUE(finishes(session.loadModel(modelNamed(store.models(), QStringLiteral("seer")))));
    ASSERT_TRUE(session.model()->projectorFailure());
    EXPECT_FALSE(session.seesImages());
    QStringList prompts;
    session.setPromptObserver([&](const QString& p) { prompts << p; });

    const QString question = block(QStringLiteral("a.png"), QStringLiteral("OCR of a")) + QStringLiteral("Hi");
    ASSERT_TRUE(finishes(session.send(question, {png(QStringLiteral("a.png"))})));
    ASSERT_TRUE(finishes(session.send(QStringLiteral("Again"))));
    ASSERT_EQ(session.turns().size(), 5);
    EXPECT_EQ(session.turns()[1].state,
              Turn::State::failed(QStringLiteral("The image projector could not be loaded (%1), so this model reads "
                                                 "the text of images instead.")
                                      .arg(*session.model()->projectorFailure())));
    EXPECT_EQ(session.turns()[2].content, QStringLiteral(" Hello"));
    EXPECT_EQ(session.turns()[4].content, QStringLiteral(" Hello"));
    EXPECT_TRUE(prompts.value(0).contains(QStringLiteral("OCR of a")));
}

// An image that cannot be read fails its own reply, and no later one: the
// next prompts carry its text, or a note where it has none.
TEST(SessionImages, AnUnreadableImageOfAnEarlierMessageGoesAsItsTextAndLaterRepliesCome)
{
    VisionFolder f;
    LlamaSession& session = *f.session;
    ASSERT_TRUE(finishes(session.loadModel(f.model(QStringLiteral("seer")))));
    QStringList prompts;
    session.setPromptObserver([&](const QString& p) { prompts << p; });
    const QString question = block(QStringLiteral("b.png"), QStringLiteral("OCR of b")) + QStringLiteral("Look");
    ASSERT_TRUE(finishes(session.send(question, {{QStringLiteral("b.png"), "no image"},
                                                 {QStringLiteral("c.png"), "nor this"},
                                                 png(QStringLiteral("a.png"))})));
    ASSERT_EQ(session.turns().size(), 2);
    EXPECT_TRUE(session.turns()[1].state.isFailed());

    for (const QString& next : {QStringLiteral("Again"), QStringLiteral("And again")}) {
        ASSERT_TRUE(finishes(session.send(next)));
        EXPECT_EQ(session.turns().last().content, QStringLiteral(" Hello"));
        ASSERT_FALSE(prompts.isEmpty());
        EXPECT_TRUE(prompts.last().contains(QStringLiteral("OCR of b")));
        EXPECT_TRUE(prompts.last().contains(QStringLiteral("[The image \"c.png\" could not be read.]")));
        EXPECT_TRUE(prompts.last().contains(marker(0))); // the readable one is still seen
        EXPECT_FALSE(prompts.last().contains(marker(1)));
    }
}

// What the local server lists as seeing images: a model pairs with no
// projector that failed to load, while its file stays as it was.
TEST(SessionImages, AProjectorThatFailedToLoadIsNotPairedInTheListOfModelsThatSeeImages)
{
    VisionFolder f;
    const ModelInfo seer = f.model(QStringLiteral("seer"));
    EXPECT_TRUE(ProjectorPairing::projectorFor(seer, projectorsThatLoad(*f.store)).has_value());
    QFile file(f.projectorPath());
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    ASSERT_TRUE(file.resize(file.size() * 2 / 3));
    file.close();
    ASSERT_TRUE(finishes(f.session->loadModel(seer)));
    EXPECT_TRUE(f.session->model()->projectorFailure());
    EXPECT_FALSE(ProjectorPairing::projectorFor(seer, projectorsThatLoad(*f.store)).has_value());
}

// Images in the session's replies: each model gets what it can take (the
// image itself, or the text read from it), the images stay with their
// question, and the loads bring the projector a model pairs with.
#include "engine/LlamaSession.h"
#include "engine/LlamaSessionImages.h"

#include "TestModelWriter.h"
#include "TestModels.h"
#include "models/ModelStore.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

#include <mutex>

using namespace cvn;
using namespace cvn::test;
using Role = ChatMessage::Role;

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
    QList<ChatMessage> blind{{Role::user, content, {}, {}, {a, bc}}};
    SessionImages::fitForModel(blind, false);
    EXPECT_EQ(blind, (QList<ChatMessage>{{Role::user, content}}));

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

    // A part of the prompt (the oldest turn left out) names its own images
    // from 0, in their order in its text.
    const SessionImages::Marked part =
        SessionImages::markedIn(QStringLiteral("x") + marker(2) + QStringLiteral("y") + marker(1), {a, bc, d});
    EXPECT_EQ(part.text, QStringLiteral("x") + marker(0) + QStringLiteral("y") + marker(1));
    EXPECT_EQ(part.images, (QList<ChatImage>{d, bc}));
    EXPECT_TRUE(SessionImages::markedIn(QStringLiteral("plain"), {a}).images.isEmpty());
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

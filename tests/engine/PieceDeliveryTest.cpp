#include "engine/LlamaSession.h"

#include "TestModels.h"
#include "models/ModelStore.h"

#include <gtest/gtest.h>

using namespace cvn;
using namespace cvn::test;

// However fast a model writes, the main thread hears of a streaming reply at
// most once per frame. With a frame longer than the whole reply, only the
// first piece and the finish reach it; the bubble still gets every piece.
TEST(PieceDelivery, StreamingReplyWakesTheMainThreadAtMostOncePerFrame)
{
    ModelsFolder folder;
    folder.add(QStringLiteral("cycle"), {{kPromptEnd, "▁A", "▁B", "▁A"}});
    ModelStore store(folder.path);
    ModelInfo model = modelNamed(store.models(), QStringLiteral("cycle"));
    model.contextMode = QStringLiteral("manual");
    model.contextSizeManual = 1024;
    LlamaSession session(&store);
    std::optional<LoadError> error;
    ASSERT_TRUE(finishes(session.loadModel(model, [&](const std::optional<LoadError>& e) { error = e; })));
    ASSERT_EQ(error, std::nullopt);
    session.setPieceInterval(std::chrono::hours(1));

    SessionTask reply = session.send(QStringLiteral("Go"));
    int deliveries = 0;
    QObject::connect(&session, &LlamaSession::turnsChanged, [&] { ++deliveries; });
    ASSERT_TRUE(finishes(reply));

    // The model never ends on its own: the reply runs to the session's limit,
    // one " A" or " B" piece per token.
    const int64_t tokens = LlamaSession::replyTokenLimit(session.loadedContextSize());
    ASSERT_EQ(tokens, 512);
    EXPECT_EQ(session.turns().last().content, QStringLiteral(" A B").repeated(int(tokens / 2)));
    EXPECT_TRUE(session.turns().last().state.isComplete());
    // The first piece, what waited behind it, and the finish.
    EXPECT_LE(deliveries, 3);
}

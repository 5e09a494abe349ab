#include "engine/LlamaSession.h"

#include "TestModels.h"
#include "models/ModelStore.h"

#include <gtest/gtest.h>
#include <llama.h>

#include <algorithm>
#include <bit>
#include <random>

using namespace cvn;
using namespace cvn::test;

// However fast a model writes, the main thread hears of a streaming reply at
// most once per frame. With a frame longer than the whole reply, only the
// first piece and the finish reach it; the bubble still gets every piece.
TEST(StreamingCost, StreamingReplyWakesTheMainThreadAtMostOncePerFrame)
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
    // 512 tokens: on two cores shared with other suites' llama.cpp threads
    // this can take far longer than a short reply's wait.
    ASSERT_TRUE(finishes(reply, 180000));

    // The model never ends on its own: the reply runs to the session's limit,
    // one " A" or " B" piece per token.
    const int64_t tokens = LlamaSession::replyTokenLimit(session.loadedContextSize());
    ASSERT_EQ(tokens, 512);
    EXPECT_EQ(session.turns().last().content, QStringLiteral(" A B").repeated(int(tokens / 2)));
    EXPECT_TRUE(session.turns().last().state.isComplete());
    // The first piece, what waited behind it, and the finish.
    EXPECT_LE(deliveries, 3);
}

// The engine's repeat penalty gives llama.cpp's logits bit for bit, whatever
// the window, the candidates' layout or the sign of a logit.
TEST(StreamingCost, RepeatPenaltyMatchesLlamaCppExactly)
{
    struct Case {
        int32_t lastN;
        float repeat;
        bool shuffled; // candidates not laid out by token id
    };
    constexpr int32_t kVocab = 500;
    for (const Case& c : {Case{64, 1.1f, false}, Case{64, 1.1f, true}, Case{1, 1.3f, false}, Case{7, 0.9f, true}}) {
        SCOPED_TRACE(::testing::Message() << "lastN " << c.lastN << " repeat " << c.repeat << " shuffled "
                                          << c.shuffled);
        llama_sampler* ours = newRepeatPenaltySampler(c.lastN, c.repeat);
        llama_sampler* theirs = llama_sampler_init_penalties(kVocab, c.lastN, c.repeat, 0.0f, 0.0f);
        ASSERT_NE(ours, nullptr);
        std::mt19937 random(uint32_t(c.lastN));
        std::uniform_real_distribution<float> logit(-8.0f, 8.0f);
        for (int step = 0; step < 300; ++step) {
            std::vector<llama_token_data> candidates;
            for (llama_token id = 0; id < kVocab; ++id)
                candidates.push_back({id, id % 50 == 0 ? 0.0f : logit(random), 0.0f});
            if (c.shuffled)
                std::shuffle(candidates.begin(), candidates.end(), random);
            std::vector<llama_token_data> expected = candidates;
            llama_token_data_array mine{candidates.data(), candidates.size(), -1, true};
            llama_token_data_array reference{expected.data(), expected.size(), -1, true};
            llama_sampler_apply(ours, &mine);
            llama_sampler_apply(theirs, &reference);
            ASSERT_FALSE(mine.sorted);
            for (size_t i = 0; i < candidates.size(); ++i) {
                ASSERT_EQ(candidates[i].id, expected[i].id);
                ASSERT_EQ(std::bit_cast<uint32_t>(candidates[i].logit), std::bit_cast<uint32_t>(expected[i].logit))
                    << "token " << candidates[i].id << " at step " << step;
            }
            // Repeats from a few tokens, so counts climb and fall in the window.
            const llama_token next = step % 3 ? llama_token(random() % 12) : llama_token(random() % kVocab);
            llama_sampler_accept(ours, next);
            llama_sampler_accept(theirs, next);
        }
        llama_sampler_free(ours);
        llama_sampler_free(theirs);
    }
    // What would change nothing is left out of the chain, as llama.cpp leaves it.
    EXPECT_EQ(newRepeatPenaltySampler(0, 1.1f), nullptr);
    EXPECT_EQ(newRepeatPenaltySampler(64, 1.0f), nullptr);
}

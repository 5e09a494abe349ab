#include "engine/StateShape.h"

#include "TestModels.h"

#include <llama.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace cvn;

namespace {

// The state llama.cpp writes for `count` tokens decoded on the random model.
std::vector<uint8_t> realState(int count)
{
    llama_backend_init();
    llama_model_params modelParams = llama_model_default_params();
    modelParams.n_gpu_layers = 0;
    llama_model* model = llama_model_load_from_file(test::randomModel().toStdString().c_str(), modelParams);
    EXPECT_TRUE(model);
    llama_context_params params = llama_context_default_params();
    params.n_ctx = 64;
    llama_context* context = llama_init_from_model(model, params);
    std::vector<llama_token> tokens;
    for (int i = 0; i < count; ++i)
        tokens.push_back(100 + i);
    EXPECT_EQ(llama_decode(context, llama_batch_get_one(tokens.data(), int32_t(tokens.size()))), 0);
    std::vector<uint8_t> state(llama_state_seq_get_size(context, 0));
    EXPECT_EQ(llama_state_seq_get_data(context, state.data(), state.size(), 0), state.size());
    EXPECT_EQ(StateShape::of(model).attentionParts, 1);
    llama_free(context);
    llama_model_free(model);
    return state;
}

void put(std::vector<uint8_t>& bytes, size_t at, uint32_t value)
{
    std::memcpy(bytes.data() + at, &value, sizeof value);
}

// After the magic and the sequence: one attention part.
constexpr size_t kPartAt = 8;
constexpr size_t kCellsAt = 12;
constexpr size_t kMetaAt = 16;
constexpr size_t kCell = 12; // position, sequence count, sequence

bool walks(const std::vector<uint8_t>& state, const StateShape& shape, uint32_t tokens)
{
    return stateHasShape(state.data(), state.size(), shape, tokens);
}

} // namespace

TEST(StateShapeTest, ARealStateWalksAndNothingElseOfItsBytesDoes)
{
    const std::vector<uint8_t> state = realState(9);
    const StateShape plain;
    EXPECT_TRUE(walks(state, plain, 9));
    EXPECT_FALSE(walks(state, plain, 8));
    EXPECT_FALSE(walks(state, plain, 10));

    std::vector<uint8_t> longer = state;
    longer.push_back(0);
    EXPECT_FALSE(walks(longer, plain, 9));
    EXPECT_FALSE(walks(std::vector<uint8_t>(state.begin(), state.end() - 1), plain, 9));

    std::vector<uint8_t> tampered = state;
    put(tampered, kCellsAt, 0x7fffffff);
    EXPECT_FALSE(walks(tampered, plain, 9));
    tampered = state;
    put(tampered, kMetaAt + 3 * kCell + 4, 2); // a cell of two sequences
    EXPECT_FALSE(walks(tampered, plain, 9));
    tampered = state;
    put(tampered, kMetaAt + 9 * kCell + 8 + 4, 0x7fffffff); // the first layer's key row size
    EXPECT_FALSE(walks(tampered, plain, 9));

    StateShape latent;
    latent.keysHoldValues = true;
    EXPECT_FALSE(walks(state, latent, 9));
    StateShape extra;
    extra.cellExtra = StateShape::CellExtra::always;
    EXPECT_FALSE(walks(state, extra, 9));
    extra.cellExtra = StateShape::CellExtra::unknown;
    EXPECT_TRUE(walks(state, extra, 9));
}

// A sliding window's part follows the base's, with up to as many cells; a
// hybrid model's recurrent part comes last, with at most one.
TEST(StateShapeTest, EveryLaterPartIsWalkedBeforeItIsRead)
{
    const std::vector<uint8_t> base = realState(9);
    const std::vector<uint8_t> window = realState(4);
    std::vector<uint8_t> state = base;
    state.insert(state.end(), window.begin() + kPartAt, window.end());
    const size_t windowAt = base.size();

    StateShape swa;
    swa.attentionParts = 2;
    EXPECT_TRUE(walks(state, swa, 9));
    EXPECT_FALSE(walks(state, StateShape{}, 9));
    EXPECT_FALSE(walks(base, swa, 9));

    std::vector<uint8_t> tampered = state;
    put(tampered, windowAt + 4, 0x7fffffff);
    EXPECT_FALSE(walks(tampered, swa, 9));
    tampered = state;
    put(tampered, windowAt, 2); // two streams
    EXPECT_FALSE(walks(tampered, swa, 9));
    tampered = state;
    put(tampered, windowAt + 8 + 4 * kCell + 8 + 4, 0x7fffffff);
    EXPECT_FALSE(walks(tampered, swa, 9));

    // One recurrent cell: its position, no sequences; then two layers of a
    // 16-byte row each for two kinds of state.
    std::vector<uint32_t> recurrent = {1, 8, 0, 0, 2};
    for (int i = 0; i < 4; ++i)
        recurrent.insert(recurrent.end(), {0, 16, 0, 0, 0, 0, 0});
    std::vector<uint8_t> hybrid = base;
    const size_t recurrentAt = hybrid.size();
    const auto* words = reinterpret_cast<const uint8_t*>(recurrent.data());
    hybrid.insert(hybrid.end(), words, words + recurrent.size() * 4);
    StateShape withRecurrent;
    withRecurrent.recurrent = true;
    EXPECT_TRUE(walks(hybrid, withRecurrent, 9));
    EXPECT_FALSE(walks(hybrid, StateShape{}, 9));
    tampered = hybrid;
    put(tampered, recurrentAt, 0x7fffffff);
    EXPECT_FALSE(walks(tampered, withRecurrent, 9));
    tampered = hybrid;
    put(tampered, recurrentAt + 8, 1); // a sequence named in the cell
    EXPECT_FALSE(walks(tampered, withRecurrent, 9));
}

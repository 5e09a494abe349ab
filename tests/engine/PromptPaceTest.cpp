// The size of a GPU's prompt slices, against a device whose decode costs a
// fixed time plus a time per token.

#include "engine/PromptPace.h"

#include <gtest/gtest.h>

namespace cvn {
namespace {

constexpr int64_t kBatch = 8192;

struct Device {
    double overhead = 0, perToken = 0;
    double seconds(int64_t tokens) const { return overhead + perToken * double(tokens); }
    double speed(int64_t tokens) const { return double(tokens) / seconds(tokens); }

    // The slice the pace asks for once it has measured a reply's token and
    // a few slices.
    int64_t settledSlice() const
    {
        PromptPace pace;
        pace.record(1, seconds(1));
        for (int i = 0; i < 4; ++i) {
            const int64_t slice = pace.next(kBatch);
            pace.record(slice, seconds(slice));
        }
        return pace.next(kBatch);
    }
};

TEST(PromptPace, ASliceTakesAQuarterSecondAtTheMeasuredSpeed)
{
    const Device device{0.01, 0.0002};
    EXPECT_NEAR(device.seconds(device.settledSlice()), PromptPace::kSliceSeconds, 0.001);
}

TEST(PromptPace, ADecodeThatCostsMuchOfItselfKeepsThePromptSpeed)
{
    const Device device{0.2, 0.0001};
    const int64_t slice = device.settledSlice();
    EXPECT_GT(device.seconds(slice), PromptPace::kSliceSeconds);
    EXPECT_GE(device.speed(slice), PromptPace::kKeptSpeed * device.speed(kBatch) * 0.999);
    EXPECT_LT(slice, kBatch);
}

} // namespace
} // namespace cvn

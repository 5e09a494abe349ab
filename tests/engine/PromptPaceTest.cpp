// The size of a GPU's prompt slices, against a device whose decode costs a
// fixed time plus a time per token.

#include "engine/PromptPace.h"

#include <gtest/gtest.h>

#include <utility>

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
    const Device device{0.005, 0.0002};
    const int64_t slice = device.settledSlice();
    EXPECT_NEAR(device.seconds(slice), PromptPace::kSliceSeconds, PromptPace::kStep * device.perToken);
}

TEST(PromptPace, ADecodeThatCostsMuchOfItselfKeepsThePromptSpeed)
{
    const Device device{0.2, 0.0001};
    const int64_t slice = device.settledSlice();
    EXPECT_GT(device.seconds(slice), PromptPace::kSliceSeconds);
    EXPECT_GE(device.speed(slice), PromptPace::kKeptSpeed * device.speed(kBatch) * 0.999);
    EXPECT_LT(slice, kBatch);
}

// A software device (lavapipe) under load: a decode costs a tenth of a
// second of its own, and a batch of a new shape waits a minute for its
// kernels to be built. The slices stay whole steps, so that few shapes are
// ever built, and come back to the device's own pace.
TEST(PromptPace, AKernelBuildNeitherMakesNewShapesNorSetsThePace)
{
    const Device device{0.1, 0.012};
    PromptPace settled, built;
    settled.record(1, device.seconds(1));
    built.record(1, device.seconds(1));
    bool first = true;
    for (int i = 0; i < 12; ++i) {
        const int64_t a = settled.next(512), b = built.next(512);
        EXPECT_EQ(a % PromptPace::kStep, 0) << a;
        EXPECT_EQ(b % PromptPace::kStep, 0) << b;
        settled.record(a, device.seconds(a));
        built.record(b, device.seconds(b) + (std::exchange(first, false) ? 60 : 0));
    }
    EXPECT_EQ(built.next(512), settled.next(512));
    EXPECT_GE(device.speed(settled.next(512)), PromptPace::kKeptSpeed * device.speed(512) * 0.999);
    // Once settled, a build's wait does not throw the pace back to the least
    // slice.
    const int64_t slice = built.next(512);
    built.record(slice, device.seconds(slice) + 60);
    EXPECT_GE(built.next(512), slice / 2);
}

// lavapipe as measured: a reply's one-token decode takes 38 ms, but a batch
// costs 0.12 s of its own, its kernels' dispatches, and 1.9 ms a token. The
// one-token cost would have the slices pay that 0.12 s too often.
TEST(PromptPace, ABatchThatCostsMoreOfItselfThanAReplyTokenKeepsThePromptSpeed)
{
    const Device device{0.12, 0.0019};
    PromptPace pace;
    pace.record(1, 0.038);
    for (int i = 0; i < 8; ++i) {
        const int64_t slice = pace.next(512);
        pace.record(slice, device.seconds(slice));
    }
    EXPECT_GE(device.speed(pace.next(512)), PromptPace::kKeptSpeed * device.speed(512) * 0.999);
    EXPECT_LT(pace.next(512), 512);
}

// A prompt's tail, or a slice cut short where an image begins, has a size
// of its own whose only use may wait for the device's kernels: the pace's
// own sizes, which repeat, stay the measure.
TEST(PromptPace, ASizeOfItsOwnDoesNotMoveThePace)
{
    const Device device{0.12, 0.0019};
    PromptPace pace;
    pace.record(1, 0.038);
    for (int i = 0; i < 8; ++i) {
        const int64_t slice = pace.next(2048, 512);
        pace.record(slice, device.seconds(slice));
    }
    const int64_t settled = pace.next(2048, 512);
    for (const int64_t odd : {258, 97, 130})
        pace.record(odd, device.seconds(odd) + 5);
    EXPECT_EQ(pace.next(2048, 512), settled);
}

} // namespace
} // namespace cvn

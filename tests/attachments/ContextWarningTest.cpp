#include "models/ContextWarning.h"

#include <gtest/gtest.h>

using namespace cvn;

TEST(ContextWarning, OverflowIsAPercentOfTheContextRoundedHalfAwayFromZero)
{
    EXPECT_EQ((ContextWarning{8192, 8744, 500}.overflowPercent()), 16); // 15.97
    EXPECT_EQ((ContextWarning{0, 7000, 500}.overflowPercent()), 0);
    EXPECT_EQ((ContextWarning{-5, 7000, 500}.overflowPercent()), 0);
    // Fits: negative.
    EXPECT_EQ((ContextWarning{8192, 2744, 0}.overflowPercent()), -63); // -5192/8192 = -63.4
    // Exactly half a percent, both signs.
    EXPECT_EQ((ContextWarning{2200, 1945, 0}.overflowPercent()), 0); // 1/2200 = 0.045
    EXPECT_EQ((ContextWarning{4000, 3744, 20}.overflowPercent()), 1); // 20/4000 = 0.5
    EXPECT_EQ((ContextWarning{4000, 3724, 0}.overflowPercent()), -1); // -20/4000 = -0.5
    EXPECT_EQ((ContextWarning{8192, 7000, 500}), (ContextWarning{8192, 7000, 500}));
    EXPECT_NE((ContextWarning{8192, 7000, 500}), (ContextWarning{8192, 7000, 501}));
}

// Only what the reply's prompt would cut overruns: the reserve is the
// prompt's own, so a small manual context still takes a short message.
TEST(ContextWarning, TheReserveIsTheOneTheReplysPromptKeeps)
{
    EXPECT_EQ(ContextWarning::replyReserve, 256);
    EXPECT_LT((ContextWarning{1024, 0, 100}.overflowPercent()), 0); // (100 - 768) / 1024
    EXPECT_EQ((ContextWarning{1024, 0, 769}.overflowPercent()), 0); // 1/1024, yet past the budget
}

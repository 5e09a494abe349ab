#include "models/ContextWarning.h"

#include <gtest/gtest.h>

using namespace cvn;

TEST(ContextWarning, OverflowIsAPercentOfTheContextRoundedHalfAwayFromZero)
{
    EXPECT_EQ((ContextWarning{8192, 7000, 500}.overflowPercent()), 16); // 15.97
    EXPECT_EQ((ContextWarning{0, 7000, 500}.overflowPercent()), 0);
    EXPECT_EQ((ContextWarning{-5, 7000, 500}.overflowPercent()), 0);
    // Fits: negative.
    EXPECT_EQ((ContextWarning{8192, 1000, 0}.overflowPercent()), -63); // -5192/8192 = -63.4
    // Exactly half a percent, both signs.
    EXPECT_EQ((ContextWarning{2200, 201, 0}.overflowPercent()), 0); // 1/2200 = 0.045
    EXPECT_EQ((ContextWarning{4000, 2000, 20}.overflowPercent()), 1); // 20/4000 = 0.5
    EXPECT_EQ((ContextWarning{4000, 1980, 0}.overflowPercent()), -1); // -20/4000 = -0.5
    EXPECT_EQ((ContextWarning{8192, 7000, 500}), (ContextWarning{8192, 7000, 500}));
    EXPECT_NE((ContextWarning{8192, 7000, 500}), (ContextWarning{8192, 7000, 501}));
}

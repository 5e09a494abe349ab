#include "platform/NumberFormat.h"

#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <limits>
#include <locale.h>

using namespace cvn;

namespace {

// printf's own text in the C locale, the reference.
QString cPrintf(double value, int decimals)
{
    const locale_t c = newlocale(LC_ALL_MASK, "C", nullptr);
    const locale_t previous = uselocale(c);
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    uselocale(previous);
    freelocale(c);
    return QString::fromLatin1(buffer);
}

} // namespace

TEST(NumberFormat, MatchesCPrintfOnTiesAndEdges)
{
    // Texts that follow from the definition alone: exact binary ties go to
    // the even digit, near-ties go the way their binary value lies.
    EXPECT_EQ(formatFixed(1.25, 1), "1.2");
    EXPECT_EQ(formatFixed(1.35, 1), "1.4"); // 1.350000000000000088...
    EXPECT_EQ(formatFixed(0.05, 1), "0.1"); // 0.05000000000000000277...
    EXPECT_EQ(formatFixed(2.5, 0), "2");
    EXPECT_EQ(formatFixed(3.5, 0), "4");
    EXPECT_EQ(formatFixed(0.125, 2), "0.12");
    EXPECT_EQ(formatFixed(1e6, 1), "1000000.0");

    const double inf = std::numeric_limits<double>::infinity();
    const double values[] = {0.0, -0.0, 0.05, 0.15, 0.25, 0.35, 0.45, 0.5, 1.5, 1.25, 2.5, 2.675, 0.375,
                             -0.04, -0.05, -1.25, -2.5, 9.95, 99.95, 1023.95, 1e6, 123456789.125, 1e21,
                             1e300, -1e300, std::numeric_limits<double>::max(),
                             std::numeric_limits<double>::denorm_min(), 5e-7, inf, -inf};
    for (const double value : values) {
        for (const int decimals : {0, 1, 2, 3, 17})
            EXPECT_EQ(formatFixed(value, decimals), cPrintf(value, decimals)) << value << " with " << decimals;
    }
    EXPECT_EQ(formatFixed(std::nan(""), 1), cPrintf(std::nan(""), 1));

    // Every multiple of 1/1024 up to 64 is exact in binary, and many are
    // ties at one, two or three decimals; random doubles of all sizes after.
    for (int k = 0; k < 64 * 1024; ++k) {
        for (const int decimals : {0, 1, 2, 3})
            ASSERT_EQ(formatFixed(k / 1024.0, decimals), cPrintf(k / 1024.0, decimals)) << k << "/1024";
    }
    QRandomGenerator random(7);
    for (int i = 0; i < 20000; ++i) {
        const double value = std::ldexp(random.generateDouble() - 0.5, int(random.bounded(-30, 60)));
        ASSERT_EQ(formatFixed(value, 1), cPrintf(value, 1)) << value;
    }
}

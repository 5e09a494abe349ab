#include "models/NumberText.h"

#include "platform/NumberFormat.h"

#include <cmath>

namespace cvn {

QString formatTokenCount(int64_t n)
{
    if (n < 1000)
        return QString::number(n);
    return formatFixed(std::nearbyint(double(n) / 1024.0), 0) + QLatin1Char('K');
}

QString formatOneDecimal(double x)
{
    double r = std::nearbyint(x * 10.0) / 10.0;
    if (r != std::floor(r))
        return formatFixed(r, 1);
    // Digits rather than a cast to an integer, which is undefined for huge
    // values; adding 0.0 turns -0.0 into 0.0.
    return formatFixed(r + 0.0, 0);
}

QString parameterSizeLabel(double billions)
{
    if (!(billions > 0) || !std::isfinite(billions))
        return {};
    if (billions < 0.7)
        return formatOneDecimal(billions) + QLatin1Char('B');
    struct Bound {
        double below;
        const char* label;
    };
    static constexpr Bound bounds[] = {
        {1.5, "1B"}, {2.6, "2B"}, {3.6, "3B"}, {5.6, "5B"}, {8.6, "7B"}, {11, "9B"},
        {15, "13B"}, {24, "20B"}, {35, "30B"}, {50, "40B"}, {80, "70B"}, {120, "100B"},
    };
    for (const Bound& bound : bounds) {
        if (billions < bound.below)
            return QString::fromLatin1(bound.label);
    }
    return formatFixed(std::nearbyint(billions), 0) + QLatin1Char('B');
}

QString formatGroupedNumber(int64_t n)
{
    // The magnitude as unsigned: negating INT64_MIN would overflow.
    uint64_t magnitude = n < 0 ? 0 - uint64_t(n) : uint64_t(n);
    QString digits = QString::number(magnitude);
    for (qsizetype at = digits.size() - 3; at > 0; at -= 3)
        digits.insert(at, QLatin1Char(','));
    if (n < 0)
        digits.prepend(QLatin1Char('-'));
    return digits;
}

} // namespace cvn

#include "platform/NumberFormat.h"

#include <algorithm>
#include <charconv>

namespace cvn {

QString formatFixed(double value, int decimals)
{
    decimals = std::clamp(decimals, 0, 100);
    // The longest text: a sign, the 309 digits of the largest double, the
    // point and the decimals.
    char buffer[1 + 309 + 1 + 100];
    // to_chars with a precision is specified as printf in the C locale.
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    return QString::fromLatin1(buffer, result.ptr - buffer);
}

} // namespace cvn

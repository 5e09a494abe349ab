#pragma once

#include <QString>

#include <cstdint>

// Number texts shared by the model screens, the hardware summary, the copier
// and the attachment dialogs. Rounding is to nearest with halves to even
// unless said otherwise.
namespace cvn {

// "999" below 1000, else n / 1024 rounded, with "K": 2560 gives "2K",
// 131072 gives "128K". Negative numbers print as they are ("-5").
QString formatTokenCount(int64_t n);

// x to one decimal, the ".0" dropped: 2.25 gives "2.2", 2.96 gives "3",
// 0.04 gives "0" (never "-0").
QString formatOneDecimal(double x);

// A size label for a parameter count in billions: "0.5B", "7B", "150B";
// empty for 0 or less.
QString parameterSizeLabel(double billions);

// The integer with "," between groups of three digits: "-1,234,567".
QString formatGroupedNumber(int64_t n);

} // namespace cvn

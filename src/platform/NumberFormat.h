#pragma once

#include <QString>

namespace cvn {

// printf's "%.Nf" as the C locale writes it, whatever locale the process
// runs in: `value` with `decimals` digits after a "." (none and no "." for 0),
// rounded from its exact binary value with ties to even, so 1.25 gives "1.2"
// and 0.05 (a little above 0.05 in binary) gives "0.1". A minus sign stays on
// values that round to zero ("-0.0"), and NaN and infinities read "nan",
// "-nan", "inf" and "-inf", all as printf writes them. `decimals` is clamped
// to 0..100.
//
// QString::asprintf is not a substitute: it rounds exact ties up ("1.3").
QString formatFixed(double value, int decimals);

} // namespace cvn

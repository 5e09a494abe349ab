#include "models/ContextWarning.h"

#include <cmath>

namespace cvn {

int64_t ContextWarning::overflowPercent() const
{
    if (contextTokens < 1)
        return 0;
    const int64_t overrun = (attachmentTokens + promptTokens) - (contextTokens - replyReserve);
    return int64_t(std::round(double(overrun) * 100.0 / double(contextTokens)));
}

} // namespace cvn

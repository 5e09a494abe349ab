#include "chat/shared/AppSignals.h"

namespace cvn {

AppSignals& AppSignals::instance()
{
    static AppSignals hub;
    return hub;
}

} // namespace cvn

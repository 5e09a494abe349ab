#include "bridge/AppInfo.h"

namespace cvn::AppInfo {

namespace {

QString orFallback(const char* value, const char* fallback)
{
    const QString text = QString::fromUtf8(value);
    return text.isEmpty() ? QString::fromLatin1(fallback) : text;
}

} // namespace

#ifndef CVN_APP_VERSION
#define CVN_APP_VERSION ""
#endif
#ifndef CVN_APP_BUILD
#define CVN_APP_BUILD ""
#endif

QString version()
{
    return orFallback(CVN_APP_VERSION, "1.0.0");
}

QString build()
{
    return orFallback(CVN_APP_BUILD, "1");
}

} // namespace cvn::AppInfo

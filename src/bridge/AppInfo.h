#pragma once

#include <QString>

// The application's version strings, fixed at build time by the project's
// version and build number.
namespace cvn::AppInfo {

QString version(); // "1.0.0" when the build gave none
QString build();   // "1" when the build gave none

} // namespace cvn::AppInfo

#pragma once

#include <QString>

namespace cvn::test {

// Points XDG_DATA_HOME, XDG_CONFIG_HOME and XDG_CACHE_HOME at fresh folders
// inside one temporary directory that lives until the process ends. Called by
// the suites' main() before the Qt application exists.
void isolateUserFolders();

// The temporary root made by isolateUserFolders().
QString tempRoot();

// A new, empty folder below tempRoot() for one test.
QString makeTempFolder(const QString& hint = QStringLiteral("t"));

} // namespace cvn::test

#pragma once

#include <QByteArray>
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

// Sets an environment variable for one scope and restores it (or its
// absence) after, also when a failed check leaves the scope early.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const QByteArray& value);
    ~ScopedEnvironment();

    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    const char* m_name;
    QByteArray m_saved;
    bool m_wasSet;
};

} // namespace cvn::test

#pragma once

// The two lines every start writes before any window exists: one on the
// console and one in the file log, saying which program, which version and
// where it keeps its log.

#include <QString>

#include <optional>

namespace cvn {

inline const QString appId = QStringLiteral("org.corvanthelis.Corvanthelis");

struct LaunchFacts {
    std::optional<QString> bundleId; // "nil" when absent
    qint64 pid = 0;
    QString version;      // the build's raw constants: empty prints "?"
    QString shortVersion;
    QString path;         // the program's folder
    QString home;
    std::optional<QString> logPath; // "nil" when the log has no file
};

// "Corvanthelis: launch, version 1.0.0 (build 1)", from the version strings
// with their fallbacks.
QString launchConsoleLine(const QString& version, const QString& build);

// "launch: bundle=… pid=… version=… short=… path=… home=… log=…": seven
// fields, one blank between them, values as they are.
QString launchLogLine(const LaunchFacts& facts);

// The facts of this process; the version fields are the build's constants
// exactly as compiled in.
LaunchFacts currentLaunchFacts(const QString& rawBuild, const QString& rawShortVersion);

} // namespace cvn

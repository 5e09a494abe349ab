#include "app/Launch.h"

#include "bridge/BridgeLog.h"

#include <QCoreApplication>
#include <QDir>

namespace cvn {

QString launchConsoleLine(const QString& version, const QString& build)
{
    return QStringLiteral("Corvanthelis: launch, version %1 (build %2)").arg(version, build);
}

QString launchLogLine(const LaunchFacts& facts)
{
    const auto orQuestion = [](const QString& value) { return value.isEmpty() ? QStringLiteral("?") : value; };
    return QStringList{
        QStringLiteral("launch: bundle=") + facts.bundleId.value_or(QStringLiteral("nil")),
        QStringLiteral("pid=") + QString::number(facts.pid),
        QStringLiteral("version=") + orQuestion(facts.version),
        QStringLiteral("short=") + orQuestion(facts.shortVersion),
        QStringLiteral("path=") + facts.path,
        QStringLiteral("home=") + facts.home,
        QStringLiteral("log=") + facts.logPath.value_or(QStringLiteral("nil")),
    }.join(QLatin1Char(' '));
}

LaunchFacts currentLaunchFacts(const QString& rawBuild, const QString& rawShortVersion)
{
    LaunchFacts facts;
    facts.bundleId = appId;
    facts.pid = QCoreApplication::applicationPid();
    facts.version = rawBuild;
    facts.shortVersion = rawShortVersion;
    facts.path = QCoreApplication::applicationDirPath();
    facts.home = QDir::homePath();
    facts.logPath = bridgeLogPath();
    return facts;
}

} // namespace cvn

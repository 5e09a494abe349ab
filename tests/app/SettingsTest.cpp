#include "app/Appearance.h"
#include "app/Launch.h"
#include "platform/AppSettings.h"

#include <QApplication>
#include <QSettings>

#include <gtest/gtest.h>

using namespace cvn;

namespace {

const QString modeKey = QString::fromLatin1(AppSettings::appearanceMode);

QStringList storedKeys()
{
    QSettings file(QStringLiteral("Corvanthelis"), QStringLiteral("Corvanthelis"));
    file.sync();
    return file.allKeys();
}

} // namespace

TEST(SettingsDefaults, LiveInMemoryOnlyAndOnceOnlyFlagsReadFalse)
{
    AppSettings::registerDefaults(4);
    EXPECT_EQ(storedAppearanceMode(), AppearanceMode::System);
    EXPECT_FALSE(AppSettings::boolValue(AppSettings::metalOffload));
    EXPECT_EQ(AppSettings::threadCount(4), 2);
    EXPECT_FALSE(AppSettings::boolValue(AppSettings::showRuntimePanel));
    EXPECT_FALSE(AppSettings::boolValue(QStringLiteral("hardware.introShown")));
    EXPECT_FALSE(AppSettings::boolValue(QStringLiteral("council.introShown")));
    for (const char* key : {AppSettings::appearanceMode, AppSettings::metalOffload, AppSettings::threadCountKey,
                            AppSettings::showRuntimePanel})
        EXPECT_FALSE(storedKeys().contains(QString::fromLatin1(key))) << key;
}

TEST(SettingsDefaults, AppearanceModeIsExactText)
{
    const std::vector<std::pair<QVariant, AppearanceMode>> rows = {
        {"dark", AppearanceMode::Dark},     {"light", AppearanceMode::Light}, {"Dark", AppearanceMode::System},
        {"", AppearanceMode::System},       {"system", AppearanceMode::System}, {" dark", AppearanceMode::System},
        {5, AppearanceMode::System},
    };
    for (const auto& [stored, expected] : rows) {
        AppSettings::setValue(modeKey, stored);
        EXPECT_EQ(storedAppearanceMode(), expected) << stored.toString().toStdString();
    }
    AppSettings::remove(modeKey);
    EXPECT_EQ(storedAppearanceMode(), AppearanceMode::System);
}

TEST(SettingsDefaults, AppearanceFollowsEveryWriteOfTheSetting)
{
    AppSettings::registerDefaults(4);
    followAppearanceSetting();
    // Offscreen, the system look is light.
    EXPECT_EQ(Theme::paper(), QColor(0xFFFFFF));

    AppSettings::setValue(modeKey, QStringLiteral("dark"));
    EXPECT_EQ(Theme::paper(), QColor(0x29292A));
    EXPECT_EQ(Theme::ink(), QColor(0xFFFFFF));
    EXPECT_EQ(QApplication::palette().color(QPalette::Window), QColor(0x29292A));

    AppSettings::remove(modeKey);
    EXPECT_EQ(Theme::paper(), QColor(0xFFFFFF));
    EXPECT_EQ(QApplication::palette().color(QPalette::WindowText), QColor(0x29292A));
}

TEST(Launch, LinesNameVersionProcessAndFolders)
{
    EXPECT_EQ(launchConsoleLine("1.0.0", "1"), "Corvanthelis: launch, version 1.0.0 (build 1)");

    LaunchFacts facts{appId, 4242, "1", "1.0.0", "/opt/cvn/bin", "/home/u", "/home/u/.local/share/Corvanthelis/bridge.log"};
    EXPECT_EQ(launchLogLine(facts),
              "launch: bundle=org.corvanthelis.Corvanthelis pid=4242 version=1 short=1.0.0 path=/opt/cvn/bin "
              "home=/home/u log=/home/u/.local/share/Corvanthelis/bridge.log");

    facts = {std::nullopt, 7, "", "", "/b", "/h", std::nullopt};
    EXPECT_EQ(launchLogLine(facts), "launch: bundle=nil pid=7 version=? short=? path=/b home=/h log=nil");

    const LaunchFacts current = currentLaunchFacts("", "1.0.0");
    EXPECT_EQ(current.pid, QCoreApplication::applicationPid());
    EXPECT_EQ(current.path, QCoreApplication::applicationDirPath());
    ASSERT_TRUE(current.logPath);
    EXPECT_TRUE(current.logPath->endsWith("/Corvanthelis/bridge.log"));
    EXPECT_TRUE(launchLogLine(current).contains(" version=? short=1.0.0 "));
}

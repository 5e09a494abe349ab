#include "app/Appearance.h"
#include "app/Launch.h"
#include "platform/AppSettings.h"

#include <QApplication>
#include <QSettings>

#include <gtest/gtest.h>

using namespace cvn;

TEST(SettingsDefaults, LiveInMemoryOnlyAndOnceOnlyFlagsReadFalse)
{
    AppSettings::registerDefaults(4);
    EXPECT_EQ(storedAppearanceMode(), AppearanceMode::System);
    EXPECT_EQ(AppSettings::threadCount(4), 2);
    for (const char* flag : {AppSettings::metalOffload, AppSettings::showRuntimePanel, "hardware.introShown",
                             "council.introShown"})
        EXPECT_FALSE(AppSettings::boolValue(flag)) << flag;
    AppSettings::setValue("other", 1); // the file exists
    EXPECT_EQ(QSettings("Corvanthelis", "Corvanthelis").allKeys(), QStringList{"other"});
}

TEST(SettingsDefaults, AppearanceIsTheExactTextAndFollowsEveryWrite)
{
    const QString mode = QString::fromLatin1(AppSettings::appearanceMode);
    AppSettings::registerDefaults(4);
    followAppearanceSetting();
    EXPECT_EQ(Theme::paper(), QColor(0xFFFFFF)); // offscreen, the system look is light

    for (const auto& [stored, expected] : std::vector<std::pair<QVariant, AppearanceMode>>{
             {"dark", AppearanceMode::Dark}, {"light", AppearanceMode::Light}, {"Dark", AppearanceMode::System},
             {"", AppearanceMode::System}, {" dark", AppearanceMode::System}, {5, AppearanceMode::System}}) {
        AppSettings::setValue(mode, stored);
        EXPECT_EQ(storedAppearanceMode(), expected) << stored.toString().toStdString();
        EXPECT_EQ(Theme::appearanceMode(), expected);
    }
    AppSettings::setValue(mode, "dark");
    EXPECT_EQ(Theme::paper(), QColor(0x29292A));
    EXPECT_EQ(Theme::ink(), QColor(0xFFFFFF));
    EXPECT_EQ(QApplication::palette().color(QPalette::Window), QColor(0x29292A));

    AppSettings::remove(mode);
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
}

#include "platform/AppSettings.h"
#include "platform/MainThread.h"
#include "platform/SettingsNotifier.h"
#include "support/Wait.h"

#include <QFile>
#include <QSettings>

#include <algorithm>
#include <thread>

#include <gtest/gtest.h>

using namespace cvn;

namespace {

const QString kThreads = QString::fromLatin1(AppSettings::threadCountKey);

} // namespace

TEST(AppSettings, ThreadCount)
{
    AppSettings::remove(kThreads);
    EXPECT_EQ(AppSettings::threadCount(8), 2);
    EXPECT_EQ(AppSettings::threadCount(1), 1);
    EXPECT_EQ(AppSettings::threadCount(0), 1);
    for (auto [stored, expected] : {std::pair<QVariant, int>{12, 8}, {3, 3}, {0, 2}, {-3, 2}, {"many", 2}}) {
        AppSettings::setValue(kThreads, stored);
        EXPECT_EQ(AppSettings::threadCount(8), expected) << stored.toString().toStdString();
    }
    AppSettings::setValue(kThreads, 12);
    EXPECT_EQ(AppSettings::threadCount(1), 1);
    // Without an argument the count is bounded by the processors online.
    const int online = int(std::thread::hardware_concurrency());
    EXPECT_EQ(AppSettings::threadCount(), std::min(12, online));
    AppSettings::remove(kThreads);
    EXPECT_EQ(AppSettings::threadCount(), std::min(2, online));
}

TEST(AppSettings, RegisteredDefaultsAnswerForUnwrittenKeys)
{
    const QString offload = QString::fromLatin1(AppSettings::metalOffload);
    AppSettings::remove(offload);
    EXPECT_FALSE(AppSettings::boolValue(offload));
    EXPECT_FALSE(AppSettings::boolValue("no.such.key"));

    AppSettings::registerDefaults(1);
    EXPECT_EQ(AppSettings::value(AppSettings::appearanceMode).toString(), "system");
    EXPECT_EQ(AppSettings::value(kThreads).toInt(), 1);
    EXPECT_FALSE(AppSettings::boolValue(offload));
    EXPECT_FALSE(AppSettings::boolValue(AppSettings::showRuntimePanel));
    AppSettings::registerDefaults(8);
    EXPECT_EQ(AppSettings::value(kThreads).toInt(), 2);
    EXPECT_EQ(AppSettings::threadCount(8), 2);

    // A written value wins over the default, survives a fresh store, and the
    // default answers again once it is removed.
    AppSettings::setValue(offload, true);
    EXPECT_TRUE(AppSettings::boolValue(offload));
    AppSettings::setValue(AppSettings::appearanceMode, "dark");
    EXPECT_EQ(AppSettings::value(AppSettings::appearanceMode).toString(), "dark");
    AppSettings::remove(offload);
    AppSettings::remove(AppSettings::appearanceMode);
    EXPECT_FALSE(AppSettings::boolValue(offload));
    EXPECT_EQ(AppSettings::value(AppSettings::appearanceMode).toString(), "system");
}

TEST(AppSettings, EveryWriteIsAnnouncedOnTheMainThread)
{
    QStringList keys;
    QList<bool> onMain;
    const auto connection = QObject::connect(&SettingsNotifier::instance(), &SettingsNotifier::changed,
                                             [&](const QString& key) {
                                                 keys << key;
                                                 onMain << isMainThread();
                                             });
    AppSettings::setValue(AppSettings::appearanceMode, "dark");
    AppSettings::remove(AppSettings::appearanceMode);
    EXPECT_EQ(keys, QStringList({AppSettings::appearanceMode, AppSettings::appearanceMode}));

    std::thread([] { AppSettings::setValue(AppSettings::showRuntimePanel, true); }).join();
    EXPECT_TRUE(test::waitUntil([&] { return keys.size() == 3; }));
    EXPECT_EQ(keys.value(2), QString::fromLatin1(AppSettings::showRuntimePanel));
    EXPECT_EQ(onMain, QList<bool>({true, true, true}));
    QObject::disconnect(connection);
    AppSettings::remove(AppSettings::showRuntimePanel);
}

// The file holds the local server's key: only its owner may read it, whether
// a write makes it or finds it open to others, as older versions left it.
TEST(AppSettings, TheFileIsForItsOwnerOnly)
{
    const QString key = QString::fromLatin1(AppSettings::localServerApiKey);
    const QString file = QSettings(QStringLiteral("Corvanthelis"), QStringLiteral("Corvanthelis")).fileName();
    const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ReadOther
                                            | QFileDevice::WriteOther;
    QFile::remove(file);
    AppSettings::setValue(key, QStringLiteral("sekrit"));
    ASSERT_TRUE(QFile::exists(file));
    EXPECT_FALSE(QFile::permissions(file) & others);
    QFile::setPermissions(file, QFile::permissions(file) | QFileDevice::ReadGroup | QFileDevice::ReadOther);
    AppSettings::setValue(key, QStringLiteral("other"));
    EXPECT_FALSE(QFile::permissions(file) & others);
    AppSettings::remove(key);
}

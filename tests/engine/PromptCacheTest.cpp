#include "engine/LlamaSession.h"
#include "engine/PromptCache.h"

#include "TestModels.h"
#include "platform/AppSettings.h"
#include "support/TempEnv.h"
#include "support/Wait.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <gtest/gtest.h>

using namespace cvn;
using namespace cvn::test;

namespace {

constexpr int64_t kMiB = 1024 * 1024;

// Budgets set for one test and removed after it.
struct Budgets {
    Budgets(qlonglong memoryMb, qlonglong diskMb)
    {
        AppSettings::setValue(QString::fromLatin1(AppSettings::promptCacheMemoryMb), memoryMb);
        AppSettings::setValue(QString::fromLatin1(AppSettings::promptCacheDiskMb), diskMb);
    }
    ~Budgets()
    {
        AppSettings::remove(QString::fromLatin1(AppSettings::promptCacheMemoryMb));
        AppSettings::remove(QString::fromLatin1(AppSettings::promptCacheDiskMb));
    }
};

} // namespace

TEST(PromptCacheTest, budgetsFollowTheSettingsAndClearEmptiesTheFolder)
{
    LlamaSession session;
    PromptCache& cache = session.promptCache();
    EXPECT_EQ(cache.folder(), QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation)
                                  + QStringLiteral("/corvanthelis/decoded"));
    EXPECT_TRUE(cache.folder().startsWith(tempRoot())) << "tests keep their cache in their own folder";
    // Unset: the defaults.
    PromptCache::Usage usage = cache.usage();
    EXPECT_EQ(usage.memoryBytes, 0);
    EXPECT_GT(usage.memoryBudgetBytes, 0);
    EXPECT_LE(usage.memoryBudgetBytes, 2048 * kMiB);
    EXPECT_EQ(usage.diskBudgetBytes, 4096 * kMiB);

    int changes = 0;
    QObject::connect(&cache, &PromptCache::usageChanged, [&] { ++changes; });
    {
        Budgets budgets(5, 0);
        ASSERT_TRUE(waitUntil([&] { return cache.usage().memoryBudgetBytes == 5 * kMiB; }));
        EXPECT_EQ(cache.usage().diskBudgetBytes, 0);
        EXPECT_GE(changes, 1);
    }
    ASSERT_TRUE(waitUntil([&] { return cache.usage().diskBudgetBytes == 4096 * kMiB; }));

    // Files of entries (and only they) go with a clear.
    ASSERT_TRUE(QDir().mkpath(cache.folder()));
    QFile entry(cache.folder() + QStringLiteral("/0123.kv"));
    ASSERT_TRUE(entry.open(QIODevice::WriteOnly));
    entry.write("not a state");
    entry.close();
    changes = 0;
    cache.clear();
    cache.store()->flush();
    EXPECT_TRUE(waitUntil([&] { return changes >= 1; }));
    EXPECT_FALSE(QFile::exists(entry.fileName()));
    EXPECT_EQ(cache.usage().diskBytes, 0);
}

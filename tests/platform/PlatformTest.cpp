#include "platform/AppPaths.h"
#include "platform/MainThread.h"
#include "support/TempEnv.h"
#include "support/Wait.h"

#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace cvn;

TEST(AppPaths, DataFolderFollowsXdgDataHomeAndExists)
{
    const QString folder = appDataFolder();
    EXPECT_EQ(folder, QString::fromLocal8Bit(qgetenv("XDG_DATA_HOME")) + QStringLiteral("/Corvanthelis"));
    EXPECT_TRUE(folder.startsWith(cvn::test::tempRoot()));
    EXPECT_TRUE(QFileInfo(folder).isDir());
}

TEST(MainThread, RunOnMainPostsFromWorkerThreadsInOrder)
{
    EXPECT_TRUE(isMainThread());
    std::vector<int> seen;
    std::atomic<bool> allOnMain{true};
    std::thread worker([&] {
        for (int i = 0; i < 50; ++i)
            runOnMain([&, i] {
                allOnMain = allOnMain && isMainThread();
                seen.push_back(i);
            });
    });
    worker.join();
    ASSERT_TRUE(cvn::test::waitUntil([&] { return seen.size() == 50; }));
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(seen[size_t(i)], i);
    EXPECT_TRUE(allOnMain.load());

    std::atomic<bool> ranInBackground{false};
    runInBackground([&] { ranInBackground = !isMainThread(); });
    EXPECT_TRUE(cvn::test::waitUntil([&] { return ranInBackground.load(); }));
}

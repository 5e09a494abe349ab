#include "platform/AppPaths.h"
#include "platform/MainThread.h"
#include "platform/ProcessIdentity.h"
#include "platform/Sockets.h"
#include "support/TempEnv.h"
#include "support/Wait.h"

#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
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

TEST(Sockets, ErrorsAreClassifiedByWhatTheBridgeDoesNext)
{
    using namespace cvn::sockets;
    const struct {
        int error;
        bool interrupted, wouldBlock, addressInUse, outOfDescriptors;
    } cases[] = {
        {EINTR, true, false, false, false},      {EAGAIN, false, true, false, false},
        {EWOULDBLOCK, false, true, false, false}, {EADDRINUSE, false, false, true, false},
        {EMFILE, false, false, false, true},     {ENFILE, false, false, false, true},
        {ENOBUFS, false, false, false, true},    {ENOMEM, false, false, false, true},
        {ECONNRESET, false, false, false, false}, {EPIPE, false, false, false, false},
        {0, false, false, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        EXPECT_EQ(isInterrupted(c.error), c.interrupted);
        EXPECT_EQ(isWouldBlock(c.error), c.wouldBlock);
        EXPECT_EQ(isAddressInUse(c.error), c.addressInUse);
        EXPECT_EQ(isOutOfDescriptors(c.error), c.outOfDescriptors);
    }
    EXPECT_TRUE(isWouldBlock(wouldBlockError()));
    EXPECT_EQ(errnoText(ENOENT), QStringLiteral("errno %1 (No such file or directory)").arg(ENOENT));
}

// A process is known by its id and start: a later one given the same id is
// not it. (The storage tests cover ended processes.)
TEST(ProcessIdentity, IsTheSameProcessOnlyWhileItsIdAndStartMatch)
{
    const ProcessIdentity self = ProcessIdentity::current();
    EXPECT_TRUE(self.runs());
    EXPECT_FALSE((ProcessIdentity{self.pid, self.start + 1}).runs());
    EXPECT_EQ(ProcessIdentity::fromString(self.toString()), self);
    for (const char* text : {"", "12", "12-", "-12-3", "0-5", "12-3-4", "012-3", "12-x"})
        EXPECT_EQ(ProcessIdentity::fromString(QString::fromLatin1(text)), std::nullopt) << text;
}

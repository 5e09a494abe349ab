#include "app/SingleInstance.h"
#include "support/TempEnv.h"
#include "support/Wait.h"

#include <QFile>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

using namespace cvn;

// A later start hands over its URLs, or asks for the window; the real
// program's later start is run end to end.
TEST(SingleInstance, ALaterStartHandsOverItsUrlsOrAShowRequest)
{
    const QString runtime = test::makeTempFolder("run"); // Qt wants no one else able to enter it
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QFile stale(runtime + "/corvanthelis.socket"); // what a killed primary leaves
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    stale.close();
    SingleInstance primary(runtime);
    ASSERT_EQ(primary.claim({}), SingleInstance::Role::Primary);
    primary.acceptHandOvers();
    ASSERT_TRUE(primary.isListening());
    QSignalSpy urls(&primary, &SingleInstance::urlReceived);
    QSignalSpy shows(&primary, &SingleInstance::showRequested);

    const QString url = QStringLiteral("corvanthelis://x?action=view-model&repo=a/b&note=caf\u00E9");
    EXPECT_EQ(SingleInstance(runtime).claim({url, "tromelvask://health"}), SingleInstance::Role::Forwarded);
    ASSERT_TRUE(test::waitUntil([&] { return urls.count() == 2; }));
    EXPECT_EQ(urls[0][0].toString(), url);
    EXPECT_EQ(urls[1][0].toString(), "tromelvask://health");
    EXPECT_EQ(SingleInstance(runtime).claim({}), SingleInstance::Role::Forwarded);
    ASSERT_TRUE(test::waitUntil([&] { return shows.count() == 1; }));

    // A client whose line never ends is cut off; the next one is heard.
    QLocalSocket flood;
    flood.connectToServer(primary.socketPath());
    ASSERT_TRUE(flood.waitForConnected(2000));
    flood.write("url " + QByteArray(SingleInstance::maxLineBytes + 16, 'x'));
    ASSERT_TRUE(test::waitUntil([&] { return flood.state() == QLocalSocket::UnconnectedState; }));
    EXPECT_EQ(SingleInstance(runtime).claim({"corvanthelis://x"}), SingleInstance::Role::Forwarded);
    ASSERT_TRUE(test::waitUntil([&] { return urls.count() == 3; }));
    EXPECT_EQ(urls[2][0].toString(), "corvanthelis://x");
}

// An over-long URL is passed over and the ones after it still arrive; a
// line of exactly the limit is still heard.
TEST(SingleInstance, AnOverLongUrlIsSkippedAndTheRestStillArrive)
{
    const QString runtime = test::makeTempFolder("run");
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    SingleInstance primary(runtime);
    ASSERT_EQ(primary.claim({}), SingleInstance::Role::Primary);
    primary.acceptHandOvers();
    QSignalSpy urls(&primary, &SingleInstance::urlReceived);

    const QString prefix = QStringLiteral("corvanthelis://x?q=");
    const qsizetype room = SingleInstance::maxLineBytes - 4 - prefix.size(); // "url " starts the line
    const QString atLimit = prefix + QString(room, QLatin1Char('a'));
    const QString overLimit = prefix + QString(room + 1, QLatin1Char('b'));
    const QString huge = prefix + QString(4 * SingleInstance::maxLineBytes, QLatin1Char('c'));
    // The later start is another process in life, so it writes while the
    // primary reads; here it needs a thread of its own for that.
    std::atomic<bool> forwarded = false;
    std::unique_ptr<QThread> later(QThread::create([&] {
        forwarded = SingleInstance(runtime).claim({"corvanthelis://first", overLimit, atLimit, huge,
                                                   "tromelvask://last"}) == SingleInstance::Role::Forwarded;
    }));
    later->start();
    ASSERT_TRUE(test::waitUntil([&] { return later->isFinished(); }, 10000));
    EXPECT_TRUE(forwarded);
    ASSERT_TRUE(test::waitUntil([&] { return urls.count() >= 3; }));
    test::waitUntil([] { return false; }, 100); // nothing more comes
    ASSERT_EQ(urls.count(), 3);
    EXPECT_EQ(urls[0][0].toString(), "corvanthelis://first");
    EXPECT_EQ(urls[1][0].toString(), atLimit);
    EXPECT_EQ(urls[2][0].toString(), "tromelvask://last");
}

// A flood of show requests raises the window once, not once per line; a
// later request raises it again.
TEST(SingleInstance, AFloodOfShowRequestsIsFolded)
{
    const QString runtime = test::makeTempFolder("run");
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    SingleInstance primary(runtime);
    ASSERT_EQ(primary.claim({}), SingleInstance::Role::Primary);
    primary.acceptHandOvers();
    QSignalSpy urls(&primary, &SingleInstance::urlReceived);
    QSignalSpy shows(&primary, &SingleInstance::showRequested);

    constexpr int lines = 20000;
    QByteArray flood;
    for (int i = 0; i < lines; ++i)
        flood += "show\n";
    flood += "url corvanthelis://after\n";
    QLocalSocket client;
    client.connectToServer(primary.socketPath());
    ASSERT_TRUE(client.waitForConnected(2000));
    client.write(flood);
    client.flush();
    ASSERT_TRUE(test::waitUntil([&] { return urls.count() == 1; }));
    ASSERT_TRUE(test::waitUntil([&] { return shows.count() >= 1; }));
    test::waitUntil([] { return false; }, 100);
    // The 100 KB come in a few reads at most, each folded into one request.
    EXPECT_LE(shows.count(), 4);

    const int before = shows.count();
    EXPECT_EQ(SingleInstance(runtime).claim({}), SingleInstance::Role::Forwarded);
    ASSERT_TRUE(test::waitUntil([&] { return shows.count() == before + 1; }));
}

// A primary whose window never came up (stuck in a driver, say) takes no
// hand-over and holds no later start back: the later start runs on its own
// and becomes the one that later starts hand over to.
TEST(SingleInstance, AStartWhoseWindowNeverCameUpIsNotHandedTo)
{
    const QString runtime = test::makeTempFolder("run");
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    SingleInstance stuck(runtime);
    ASSERT_EQ(stuck.claim({}), SingleInstance::Role::Primary);
    QSignalSpy stuckShows(&stuck, &SingleInstance::showRequested);

    SingleInstance next(runtime);
    EXPECT_EQ(next.claim({}), SingleInstance::Role::Primary);
    next.acceptHandOvers();
    QSignalSpy shows(&next, &SingleInstance::showRequested);
    EXPECT_EQ(SingleInstance(runtime).claim({}), SingleInstance::Role::Forwarded);
    ASSERT_TRUE(test::waitUntil([&] { return shows.count() == 1; }));
    EXPECT_EQ(stuckShows.count(), 0);
}

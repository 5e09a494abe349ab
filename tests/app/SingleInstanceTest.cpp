#include "app/SingleInstance.h"
#include "support/TempEnv.h"
#include "support/Wait.h"

#include <QFile>
#include <QLocalSocket>
#include <QSignalSpy>

#include <gtest/gtest.h>

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

#include "app/SingleInstance.h"
#include "support/TempEnv.h"
#include "support/Wait.h"

#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>

#include <gtest/gtest.h>

using namespace cvn;

namespace {

// Runs the real program as a later start against `runtime`; its exit code,
// or -1 when it did not end by itself. The primary answers on this thread,
// so the wait spins the event loop.
int secondStart(const QString& runtime, const QStringList& arguments, const QString& data)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("XDG_RUNTIME_DIR", runtime);
    env.insert("XDG_DATA_HOME", data);
    QProcess program;
    program.setProcessEnvironment(env);
    program.start(CVN_APP_PROGRAM, arguments);
    const bool ended = test::waitUntil([&] { return program.state() == QProcess::NotRunning; }, 10000);
    if (!ended)
        program.kill(), program.waitForFinished(5000);
    return ended && program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -1;
}

} // namespace

TEST(SingleInstance, ASecondStartHandsOverItsUrlsOrAShowRequestAndEnds)
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
    const QString data = test::makeTempFolder("data");
    EXPECT_EQ(secondStart(runtime, {url, "tromelvask://health"}, data), 0);
    ASSERT_TRUE(test::waitUntil([&] { return urls.count() == 2; }));
    EXPECT_EQ(urls[0][0].toString(), url);
    EXPECT_EQ(urls[1][0].toString(), "tromelvask://health");
    EXPECT_FALSE(QFile::exists(data + "/Corvanthelis/bridge.log")); // ended before its launch

    EXPECT_EQ(secondStart(runtime, {}, data), 0);
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

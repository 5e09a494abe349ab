#include "app/SingleInstance.h"
#include "support/TempEnv.h"
#include "support/Wait.h"

#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>

#include <gtest/gtest.h>

using namespace cvn;

namespace {

// The real program as a second start, pointed at `runtime` for its socket
// and at empty data and config folders.
struct SecondStart {
    int exitCode = -1;
    bool finished = false;
    QString dataFolder;
};

SecondStart startProgram(const QString& runtime, const QStringList& arguments)
{
    SecondStart result;
    const QString home = test::makeTempFolder("second");
    result.dataFolder = home + "/data";
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("XDG_RUNTIME_DIR", runtime);
    env.insert("XDG_DATA_HOME", result.dataFolder);
    env.insert("XDG_CONFIG_HOME", home + "/config");
    env.insert("HOME", home);
    QProcess program;
    program.setProcessEnvironment(env);
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    program.start(QStringLiteral(CVN_APP_PROGRAM), arguments);
    // The primary answers on this thread's event loop, so wait by spinning it.
    result.finished = test::waitUntil([&] { return program.state() == QProcess::NotRunning; }, 10000);
    if (!result.finished) {
        program.kill();
        program.waitForFinished(5000);
    }
    result.exitCode = program.exitCode();
    return result;
}

} // namespace

TEST(SingleInstance, ASecondStartHandsOverItsUrlsOrAShowRequestAndEnds)
{
    const QString runtime = test::makeTempFolder("run");
    // Qt refuses a runtime folder that others may enter.
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    SingleInstance primary(runtime);
    ASSERT_EQ(primary.claim({}), SingleInstance::Role::Primary);
    ASSERT_TRUE(primary.isListening());
    QSignalSpy urls(&primary, &SingleInstance::urlReceived);
    QSignalSpy shows(&primary, &SingleInstance::showRequested);

    const QString url = QStringLiteral("corvanthelis://x?action=view-model&repo=a/b&note=caf\u00E9");
    const SecondStart withUrl = startProgram(runtime, {url, "tromelvask://health"});
    EXPECT_TRUE(withUrl.finished);
    EXPECT_EQ(withUrl.exitCode, 0);
    ASSERT_TRUE(test::waitUntil([&] { return urls.count() == 2; }));
    EXPECT_EQ(urls[0][0].toString(), url);
    EXPECT_EQ(urls[1][0].toString(), "tromelvask://health");
    // It ended before its launch: no log, no bridge.
    EXPECT_FALSE(QFile::exists(withUrl.dataFolder + "/Corvanthelis/bridge.log"));

    const SecondStart bare = startProgram(runtime, {});
    EXPECT_EQ(bare.exitCode, 0);
    ASSERT_TRUE(test::waitUntil([&] { return shows.count() == 1; }));
    EXPECT_EQ(urls.count(), 2);
}

TEST(SingleInstance, PrimaryDropsOverlongLinesAndReplacesAStaleSocket)
{
    const QString runtime = test::makeTempFolder("run");
    // What a killed primary leaves behind: a socket file nobody answers on.
    QFile stale(runtime + "/corvanthelis.socket");
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    stale.close();

    SingleInstance primary(runtime);
    ASSERT_EQ(primary.claim({}), SingleInstance::Role::Primary);
    ASSERT_TRUE(primary.isListening());
    QSignalSpy urls(&primary, &SingleInstance::urlReceived);

    QLocalSocket flood;
    flood.connectToServer(primary.socketPath());
    ASSERT_TRUE(flood.waitForConnected(2000));
    flood.write("url " + QByteArray(SingleInstance::maxLineBytes + 16, 'x'));
    flood.flush();
    ASSERT_TRUE(test::waitUntil([&] { return flood.state() == QLocalSocket::UnconnectedState; }));

    // A later start in the same process forwards like a second program.
    SingleInstance second(runtime);
    EXPECT_EQ(second.claim({"corvanthelis://x"}), SingleInstance::Role::Forwarded);
    ASSERT_TRUE(test::waitUntil([&] { return urls.count() == 1; }));
    EXPECT_EQ(urls[0][0].toString(), "corvanthelis://x");
}

// The real program under its own Xvfb server, with a temporary home: the
// window, the bridge, a second start handing over a URL, and SIGTERM.
#include "LoopbackClient.h"
#include "support/TempEnv.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QThread>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

using namespace cvn;

namespace {

// Every process this test starts ends with it, also when a check fails.
struct Processes {
    std::vector<std::unique_ptr<QProcess>> all;
    QProcess& add()
    {
        all.push_back(std::make_unique<QProcess>());
        return *all.back();
    }
    ~Processes()
    {
        for (auto it = all.rbegin(); it != all.rend(); ++it) {
            if ((*it)->state() != QProcess::NotRunning) {
                (*it)->kill();
                (*it)->waitForFinished(5000);
            }
        }
    }
};

// Polls `done` every 50 ms for up to `seconds`.
bool within(int seconds, const std::function<bool()>& done)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        QThread::msleep(50);
    }
    return true;
}

QString readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

} // namespace

TEST(EndToEnd, WindowBridgeSecondStartAndSigterm)
{
    Processes processes;

    // A display of our own: Xvfb picks a free number and prints it.
    QProcess& xvfb = processes.add();
    xvfb.start(QStringLiteral("Xvfb"), {"-displayfd", "1", "-screen", "0", "1600x1000x24", "-nolisten", "tcp"});
    ASSERT_TRUE(xvfb.waitForStarted(10000)) << "Xvfb is missing (scripts/bootstrap installs it)";
    ASSERT_TRUE(within(20, [&] {
        xvfb.waitForReadyRead(50);
        return xvfb.canReadLine();
    }));
    const QString display = QStringLiteral(":") + QString::fromLatin1(xvfb.readLine()).trimmed();
    ASSERT_NE(display, ":");

    const QString root = test::makeTempFolder("e2e");
    const QString home = root + "/home";
    const QString data = root + "/data";
    const QString config = root + "/config";
    const QString runtime = root + "/run";
    for (const QString& folder : {home, data, config, runtime})
        QDir().mkpath(folder);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcessEnvironment env;
    env.insert("PATH", qEnvironmentVariable("PATH"));
    env.insert("DISPLAY", display);
    env.insert("HOME", home);
    env.insert("XDG_DATA_HOME", data);
    env.insert("XDG_CONFIG_HOME", config);
    env.insert("XDG_CACHE_HOME", root + "/cache");
    env.insert("XDG_RUNTIME_DIR", runtime);
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.insert("LANG", "C.UTF-8");

    QProcess& app = processes.add();
    app.setProcessEnvironment(env);
    app.start(QStringLiteral(CVN_APP_PROGRAM), {});
    ASSERT_TRUE(app.waitForStarted(10000));
    const qint64 pid = app.processId();
    QByteArray console;
    const auto readConsole = [&] {
        app.waitForReadyRead(50);
        console += app.readAllStandardError();
        return console;
    };

    // The bridge takes the first free port of 47821-47823.
    const QString logPath = data + "/Corvanthelis/bridge.log";
    const QRegularExpression listening(QStringLiteral("\\] listening on port (\\d+)\n"));
    QRegularExpressionMatch bound;
    ASSERT_TRUE(within(20, [&] {
        const QString log = readFile(logPath);
        bound = listening.match(log);
        return bound.hasMatch() || log.contains("no port could be bound");
    })) << readConsole().toStdString();
    ASSERT_TRUE(bound.hasMatch()) << "ports 47821-47823 are all held by other programs";
    const uint16_t port = uint16_t(bound.captured(1).toUInt());

    // The window, as the X server sees it.
    const QRegularExpression windowLine(QStringLiteral("\"Corvanthelis\": \\(\"corvanthelis\" \"Corvanthelis\"\\)\\s+(\\d+x\\d+)"));
    QString size;
    ASSERT_TRUE(within(20, [&] {
        QProcess tree;
        tree.start("xwininfo", {"-display", display, "-root", "-tree"});
        tree.waitForFinished(5000);
        const QRegularExpressionMatch m = windowLine.match(QString::fromUtf8(tree.readAllStandardOutput()));
        size = m.captured(1);
        return m.hasMatch();
    }));
    EXPECT_EQ(size, "1280x800");

    const test::Received health = test::exchange(port, "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_TRUE(health.bytes.startsWith("HTTP/1.1 200")) << health.bytes.toStdString();
    EXPECT_TRUE(health.bytes.contains("\"ok\":true"));

    // A second start hands its URL over and ends.
    QProcess& second = processes.add();
    second.setProcessEnvironment(env);
    const QString url = QStringLiteral("corvanthelis://x?action=view-model&repo=a/b");
    second.start(QStringLiteral(CVN_APP_PROGRAM), {url});
    ASSERT_TRUE(second.waitForFinished(15000));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_TRUE(within(10, [&] { return readConsole().contains("protocol: view-model: repo=a/b\n"); }));
    EXPECT_TRUE(console.contains("protocol: activated: " + url.toUtf8() + "\n"));
    EXPECT_TRUE(console.startsWith("Corvanthelis: launch, version 1.0.0 (build 1)\n")) << console.toStdString();

    // SIGTERM ends it as Quit does: status 0, the port closed.
    app.terminate();
    ASSERT_TRUE(app.waitForFinished(15000));
    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app.exitCode(), 0);
    EXPECT_EQ(test::connectLoopback(port), -1);

    const QString log = readFile(logPath);
    const QRegularExpression launchLine(QStringLiteral("^\\[\\d{4}-\\d\\d-\\d\\dT[^\\]]+\\] launch: bundle=org\\.corvanthelis\\.Corvanthelis pid=%1 version=1 short=1\\.0\\.0 path=%2 home=%3 log=%4\n")
                                            .arg(pid)
                                            .arg(QRegularExpression::escape(QFileInfo(QStringLiteral(CVN_APP_PROGRAM)).absolutePath()),
                                                 QRegularExpression::escape(home), QRegularExpression::escape(logPath)));
    EXPECT_TRUE(launchLine.match(log).hasMatch()) << log.left(400).toStdString();
    EXPECT_EQ(log.count("] start() called\n"), 2);
    EXPECT_EQ(log.count("] listening on port"), 1);
    EXPECT_EQ(log.count("] applicationDidFinishLaunching: calling start()\n"), 1);
    EXPECT_EQ(log.count("] RootView.onAppear: requesting start()\n"), 1);

    // Registered defaults never reach the file; the frame does.
    QSettings stored(config + "/Corvanthelis/Corvanthelis.conf", QSettings::IniFormat);
    for (const char* key : {"appearance.mode", "hardware.metalOffload", "hardware.threadCount", "debug.showRuntimePanel"})
        EXPECT_FALSE(stored.contains(key)) << key;
    EXPECT_TRUE(stored.contains("CorvanthelisMainWindow"));
}

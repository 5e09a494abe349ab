// The real program under an Xvfb server of its own, with a temporary home:
// the window, the bridge, a second start handing over a URL, and SIGTERM.
#include "LoopbackClient.h"
#include "support/TempEnv.h"
#include "support/Wait.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>

#include <gtest/gtest.h>

using namespace cvn;

namespace {

// Every process the test starts ends with it, also when a check fails.
struct Processes : std::vector<std::unique_ptr<QProcess>> {
    QProcess& add() { return *emplace_back(std::make_unique<QProcess>()); }
    ~Processes()
    {
        for (auto it = rbegin(); it != rend(); ++it) {
            (*it)->terminate(); // lets Xvfb remove its lock and socket
            if (!(*it)->waitForFinished(5000))
                (*it)->kill(), (*it)->waitForFinished(5000);
        }
    }
};

QString readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// An X server of its own, on a free display; empty when none started.
QString startXvfb(Processes& processes)
{
    QProcess& xvfb = processes.add(); // picks a free display and prints it
    xvfb.start("Xvfb", {"-displayfd", "1", "-screen", "0", "1600x1000x24", "-nolisten", "tcp"});
    if (!xvfb.waitForStarted(10000) || !test::waitUntil([&] { return xvfb.canReadLine(); }, 20000))
        return {};
    return ":" + QString::fromLatin1(xvfb.readLine()).trimmed();
}

// A temporary home below `root` on `display`, and nothing else of ours.
QProcessEnvironment appEnvironment(const QString& display, const QString& root)
{
    const QString home = root + "/home", data = root + "/data", config = root + "/config", run = root + "/run";
    for (const QString& folder : {home, data, config, run})
        QDir().mkpath(folder);
    QFile::setPermissions(run, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcessEnvironment env;
    for (const auto& [name, value] : {std::pair<QString, QString>{"PATH", qEnvironmentVariable("PATH")},
                                      {"DISPLAY", display}, {"HOME", home}, {"XDG_DATA_HOME", data},
                                      {"XDG_CONFIG_HOME", config}, {"XDG_CACHE_HOME", root + "/cache"},
                                      {"XDG_RUNTIME_DIR", run}, {"QT_QPA_PLATFORM", "xcb"}, {"LANG", "C.UTF-8"}})
        env.insert(name, value);
    return env;
}

// The program's window as the X server sees it, with its size.
QRegularExpressionMatch findWindow(const QString& display)
{
    QProcess tree;
    tree.start("xwininfo", {"-display", display, "-root", "-tree"});
    tree.waitForFinished(5000);
    return QRegularExpression(R"("Corvanthelis": \("corvanthelis" "Corvanthelis"\)\s+(\d+x\d+))")
        .match(QString::fromUtf8(tree.readAllStandardOutput()));
}

} // namespace

TEST(EndToEnd, WindowBridgeSecondStartAndSigterm)
{
    Processes processes;
    const QString display = startXvfb(processes);
    ASSERT_FALSE(display.isEmpty()) << "Xvfb is missing (scripts/bootstrap installs it)";
    const QString root = test::makeTempFolder("e2e");
    const QString home = root + "/home", data = root + "/data";
    const QProcessEnvironment env = appEnvironment(display, root);

    QProcess& app = processes.add();
    app.setProcessEnvironment(env);
    app.start(CVN_APP_PROGRAM, {});
    ASSERT_TRUE(app.waitForStarted(10000));
    const qint64 pid = app.processId();
    QByteArray console;
    const auto readConsole = [&] { return console += app.readAllStandardError(); };

    // The bridge takes the first free port of 47821-47823.
    const QString logPath = data + "/Corvanthelis/bridge.log";
    QRegularExpressionMatch bound;
    ASSERT_TRUE(test::waitUntil([&] {
        const QString log = readFile(logPath);
        bound = QRegularExpression("\\] listening on port (\\d+)\n").match(log);
        return bound.hasMatch() || log.contains("no port could be bound");
    }, 20000)) << readConsole().toStdString();
    ASSERT_TRUE(bound.hasMatch()) << "ports 47821-47823 are all held by other programs";
    const uint16_t port = uint16_t(bound.captured(1).toUInt());

    QRegularExpressionMatch window;
    ASSERT_TRUE(test::waitUntil([&] { return (window = findWindow(display)).hasMatch(); }, 20000));
    EXPECT_EQ(window.captured(1), "1280x800");

    const QByteArray health = test::exchange(port, "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n").bytes;
    EXPECT_TRUE(health.startsWith("HTTP/1.1 200") && health.contains("\"ok\":true")) << health.toStdString();

    QProcess& second = processes.add(); // hands its URL over and ends
    second.setProcessEnvironment(env);
    const QByteArray url = "corvanthelis://x?action=view-model&repo=a/b";
    second.start(CVN_APP_PROGRAM, {QString::fromUtf8(url)});
    ASSERT_TRUE(second.waitForFinished(15000));
    EXPECT_TRUE(second.exitStatus() == QProcess::NormalExit && second.exitCode() == 0);
    EXPECT_TRUE(test::waitUntil([&] { return readConsole().contains("protocol: view-model: repo=a/b\n"); }, 10000));
    EXPECT_TRUE(console.contains("protocol: activated: " + url + "\n"));
    EXPECT_TRUE(console.startsWith("Corvanthelis: launch, version 1.0.0 (build 1)\n")) << console.toStdString();

    app.terminate(); // SIGTERM ends it as Quit does
    ASSERT_TRUE(app.waitForFinished(15000));
    EXPECT_TRUE(app.exitStatus() == QProcess::NormalExit && app.exitCode() == 0);
    EXPECT_EQ(test::connectLoopback(port), -1);

    const QString log = readFile(logPath);
    const QString launch = QStringLiteral("launch: bundle=org.corvanthelis.Corvanthelis pid=%1 version=1 short=1.0.0 "
                                          "path=%2 home=%3 log=%4\n")
                               .arg(pid)
                               .arg(QFileInfo(CVN_APP_PROGRAM).absolutePath(), home, logPath);
    EXPECT_TRUE(log.startsWith('[') && log.indexOf("] " + launch) == log.indexOf(']')) << log.toStdString();
    EXPECT_EQ(log.count("] listening on port"), 1);
    EXPECT_EQ(log.count("launch: bundle="), 1) << "the second start ended before its launch";
}

#ifdef CVN_START_FAULT_ICD
// A driver that crashes or hangs as the devices are listed costs no start:
// the window comes up within 30 s, the log says what the driver did, and a
// later start hands its URL over to this one and ends.
TEST(EndToEnd, ADriverThatCrashesOrHangsAtTheStartCostsNoStart)
{
    Processes processes;
    const QString display = startXvfb(processes);
    ASSERT_FALSE(display.isEmpty()) << "Xvfb is missing (scripts/bootstrap installs it)";
    for (const auto& [fault, told] : {std::pair<QString, QString>{"crash-create", "crashed"},
                                      {"hang-enumerate", "did not answer within 10 s"}}) {
        const QString root = test::makeTempFolder("e2e");
        QProcessEnvironment env = appEnvironment(display, root);
        env.insert("VK_DRIVER_FILES", CVN_START_FAULT_ICD);
        env.insert("VK_ICD_FILENAMES", CVN_START_FAULT_ICD);
        env.insert("CVN_START_FAULT", fault);
        QProcess& app = processes.add();
        app.setProcessEnvironment(env);
        app.start(CVN_APP_PROGRAM, {});
        ASSERT_TRUE(app.waitForStarted(10000));
        QByteArray console;
        const auto readConsole = [&] { return console += app.readAllStandardError(); };
        EXPECT_TRUE(test::waitUntil([&] { return findWindow(display).hasMatch(); }, 30000))
            << fault.toStdString() << ": " << readConsole().toStdString();
        EXPECT_TRUE(test::waitUntil([&] {
            return readFile(root + "/data/Corvanthelis/bridge.log")
                .contains("] gpu: the driver " + told + " while listing the devices; Vulkan is off");
        })) << fault.toStdString();

        QProcess& second = processes.add();
        second.setProcessEnvironment(env);
        second.start(CVN_APP_PROGRAM, {"corvanthelis://x?action=view-model&repo=a/b"});
        ASSERT_TRUE(second.waitForFinished(15000));
        EXPECT_TRUE(second.exitStatus() == QProcess::NormalExit && second.exitCode() == 0);
        EXPECT_TRUE(test::waitUntil([&] { return readConsole().contains("protocol: view-model: repo=a/b\n"); }, 10000))
            << fault.toStdString();
        app.terminate();
        ASSERT_TRUE(app.waitForFinished(15000));
        EXPECT_EQ(app.exitCode(), 0);
    }
}
#endif

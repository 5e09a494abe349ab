// The program: one instance per user, one window, a tray icon, the bridge.
// A start while another instance runs hands its URLs (or a request to show
// the window) to that instance and ends.
#include "app/AppController.h"
#include "app/Appearance.h"
#include "app/Launch.h"
#include "app/MainView.h"
#include "apiserver/ApiServer.h"
#include "app/MenuBarController.h"
#include "models/ModelStore.h"
#include "app/MainWindow.h"
#include "app/SingleInstance.h"
#include "bridge/AppInfo.h"
#include "bridge/BridgeLog.h"
#include "bridge/RigBridgeServer.h"
#include "platform/AppSettings.h"
#include "platform/QuitSignals.h"
#include "platform/SystemInfo.h"
#include "storage/ChatDatabase.h"
#include "ui_kit/Theme.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <cstring>

namespace {

// Not in the usage: the program runs itself with it to list the GPU devices
// apart from the window (see checkGpuDevicesApart).
constexpr const char* listGpuOption = "--list-gpu-devices";

constexpr const char* usage =
    "Usage: corvanthelis [URL...]\n"
    "Starts Corvanthelis, or hands the URLs (corvanthelis://, tromelvask://)\n"
    "to the instance already running and brings its window forward.\n";

// One line in the file log at each start says what became of the GPU; a
// driver that failed is said on the console too.
void logGpuCheck(const cvn::GpuCheck& gpu)
{
    if (gpu.driverFailed) {
        const QString line = QStringLiteral("gpu: the driver %1 while listing the devices; Vulkan is off for this run")
                                 .arg(gpu.outcome);
        std::fprintf(stderr, "Corvanthelis: %s\n", qPrintable(line));
        cvn::bridgeLog(line);
        return;
    }
    if (!gpu.outcome.isEmpty())
        cvn::bridgeLog(QStringLiteral("gpu: the device check %1; the devices are listed here").arg(gpu.outcome));
    if (const std::optional<cvn::GpuDevice> device = cvn::machineGpuDevice())
        cvn::bridgeLog(QStringLiteral("gpu: %1, %2 MB").arg(device->name).arg(device->recommendedMaxWorkingSetBytes >> 20));
    else
        cvn::bridgeLog(QStringLiteral("gpu: none: ") + cvn::machineGpuAbsence());
}

} // namespace

int main(int argc, char** argv)
{
    cvn::ignoreBrokenPipes();
    if (argc == 2 && std::strcmp(argv[1], listGpuOption) == 0)
        return cvn::printGpuDevices(stdout);
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(usage, stdout);
            return 0;
        }
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Corvanthelis"));
    QApplication::setDesktopFileName(cvn::appId);
    QApplication::setQuitOnLastWindowClosed(false);
    cvn::Theme::filterFontFallbackNotes();

    // Qt has taken its own options (-platform, ...) out by now.
    const QStringList urls = QApplication::arguments().mid(1);
    for (const QString& url : urls) {
        if (url.startsWith(QLatin1Char('-'))) {
            std::fprintf(stderr, "corvanthelis: unknown option '%s' (see --help)\n", qPrintable(url));
            return 2;
        }
    }

    cvn::SingleInstance instance;
    if (instance.claim(urls) == cvn::SingleInstance::Role::Forwarded)
        return 0;

    // Before the window and before the log's thread: the window reads the
    // device list as it is built, and a driver that crashes or hangs in it
    // must take only the child.
    const cvn::GpuCheck gpu = cvn::checkGpuDevicesApart(QCoreApplication::applicationFilePath(), {listGpuOption});

    std::fprintf(stderr, "%s\n",
                 qPrintable(cvn::launchConsoleLine(cvn::AppInfo::version(), cvn::AppInfo::build())));
    cvn::bridgeLog(cvn::launchLogLine(
        cvn::currentLaunchFacts(QStringLiteral(CVN_BUILD), QStringLiteral(CVN_VERSION))));
    logGpuCheck(gpu);
    cvn::AppSettings::registerDefaults();
    cvn::followAppearanceSetting();
    cvn::quitOnTerminationSignals();

    cvn::RigBridgeServer& bridge = cvn::RigBridgeServer::shared();
    auto* mainView = new cvn::MainView;
    cvn::AppController controller(bridge, mainView);
    cvn::ApiServer& localServer = mainView->localServer();
    QObject::connect(&localServer, &cvn::ApiServer::stateChanged, &controller, [&] {
        if (controller.menuBar())
            controller.menuBar()->setLocalServerUrl(localServer.baseUrl());
    });
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &localServer, &cvn::ApiServer::stop);
    QObject::connect(&instance, &cvn::SingleInstance::urlReceived, &controller,
                     [&controller](const QString& url) { controller.openUrl(url); });
    QObject::connect(&instance, &cvn::SingleInstance::showRequested, &controller,
                     &cvn::AppController::showMainWindow);
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &controller, &cvn::AppController::shutdown);

    controller.launch();
    // Off unless the user turned it on; a start with it on serves at once,
    // and the settings page turns it on, off or over to a new port live.
    localServer.followSettings();
    controller.window()->show();
    // Only now: a later start that handed over to a primary without a window
    // would end with nothing on the screen.
    instance.acceptHandOvers();
    if (!urls.isEmpty()) {
        QTimer::singleShot(0, &controller, [&controller, urls] {
            for (const QString& url : urls)
                controller.openUrl(url);
        });
    }

    app.exec();
    controller.shutdown();
    // Last, after the writes made at quit: a private copy of the chats of a
    // read-only data folder, as large as its -wal, goes with the run.
    cvn::ChatDatabase::shared().close();
    cvn::bridgeLogShutdown();
    return 0;
}

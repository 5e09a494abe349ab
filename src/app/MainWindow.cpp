#include "app/MainWindow.h"

#include "app/RootView.h"
#include "bridge/AppInfo.h"
#include "chat/shared/AppSignals.h"
#include "platform/QuitSignals.h"
#include "platform/AppSettings.h"

#include <QApplication>
#include <QCloseEvent>
#include <QMenuBar>
#include <QMessageBox>
#include <QScreen>

namespace cvn {

MainWindow::MainWindow(RootView* root, QWidget* parent)
    : QMainWindow(parent)
    , m_root(root)
{
    setWindowTitle(QStringLiteral("Corvanthelis"));
    setCentralWidget(root);

    QMenu* menu = menuBar()->addMenu(QStringLiteral("Corvanthelis"));
    m_about = menu->addAction(QStringLiteral("About Corvanthelis"), this, &MainWindow::showAbout);
    m_preferences = menu->addAction(QStringLiteral("Preferences\u2026"), &AppSignals::instance(),
                                    &AppSignals::openSettingsPage);
    m_preferences->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    menu->addSeparator();
    m_quit = menu->addAction(QStringLiteral("Quit Corvanthelis"), qApp, &quitApplication);
    m_quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));

    // A drag or resize reports many frames; one write after it settles.
    m_frameSave.setSingleShot(true);
    m_frameSave.setInterval(frameSaveDelayMs);
    connect(&m_frameSave, &QTimer::timeout, this, &MainWindow::saveFrame);
}

void MainWindow::placeOnScreen()
{
    const QByteArray saved = AppSettings::value(frameKey).toByteArray();
    if (saved.isEmpty() || !restoreGeometry(saved)) {
        const QScreen* screen = QGuiApplication::primaryScreen();
        const QRect available = screen ? screen->availableGeometry() : QRect(QPoint(0, 0), firstRunSize);
        const QSize least = minimumSizeHint().expandedTo(minimumSize());
        const QSize size = firstRunSize.boundedTo(available.size()).expandedTo(least);
        resize(size);
        move(available.center() - QPoint(size.width() / 2, size.height() / 2));
    }
    m_placed = true;
}

void MainWindow::saveFrame()
{
    m_frameSave.stop();
    if (m_placed)
        AppSettings::setValue(frameKey, saveGeometry());
}

void MainWindow::showAbout()
{
    auto* box = new QMessageBox(QMessageBox::NoIcon, QStringLiteral("About Corvanthelis"),
                                QStringLiteral("Corvanthelis\nVersion %1 (%2)").arg(AppInfo::version(), AppInfo::build()),
                                QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (m_hidesOnClose()) {
        event->ignore();
        hide();
        return;
    }
    // Without a tray icon a hidden window could only come back through a
    // second start; closing means leaving.
    saveFrame();
    event->accept();
    emit quitRequested();
}

void MainWindow::hideEvent(QHideEvent* event)
{
    QMainWindow::hideEvent(event);
    saveFrame();
}

void MainWindow::moveEvent(QMoveEvent* event)
{
    QMainWindow::moveEvent(event);
    if (m_placed && isVisible())
        m_frameSave.start();
}

void MainWindow::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    if (m_placed && isVisible())
        m_frameSave.start();
}

} // namespace cvn

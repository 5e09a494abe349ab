// Renders every control of the UI kit, in every state, in the light and the
// dark appearance, to PNG files for review: cvn-kit-gallery --out DIR
#include "Gallery.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace {

// The offscreen platform warns on every shown window that it cannot pass
// size hints on; the gallery shows hundreds, and the noise hides real errors.
QtMessageHandler previousHandler = nullptr;

void quietHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (message.contains(QLatin1String("does not support propagateSizeHints")))
        return;
    if (previousHandler)
        previousHandler(type, context, message);
}

} // namespace

int main(int argc, char** argv)
{
    // Rendering needs no screen; without one, draw offscreen.
    if (!std::getenv("QT_QPA_PLATFORM") && !std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // A sheet may switch a setting on to show what it changes; the user's
    // own settings are never touched.
    QTemporaryDir settings;
    if (!settings.isValid()) {
        std::fprintf(stderr, "cvn-kit-gallery: cannot create a temporary folder\n");
        return 1;
    }
    setenv("XDG_CONFIG_HOME", QFile::encodeName(settings.path()).constData(), 1);
    QApplication app(argc, argv);
    previousHandler = qInstallMessageHandler(quietHandler);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Renders the UI kit's controls to PNG files."));
    parser.addHelpOption();
    const QCommandLineOption out(QStringList{QStringLiteral("out")},
                                 QStringLiteral("Folder for the PNG files."), QStringLiteral("DIR"));
    parser.addOption(out);
    parser.process(app);
    if (!parser.isSet(out)) {
        std::fprintf(stderr, "cvn-kit-gallery: --out DIR is required\n");
        return 2;
    }
    if (!cvn::Theme::fontsAvailable())
        std::fprintf(stderr, "cvn-kit-gallery: warning: the Inter fonts are missing; text uses a fallback\n");
    try {
        const QStringList files = cvn::gallery::writeGallery(parser.value(out));
        std::printf("cvn-kit-gallery: wrote %lld files to %s\n", static_cast<long long>(files.size()),
                    qPrintable(parser.value(out)));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cvn-kit-gallery: %s\n", e.what());
        return 1;
    }
    return 0;
}

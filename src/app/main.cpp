// Entry point. The window and its screens arrive with the app shell; until
// then the program starts, prints its launch line and its data folder, and
// exits.
#include "platform/AppPaths.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Corvanthelis"));
    std::printf("Corvanthelis: launch, version %s (%s)\n", CVN_VERSION, CVN_BUILD);
    std::printf("Corvanthelis: data folder %s\n", qPrintable(cvn::appDataFolder()));
    std::printf("Corvanthelis: the window is not built yet; nothing else to do.\n");
    return 0;
}

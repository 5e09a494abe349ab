#include "platform/QuitSignals.h"

#include "platform/SignalWake.h"

#include <QCoreApplication>

#include <csignal>

namespace cvn {

void quitApplication()
{
    QCoreApplication::exit(0);
}

void ignoreBrokenPipes()
{
    std::signal(SIGPIPE, SIG_IGN);
}

void quitOnTerminationSignals()
{
    static bool installed = false;
    if (!installed)
        installed = wakeOnSignals({SIGTERM, SIGINT, SIGHUP}, quitApplication);
}

} // namespace cvn

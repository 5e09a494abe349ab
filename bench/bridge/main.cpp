// Runs the loopback bridge without a window until SIGINT or SIGTERM, for
// black-box and load tests.
//
//   cvn-bridge-serve [--port N]
//
// Prints the server's status line ("Listening on 127.0.0.1:N" or the reason
// it is unavailable) once the start has run. Exits 0 after a clean stop or
// --help, 1 when no port could be bound, 2 on bad arguments.

#include "bridge/BridgeLog.h"
#include "bridge/RigBridgeServer.h"
#include "platform/HostFacts.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstring>
#include <vector>

int main(int argc, char** argv)
{
    std::vector<uint16_t> ports;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::printf("usage: cvn-bridge-serve [--port N]\n");
            return 0;
        }
        if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
            bool ok = false;
            const uint port = QString::fromLocal8Bit(argv[++i]).toUInt(&ok);
            if (!ok || port < 1 || port > 65535) {
                std::fprintf(stderr, "cvn-bridge-serve: --port takes a number from 1 to 65535\n");
                return 2;
            }
            ports.push_back(static_cast<uint16_t>(port));
        } else {
            std::fprintf(stderr, "usage: cvn-bridge-serve [--port N]\n");
            return 2;
        }
    }

    // Before any thread exists, so that only the wait below sees the signals.
    cvn::holdTerminationSignals();
    QCoreApplication app(argc, argv);

    cvn::RigBridgeServer server(ports);
    server.start();
    const QString status = server.statusText();
    std::printf("%s\n", qUtf8Printable(status));
    std::fflush(stdout);
    const bool listening = server.boundPort().has_value();
    if (listening)
        cvn::waitForTerminationSignal();
    server.stop();
    cvn::bridgeLogShutdown();
    return listening ? 0 : 1;
}

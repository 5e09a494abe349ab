#pragma once

namespace cvn {

// A write to a socket whose peer has gone raises SIGPIPE, which ends the
// process by default; the bridge wants EPIPE instead. Call first in main().
void ignoreBrokenPipes();

// SIGTERM, SIGINT and SIGHUP end the Qt event loop in order (as Quit does)
// instead of killing the process mid-write. The handler only writes a byte
// to a pipe; the main loop reads it and calls QCoreApplication::quit().
// Call once, after the application object exists.
void quitOnTerminationSignals();

// Ends the main event loop with status 0, whatever the windows say.
// QCoreApplication::quit() first asks every window to close, and the main
// window refuses (closing only hides it while the tray lives), so under a
// window manager a quit from the tray, the menu or a signal was lost.
void quitApplication();

} // namespace cvn

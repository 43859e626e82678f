#pragma once
#include <ostream>

// Runs the monitoring cycle of the current profile's settings without a
// window, as a service: monitoring starts at once, every event is logged to
// `log` (one line each, journal priorities), SIGTERM or SIGINT stop it.
// Needs a QCoreApplication; makes no widget and needs no display. The
// settings are read, never written. Returns the process's exit code: 0
// after a stop by signal, 1 when the camera could not be opened.
int RunHeadless(std::ostream& log);

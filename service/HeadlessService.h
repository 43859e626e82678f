#pragma once
#include <cstdint>
#include <ostream>
#include <string>

class JournalLog;
class MonitoringCycle;

// Runs the monitoring cycle of the current profile's settings without a
// window, as a service: monitoring starts at once, every event is logged to
// `log` (one line each, journal priorities), SIGTERM or SIGINT stop it.
// Needs a QCoreApplication; makes no widget and needs no display. The
// settings are read, never written. A camera that cannot be opened is tried
// again and again, after growing waits, until it opens or a stop comes.
// Returns the process's exit code: 0 after a stop by signal.
int RunHeadless(std::ostream& log);
// The exit code of a stop that did not finish within its deadline: the
// process was ended as it stood, and whoever watches it should know.
constexpr int kForcedStopExitCode = 1;


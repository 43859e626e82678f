#pragma once
#include <ostream>
#include <string>

class JournalLog;
class MonitoringCycle;

// Runs the monitoring cycle of the current profile's settings without a
// window, as a service: monitoring starts at once, every event is logged to
// `log` (one line each, journal priorities), SIGTERM or SIGINT stop it.
// Needs a QCoreApplication; makes no widget and needs no display. The
// settings are read, never written. Returns the process's exit code: 0
// after a stop by signal, 1 when the camera could not be opened.
int RunHeadless(std::ostream& log);

// A tick that ended with an error (a mailbox that fails after the login, a
// picture that cannot be read): logged, and the request check waits its
// interval again instead of repeating on every tick, which without a
// window to show the error would hammer the server and flood the log.
void AfterTickError(MonitoringCycle& cycle, JournalLog& log, const std::string& what);

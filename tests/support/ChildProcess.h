#pragma once
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

// A program started by a test, stopped (by its id) at the latest when the
// object goes.
class ChildProcess {
public:
  struct Options {
    // Variables to set; an empty value removes the variable.
    std::map<std::string, std::string> env;
    std::string workingFolder;
    std::string outputFile;  // standard output and error; /dev/null if empty
  };

  ChildProcess() = default;
  ChildProcess(const std::vector<std::string>& argv, const Options& options);
  ~ChildProcess();
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;

  bool Started() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }
  bool Running();
  // The exit status, or nothing when it did not end within the time.
  std::optional<int> Wait(int timeoutMs);
  // SIGTERM, then SIGKILL after graceMs.
  void Stop(int graceMs = 3000);

private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// Polls the condition every 20 ms for up to timeoutMs.
bool WaitFor(int timeoutMs, const std::function<bool()>& condition);

// A free X display number (no socket, no lock file), from `from` up.
int FreeDisplayNumber(int from);

// Servers tried before a virtual display gives up.
constexpr int kDisplayAttempts = 5;

// Xvfb on a free display, started with -noreset and stopped at the end.
class VirtualDisplay {
public:
  VirtualDisplay();
  bool Ok() const { return ok_; }
  std::string Name() const { return ":" + std::to_string(number_); }

private:
  int number_ = -1;
  bool ok_ = false;
  ChildProcess server_;
};

// A PulseAudio server with one null output "dummy", in its own folder;
// what is played into it can be recorded from "dummy.monitor".
class NullSoundServer {
public:
  explicit NullSoundServer(const std::string& folder);
  bool Ok() const { return ok_; }
  // The value for PULSE_SERVER.
  std::string Address() const { return "unix:" + socket_; }

private:
  std::string socket_;
  bool ok_ = false;
  ChildProcess server_;
};

// Root mean square of signed 16-bit little-endian samples.
double RootMeanSquare(const std::string& samples);

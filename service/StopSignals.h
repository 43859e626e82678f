#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

// From SIGTERM or SIGINT to the end of the process. Nothing the stop does
// waits on a server for long (the mails' waits are cancelled, the broker's
// goodbye is bounded); a stop that has not finished this long after the
// signal all the same ends the process.
constexpr uint32_t kStopDeadlineMs = 900;

// Turns SIGTERM and SIGINT into a call on the main thread, and watches that
// the stop completes. One instance per process.
class StopSignals {
public:
  // `onStop` runs on the main thread (queued to the Qt event loop);
  // `onDeadline` runs on the watcher thread when kStopDeadlineMs have passed
  // since the signal (`deadlineMs` where given) without Stopped(), and must
  // end the process.
  StopSignals(std::function<void()> onStop, std::function<void()> onDeadline,
              uint32_t deadlineMs = kStopDeadlineMs);
  // Restores the default handling of both signals.
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // The stop is complete; the deadline no longer applies.
  void Stopped();

private:
  void Watch();

  std::function<void()> onStop_;
  std::function<void()> onDeadline_;
  uint32_t deadlineMs_;
  int pipe_[2] = {-1, -1};
  std::mutex mutex_;
  std::condition_variable done_;
  bool stopped_ = false;
  std::thread watcher_;
};

#pragma once
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// The longest thread name the system keeps (15 bytes and the terminator).
constexpr size_t kMaxThreadNameBytes = 15;

// One named thread that runs the jobs it is given, one at a time, in the
// order given. Whatever may wait long (a mail server, a mailbox, a disk)
// runs here, never on the monitoring tick or the window's thread.
//
// Lock order: the worker's own mutex is a leaf. No job runs under it and
// no callback is called under it, so a job may take any lock of its owner.
class Worker {
public:
  // `name` shows in top and gdb; longer names are cut to what the system keeps.
  explicit Worker(std::string name);
  // Stops as Stop() does, dropping jobs not begun.
  ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Queues a job. False once the worker is stopping: the job is not run.
  bool Post(std::function<void()> job);
  // Jobs queued and the one under way.
  size_t Pending() const;
  // Ends the thread and returns once it is joined. `interrupt`, called
  // first, ends the wait of the job under way (a socket's cancel). With
  // `drain`, the jobs not yet begun still run (after the interrupt, so
  // they end at once and can keep what they could not finish); else they
  // are dropped. Posting from a job while stopping is refused.
  void Stop(const std::function<void()>& interrupt = {}, bool drain = false);
  bool Stopping() const;
  // Blocks until nothing is queued or under way (tests, orderly shutdown).
  void WaitIdle() const;
  const std::string& Name() const { return name_; }

private:
  void Run();

  std::string name_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::deque<std::function<void()>> jobs_;
  bool running_ = false;  // a job is under way
  bool stopping_ = false;
  bool drain_ = false;
  bool finished_ = false;  // the thread has left its loop
  std::thread thread_;
};

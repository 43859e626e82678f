#pragma once
#include <atomic>

// Ends another thread's socket waits at once: a camera that keeps its
// connection busy must not hold the close of the source that reads it.
// Once cancelled it stays so; Cancel may be called from any thread.
class TWaitCancel {
public:
  TWaitCancel();
  ~TWaitCancel();
  TWaitCancel(const TWaitCancel&) = delete;
  TWaitCancel& operator=(const TWaitCancel&) = delete;

  void Cancel();
  bool Cancelled() const;
  // Readable once cancelled; -1 when none could be made (waits are then
  // bounded by their own time-outs only).
  int Fd() const { return fd_; }

private:
  int fd_ = -1;
  std::atomic<bool> cancelled_{false};
};

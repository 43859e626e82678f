#include "capture/FrameStore.h"

#include "capture/BmpFile.h"

void FrameStore::Publish(cv::Mat& frame) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cv::swap(latest_, frame);
    ++latestNumber_;
  }
  arrived_.notify_all();
}

bool FrameStore::WriteLatest(const std::string& path) {
  // The lock is held while the rows go out, so the frame cannot change
  // underneath; the reader only needs it for the swap of the next frame.
  std::lock_guard<std::mutex> lock(mutex_);
  if (latestNumber_ == 0) return false;
  if (!WriteBmpFile(path, latest_)) return false;
  writtenNumber_ = latestNumber_;
  return true;
}

bool FrameStore::HasNewFrame() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return latestNumber_ > writtenNumber_;
}

bool FrameStore::WaitForFirstFrame(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return arrived_.wait_for(lock, timeout, [this] { return latestNumber_ > 0; });
}

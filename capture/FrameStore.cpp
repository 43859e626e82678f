#include "capture/FrameStore.h"

#include "capture/BmpFile.h"

void FrameStore::Publish(cv::Mat& frame) { Publish(frame, cv::Mat()); }

void FrameStore::Publish(cv::Mat& frame, cv::Mat jpeg) {
  const int64_t now = jpeg.empty() ? 0
                                   : std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now().time_since_epoch())
                                         .count();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cv::swap(latest_, frame);
    ++latestNumber_;
    latestJpeg_ = std::move(jpeg);
    latestTimeMs_ = now;
  }
  arrived_.notify_all();
}

bool FrameStore::LatestJpeg(cv::Mat& jpeg, int64_t& timeMs) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (writtenJpeg_.empty()) return false;
  jpeg = writtenJpeg_;
  timeMs = writtenTimeMs_;
  return true;
}

bool FrameStore::WriteLatest(const std::string& path) {
  // The lock is held while the rows go out, so the frame cannot change
  // underneath; the reader only needs it for the swap of the next frame.
  std::lock_guard<std::mutex> lock(mutex_);
  if (latestNumber_ == 0) return false;
  if (!WriteBmpFile(path, latest_)) return false;
  writtenNumber_ = latestNumber_;
  // The JPEG that goes with the frame just written, not a newer one.
  writtenJpeg_ = latestJpeg_;
  writtenTimeMs_ = latestTimeMs_;
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

#include "capture/FrameStore.h"

#include "capture/BmpFile.h"

FrameFileStamp StampOf(const struct stat& st) {
  return {st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
}

bool FrameFileUnchanged(const std::string& path, const FrameFileStamp& stamp) {
  struct stat st{};
  if (stat(path.c_str(), &st) != 0) return false;
  const FrameFileStamp now = StampOf(st);
  return now.device == stamp.device && now.inode == stamp.inode && now.size == stamp.size &&
         now.modified.tv_sec == stamp.modified.tv_sec && now.modified.tv_nsec == stamp.modified.tv_nsec &&
         now.changed.tv_sec == stamp.changed.tv_sec && now.changed.tv_nsec == stamp.changed.tv_nsec;
}

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
    latestJpeg_ = jpeg;  // shared: the tap below hears the same bytes
    latestTimeMs_ = now;
  }
  // A frame handed out by TakeLatest may still be in use: the reader then
  // gets one given back, or a fresh buffer, rather than writing into it.
  if (frame.u && frame.u->refcount > 1) {
    frame.release();
    std::lock_guard<std::mutex> lock(mutex_);
    cv::swap(frame, spare_);
  }
  arrived_.notify_all();
  if (now != 0 && hasTap_.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> lock(tapMutex_);
    if (tap_) tap_(ClipPacket{jpeg, now});
  }
  std::function<void()> call;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    call = arrivalCall_;
  }
  if (call) call();
}

void FrameStore::GiveBack(cv::Mat& buffer) {
  if (buffer.empty() || !buffer.u || buffer.u->refcount != 1) return;
  std::lock_guard<std::mutex> lock(mutex_);
  spare_ = std::move(buffer);
}

void FrameStore::SetArrivalCall(std::function<void()> call) {
  std::lock_guard<std::mutex> lock(mutex_);
  arrivalCall_ = std::move(call);
}

void FrameStore::SetJpegTap(JpegTap tap) {
  std::lock_guard<std::mutex> lock(tapMutex_);
  tap_ = std::move(tap);
  hasTap_.store(static_cast<bool>(tap_), std::memory_order_release);
}

void FrameStore::TapPacket(const ClipPacket& packet) {
  if (!hasTap_.load(std::memory_order_acquire)) return;
  std::lock_guard<std::mutex> lock(tapMutex_);
  if (tap_) tap_(packet);
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

FrameTake FrameStore::TakeLatest(const std::string& path, cv::Mat& frame, FrameFileStamp& stamp) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (latestNumber_ == 0) return FrameTake::None;
  struct stat written{};
  const bool ok = WriteBmpFile(path, latest_, &written);
  if (ok) stamp = StampOf(written);
  frame = latest_;
  writtenNumber_ = latestNumber_;
  writtenJpeg_ = latestJpeg_;
  writtenTimeMs_ = latestTimeMs_;
  return ok ? FrameTake::Written : FrameTake::NotWritten;
}

bool FrameStore::HasNewFrame() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return latestNumber_ > writtenNumber_;
}

bool FrameStore::WaitForFirstFrame(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return arrived_.wait_for(lock, timeout, [this] { return latestNumber_ > 0; });
}

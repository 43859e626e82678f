#include "archive/FrameRing.h"

void FrameRing::DropOldest() {
  bytes_ -= frames_.front().Bytes();
  frames_.pop_front();
}

void FrameRing::Push(ClipFrame frame) {
  if (!frames_.empty() && frame.timeMs < frames_.back().timeMs) Clear();
  bytes_ += frame.Bytes();
  frames_.push_back(std::move(frame));
  const int64_t newest = frames_.back().timeMs;
  // A span of 0 keeps the newest frame alone: the alarm's own.
  while (frames_.size() > 1 && newest - frames_.front().timeMs > spanMs_) DropOldest();
  while (!frames_.empty() && (bytes_ > maxBytes_ || frames_.size() > maxFrames_)) DropOldest();
}

std::deque<ClipFrame> FrameRing::Take() {
  std::deque<ClipFrame> taken;
  taken.swap(frames_);
  bytes_ = 0;
  return taken;
}

void FrameRing::Clear() {
  frames_.clear();
  bytes_ = 0;
}

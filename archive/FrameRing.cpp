#include "archive/FrameRing.h"

#include "archive/ClipWriter.h"

void FrameRing::DropOldest() {
  bytes_ -= frames_.front().Bytes();
  frames_.pop_front();
  ++dropped_;
}

void FrameRing::Push(ClipFrame frame) {
  if (!frames_.empty() && frame.timeMs < frames_.back().timeMs) Clear();
  int width = 0, height = 0;
  if (ClipFrameSize(frame, width, height) && (width != width_ || height != height_)) {
    if (!frame.Anchor()) return;
    Clear();
    width_ = width;
    height_ = height;
  }
  if (frames_.empty() && !frame.Anchor()) return;
  bytes_ += frame.Bytes();
  frames_.push_back(std::move(frame));
  if (frames_.back().Anchor()) anchors_.push_back(frames_.size() - 1 + dropped_);
  const int64_t newest = frames_.back().timeMs;
  if (frames_.back().packet) {
    // A stream's clip starts on the latest key frame that reaches the span
    // back: a span of 0 keeps the newest key frame's packets alone.
    while (anchors_.size() > 1 && newest - frames_[anchors_[1] - dropped_].timeMs >= spanMs_) DropToAnchor(1);
  } else {
    // JPEGs, each an anchor: those within the span; 0 keeps the newest alone.
    while (anchors_.size() > 1 && newest - frames_.front().timeMs > spanMs_) DropToAnchor(1);
  }
  while (!frames_.empty() && (bytes_ > maxBytes_ || frames_.size() > maxFrames_)) {
    if (anchors_.size() > 1) {
      DropToAnchor(1);
    } else {
      Clear();  // one anchor's frames alone are over the limit
    }
  }
}

void FrameRing::DropToAnchor(size_t anchor) {
  const uint64_t upTo = anchors_[anchor];
  while (dropped_ < upTo) DropOldest();
  anchors_.erase(anchors_.begin(), anchors_.begin() + static_cast<std::ptrdiff_t>(anchor));
}

std::deque<ClipFrame> FrameRing::Take() {
  std::deque<ClipFrame> taken;
  taken.swap(frames_);
  Clear();
  return taken;
}

void FrameRing::Clear() {
  frames_.clear();
  anchors_.clear();
  bytes_ = 0;
  dropped_ = 0;
  width_ = height_ = 0;
}

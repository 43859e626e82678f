#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>

#include "capture/ClipPacket.h"

// The most the ring holds, whatever the pre-seconds: a 1080p MJPEG frame is
// about 150 to 400 KB, so at 30 frames a second this is 5 to 14 s; a
// smaller picture or a slower camera gets the full EVENT_PRE_SECONDS.
constexpr size_t kMaxRingBytes = size_t{64} << 20;
// And at most this many frames (a tiny picture at a high rate).
constexpr size_t kMaxRingFrames = 4096;

// What the ring and the clip hold: a camera JPEG, or a stream's packet.
using ClipFrame = ClipPacket;

// The last few seconds of compressed frames before an alarm, so its clip
// can start before it. Holds the frames by reference: nothing is copied,
// decoded or encoded. The newest frame decides what is old, and the ring
// always starts on a frame a clip can start on (a JPEG, a key frame).
class FrameRing {
public:
  explicit FrameRing(int64_t spanMs, size_t maxBytes = kMaxRingBytes,
                     size_t maxFrames = kMaxRingFrames)
      : spanMs_(spanMs), maxBytes_(maxBytes), maxFrames_(maxFrames) {}

  // Adds the newest frame and lets go of what lies before the latest
  // anchor at least the span older than it, then of the oldest (up to the
  // next anchor) while over the byte or frame limit. A frame older than the
  // newest held is taken as the newest (a clock that went back) and the
  // rest dropped. Nothing is held before the first anchor. The ring holds
  // pictures of one size, as a clip does: an anchor of another size starts
  // it afresh, and other frames of another size are dropped.
  void Push(ClipFrame frame);
  // Hands over every frame, oldest first, and empties the ring.
  std::deque<ClipFrame> Take();
  void Clear();

  size_t Frames() const { return frames_.size(); }
  size_t Bytes() const { return bytes_; }
  // From the oldest frame held to the newest; 0 with fewer than two.
  int64_t SpanMs() const { return frames_.size() < 2 ? 0 : frames_.back().timeMs - frames_.front().timeMs; }
  // The size of the pictures held; 0 x 0 when empty.
  int Width() const { return width_; }
  int Height() const { return height_; }

private:
  void DropOldest();
  // Drops every frame before anchors_[anchor].
  void DropToAnchor(size_t anchor);

  const int64_t spanMs_;
  const size_t maxBytes_;
  const size_t maxFrames_;
  std::deque<ClipFrame> frames_;
  // Where the anchors are, counted from the first frame ever pushed since
  // the last Clear; dropped_ of those have gone.
  std::deque<uint64_t> anchors_;
  uint64_t dropped_ = 0;
  size_t bytes_ = 0;
  int width_ = 0;
  int height_ = 0;
};

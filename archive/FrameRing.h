#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>

#include <opencv2/core.hpp>

// The most the ring holds, whatever the pre-seconds: a 1080p MJPEG frame is
// about 150 to 400 KB, so at 30 frames a second this is 5 to 14 s; a
// smaller picture or a slower camera gets the full EVENT_PRE_SECONDS.
constexpr size_t kMaxRingBytes = size_t{64} << 20;
// And at most this many frames (a tiny picture at a high rate).
constexpr size_t kMaxRingFrames = 4096;

// One compressed frame on its way into a clip: the camera's JPEG, shared
// (one row of bytes, CV_8UC1, never written into), and when it arrived.
struct ClipFrame {
  cv::Mat jpeg;
  int64_t timeMs = 0;
  size_t Bytes() const { return jpeg.total() * jpeg.elemSize(); }
};

// The last few seconds of compressed frames before an alarm, so its clip
// can start before it. Holds the frames by reference: nothing is copied,
// decoded or encoded. The newest frame decides what is old.
class FrameRing {
public:
  explicit FrameRing(int64_t spanMs, size_t maxBytes = kMaxRingBytes,
                     size_t maxFrames = kMaxRingFrames)
      : spanMs_(spanMs), maxBytes_(maxBytes), maxFrames_(maxFrames) {}

  // Adds the newest frame and lets go of frames more than the span older
  // than it, then of the oldest while over the byte or frame limit. A
  // frame older than the newest held is taken as the newest (a clock that
  // went back) and the rest dropped.
  void Push(ClipFrame frame);
  // Hands over every frame, oldest first, and empties the ring.
  std::deque<ClipFrame> Take();
  void Clear();

  size_t Frames() const { return frames_.size(); }
  size_t Bytes() const { return bytes_; }
  // From the oldest frame held to the newest; 0 with fewer than two.
  int64_t SpanMs() const { return frames_.size() < 2 ? 0 : frames_.back().timeMs - frames_.front().timeMs; }

private:
  void DropOldest();

  const int64_t spanMs_;
  const size_t maxBytes_;
  const size_t maxFrames_;
  std::deque<ClipFrame> frames_;
  size_t bytes_ = 0;
};

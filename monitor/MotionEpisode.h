#pragma once
#include <cstdint>

// Detections come tick by tick; whoever reports motion as a start and an
// end joins those closer together than this into one episode.
constexpr uint32_t kMotionQuietMs = 3000;

// One stretch of motion, from its first detection to the first moment that
// passed kMotionQuietMs without one. Times are 32-bit tick-counter values.
class MotionEpisode {
public:
  // A detection at `now`; true when it starts a new episode.
  bool Detected(uint32_t now) {
    Ended(now);
    const bool starts = !active_;
    active_ = true;
    last_ = now;
    return starts;
  }
  // True once, at the first call after the episode went quiet.
  bool Ended(uint32_t now) {
    if (!active_ || now - last_ <= kMotionQuietMs) return false;
    active_ = false;
    return true;
  }
  bool Active() const { return active_; }

private:
  bool active_ = false;
  uint32_t last_ = 0;
};

#pragma once
#include <cstdint>

#include "capture/MjpegHttpReader.h"

// How long the capture waits for what, in milliseconds.
constexpr uint32_t kFirstFrameTimeoutMs = 5000;   // open until the first frame
constexpr uint32_t kCameraSettleMs = 3000;        // after the first frame, as the camera adjusts
constexpr uint32_t kStreamOpenTimeoutMs = 5000;   // connecting to a network camera
// A network read that stalls this long counts as a dropped stream; it also
// bounds how long closing waits for a reader in OpenCV's hands (our own
// MJPEG reader is cancelled at once).
constexpr uint32_t kStreamReadTimeoutMs = 2000;
constexpr uint32_t kReopenFirstDelayMs = 500;     // back-off before reopening a dropped source,
constexpr uint32_t kReopenMaxDelayMs = 8000;      // doubled after each failed attempt up to this
// A video file that states no usable frame rate plays at this one.
constexpr double kDefaultFilePlaybackFps = 25.0;
constexpr double kMaxFilePlaybackFps = 1000.0;

struct CaptureTimings {
  uint32_t firstFrameTimeoutMs = kFirstFrameTimeoutMs;
  uint32_t settleMs = kCameraSettleMs;
  uint32_t streamOpenTimeoutMs = kStreamOpenTimeoutMs;
  uint32_t streamReadTimeoutMs = kStreamReadTimeoutMs;
  uint32_t pictureTimeoutMs = kPictureTimeoutMs;
  uint32_t reopenFirstDelayMs = kReopenFirstDelayMs;
  uint32_t reopenMaxDelayMs = kReopenMaxDelayMs;
};

// The timings the next OpenCamera uses; tests shorten them.
CaptureTimings CurrentCaptureTimings();
void SetCaptureTimings(const CaptureTimings& timings);

// The wait before the next reopen attempt after one that waited delayMs.
uint32_t NextReopenDelay(uint32_t delayMs, const CaptureTimings& timings);

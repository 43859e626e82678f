#include "capture/CaptureTimings.h"

#include <algorithm>
#include <mutex>

namespace {
std::mutex timingsMutex;
CaptureTimings currentTimings;
} // namespace

CaptureTimings CurrentCaptureTimings() {
  std::lock_guard<std::mutex> lock(timingsMutex);
  return currentTimings;
}

void SetCaptureTimings(const CaptureTimings& timings) {
  std::lock_guard<std::mutex> lock(timingsMutex);
  currentTimings = timings;
}

uint32_t NextReopenDelay(uint32_t delayMs, const CaptureTimings& timings) {
  const uint64_t doubled = std::max<uint64_t>(1, static_cast<uint64_t>(delayMs) * 2);
  return static_cast<uint32_t>(std::min<uint64_t>(doubled, timings.reopenMaxDelayMs));
}

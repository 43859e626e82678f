#include "capture/CameraSource.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "capture/VideoDevices.h"

namespace {
using SteadyClock = std::chrono::steady_clock;

std::mutex timingsMutex;
CaptureTimings currentTimings;

// Anything with a scheme other than file: is a network source.
bool IsNetworkAddress(const std::string& address) {
  const size_t scheme = address.find("://");
  return scheme != std::string::npos && address.compare(0, scheme, "file") != 0;
}

// Brings a decoded frame to 8-bit B, G, R. Returns the frame to publish:
// the decoded one itself when it already is, else the converted copy.
cv::Mat* ToBgr(cv::Mat& decoded, cv::Mat& converted) {
  if (decoded.empty() || decoded.depth() != CV_8U) return nullptr;
  switch (decoded.channels()) {
  case 3: return &decoded;
  case 1: cv::cvtColor(decoded, converted, cv::COLOR_GRAY2BGR); return &converted;
  case 4: cv::cvtColor(decoded, converted, cv::COLOR_BGRA2BGR); return &converted;
  default: return nullptr;
  }
}

std::chrono::milliseconds Ms(uint32_t ms) { return std::chrono::milliseconds(ms); }
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

CameraSource::CameraSource(Kind kind, std::string location, const CaptureTimings& timings)
    : kind_(kind), location_(std::move(location)), timings_(timings) {}

std::unique_ptr<CameraSource> CameraSource::Open(int32_t cameraNumber, const std::string& address,
                                                 const CaptureTimings& timings) {
  Kind kind = Kind::Device;
  std::string location = address;
  if (address.empty()) {
    if (cameraNumber < 0) return nullptr;
    const std::vector<std::string> nodes = ListVideoCaptureNodes();
    if (static_cast<size_t>(cameraNumber) >= nodes.size()) return nullptr;
    location = nodes[static_cast<size_t>(cameraNumber)];
  } else {
    kind = IsNetworkAddress(address) ? Kind::Stream : Kind::File;
  }

  std::unique_ptr<CameraSource> source(new CameraSource(kind, location, timings));
  if (!source->OpenCapture(timings.streamOpenTimeoutMs)) return nullptr;
  source->reader_ = std::thread(&CameraSource::Run, source.get());
  if (!source->frames_.WaitForFirstFrame(Ms(timings.firstFrameTimeoutMs))) return nullptr;
  return source;
}

CameraSource::~CameraSource() { Stop(); }

void CameraSource::Stop() {
  {
    std::lock_guard<std::mutex> lock(stopMutex_);
    stopping_ = true;
  }
  stopSignal_.notify_all();
  if (reader_.joinable()) reader_.join();
  capture_.release();
}

bool CameraSource::OpenCapture(uint32_t openTimeoutMs) {
  capture_.release();
  switch (kind_) {
  case Kind::Device:
    return capture_.open(location_, cv::CAP_V4L2) && capture_.isOpened();
  case Kind::File:
    return capture_.open(location_, cv::CAP_FFMPEG) && capture_.isOpened();
  case Kind::Stream: {
    // Both limits make every network call of the reader return in bounded
    // time, so a stalled camera is noticed and closing never hangs.
    const std::vector<int> params = {
        cv::CAP_PROP_OPEN_TIMEOUT_MSEC, static_cast<int>(openTimeoutMs),
        cv::CAP_PROP_READ_TIMEOUT_MSEC, static_cast<int>(timings_.streamReadTimeoutMs)};
    return capture_.open(location_, cv::CAP_FFMPEG, params) && capture_.isOpened();
  }
  }
  return false;
}

bool CameraSource::Stopping() {
  std::lock_guard<std::mutex> lock(stopMutex_);
  return stopping_;
}

bool CameraSource::WaitOrStop(SteadyClock::time_point deadline) {
  std::unique_lock<std::mutex> lock(stopMutex_);
  return stopSignal_.wait_until(lock, deadline, [this] { return stopping_; });
}

void CameraSource::Run() {
  cv::Mat decoded;
  cv::Mat converted;
  uint32_t reopenDelayMs = timings_.reopenFirstDelayMs;
  uint64_t framesSinceOpen = 0;
  SteadyClock::duration frameInterval{};
  SteadyClock::time_point due = SteadyClock::now();

  auto paceFromSource = [&] {
    double fps = capture_.get(cv::CAP_PROP_FPS);
    if (!(fps > 0.0 && fps <= kMaxFilePlaybackFps)) fps = kDefaultFilePlaybackFps;
    frameInterval = std::chrono::duration_cast<SteadyClock::duration>(
        std::chrono::duration<double>(1.0 / fps));
  };
  if (kind_ == Kind::File) paceFromSource();

  while (!Stopping()) {
    if (!capture_.isOpened()) {
      // Reopen attempts use the read limit too: closing must not wait for a
      // slow connect.
      if (!OpenCapture(std::min(timings_.streamOpenTimeoutMs, timings_.streamReadTimeoutMs))) {
        if (WaitOrStop(SteadyClock::now() + Ms(reopenDelayMs))) break;
        reopenDelayMs = NextReopenDelay(reopenDelayMs, timings_);
        continue;
      }
      framesSinceOpen = 0;
      if (kind_ == Kind::File) paceFromSource();
    }

    if (!capture_.read(decoded) || decoded.empty()) {
      capture_.release();
      // A video file that played to its end starts again at once; anything
      // else that failed (a dropped stream, an unplugged camera, a file that
      // yields nothing) waits before the next attempt.
      const bool fileEnded = kind_ == Kind::File && framesSinceOpen > 0;
      if (!fileEnded) {
        if (WaitOrStop(SteadyClock::now() + Ms(reopenDelayMs))) break;
        reopenDelayMs = NextReopenDelay(reopenDelayMs, timings_);
      }
      continue;
    }
    ++framesSinceOpen;
    reopenDelayMs = timings_.reopenFirstDelayMs;

    if (cv::Mat* frame = ToBgr(decoded, converted)) frames_.Publish(*frame);

    if (kind_ == Kind::File) {
      // A file plays at its own frame rate, like a live camera; a reader
      // that fell behind goes on from now instead of rushing to catch up.
      due += frameInterval;
      const auto now = SteadyClock::now();
      if (due < now) due = now;
      if (WaitOrStop(due)) break;
    }
  }
  capture_.release();
}

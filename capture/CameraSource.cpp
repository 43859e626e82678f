#include "capture/CameraSource.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <strings.h>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "capture/CameraAddress.h"
#include "capture/FrameLimits.h"
#include "capture/VideoDevices.h"

namespace {
using SteadyClock = std::chrono::steady_clock;

// Plain http:// streams are tried with our own MJPEG reader first.
bool HasHttpScheme(const std::string& address) {
  return strncasecmp(address.c_str(), "http://", 7) == 0;
}

bool IsMjpegFourcc(double value) {
  const int code = static_cast<int>(value);
  char name[4];
  for (int i = 0; i < 4; ++i) name[i] = static_cast<char>(std::toupper((code >> (8 * i)) & 0xFF));
  // Backends name it by its tag ("MJPG") or by the decoder's name ("mjpe").
  return std::memcmp(name, "MJPG", 4) == 0 || std::memcmp(name, "MJPE", 4) == 0;
}

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

CameraSource::CameraSource(Kind kind, std::string location, const CaptureTimings& timings)
    : kind_(kind), location_(std::move(location)), timings_(timings) {
  http_.SetCancel(&cancel_);
  stream_.SetCancel(&cancel_);
  stream_.SetPacketSink([this](const ClipPacket& packet) { frames_.TapPacket(packet); });
}

std::unique_ptr<CameraSource> CameraSource::Open(int32_t cameraNumber, const std::string& address,
                                                 const CaptureTimings& timings, bool keepJpeg,
                                                 bool rtspOverUdp, const std::string& clipAddress,
                                                 std::string* why) {
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
  source->SetKeepJpeg(keepJpeg);
  source->rtspOverUdp_ = rtspOverUdp;
  if (!source->OpenCapture(timings.streamOpenTimeoutMs)) return nullptr;
  if (kind == Kind::Stream && !clipAddress.empty()) {
    CameraSource* self = source.get();
    source->clipFeed_ = std::make_unique<PacketFeed>(clipAddress, rtspOverUdp, timings, [self](const ClipPacket& p) {
      if (self->frames_.KeepJpeg()) self->frames_.TapPacket(p);
    });
  }
  source->reader_ = std::thread(&CameraSource::Run, source.get());
  if (!source->frames_.WaitForFirstFrame(Ms(timings.firstFrameTimeoutMs))) {
    std::lock_guard<std::mutex> lock(source->tooLargeMutex_);
    if (why && !source->tooLarge_.empty())
      *why = PictureTooLargeText(source->tooLarge_.width, source->tooLarge_.height);
    return nullptr;
  }
  return source;
}

CameraSource::~CameraSource() { Stop(); }

void CameraSource::Stop() {
  {
    std::lock_guard<std::mutex> lock(stopMutex_);
    stopping_ = true;
  }
  cancel_.Cancel();
  stopSignal_.notify_all();
  clipFeed_.reset();
  if (reader_.joinable()) reader_.join();
  Release();
}

void CameraSource::Release() {
  http_.Close();
  stream_.Close();
  if (capture_) capture_->Release();
  rawJpeg_ = false;
}

void CameraSource::AskForRawJpeg() {
  rawJpegFailures_ = 0;
  rawJpegDecoded_ = false;
  if (rawJpegRefused_ || !IsMjpegFourcc(capture_->Get(cv::CAP_PROP_FOURCC))) return;
  // A device hands over its buffer as it came, a file or stream its packets.
  rawJpeg_ = kind_ == Kind::Device ? capture_->Set(cv::CAP_PROP_CONVERT_RGB, 0)
                                   : capture_->Set(cv::CAP_PROP_FORMAT, -1);
}

// OpenCV's reader is made at the first source that needs it: an MJPEG
// camera over HTTP never loads it.
bool CameraSource::OpenVideoReader(int api, const std::vector<int>& params) {
  try {
    if (!capture_) capture_ = OpenCv().MakeVideoReader();
  } catch (const std::runtime_error&) {
    return false;
  }
  return capture_->Open(location_, api, params) && capture_->IsOpened();
}

bool CameraSource::OpenCapture(uint32_t openTimeoutMs) {
  Release();
  switch (kind_) {
  case Kind::Device:
    if (!OpenVideoReader(cv::CAP_V4L2, {})) return false;
    AskForRawJpeg();
    return true;
  case Kind::File:
    if (!OpenVideoReader(cv::CAP_FFMPEG, {})) return false;
    AskForRawJpeg();
    return true;
  case Kind::Stream: {
    if (HasHttpScheme(location_)) {
      switch (http_.Open(location_, openTimeoutMs, timings_.streamReadTimeoutMs,
                         timings_.pictureTimeoutMs)) {
      case MjpegHttpReader::OpenResult::Opened: return true;
      case MjpegHttpReader::OpenResult::Failed: return false;
      case MjpegHttpReader::OpenResult::NotMjpeg: break;  // another kind of stream
      }
    }
    return stream_.Open(location_, rtspOverUdp_, openTimeoutMs, timings_.streamReadTimeoutMs);
  }
  }
  return false;
}

CameraSource::Got CameraSource::ReadFrame(cv::Mat*& frame, cv::Mat& decoded, cv::Mat& converted,
                                          cv::Mat& packet, cv::Mat* jpeg) {
  if (http_.IsOpen()) {
    switch (http_.Read(decoded, jpeg)) {
    case MjpegHttpReader::ReadResult::Frame: frame = &decoded; return Got::Frame;
    case MjpegHttpReader::ReadResult::Skipped: NoteTooLarge(http_.TooLarge()); return Got::Skipped;
    case MjpegHttpReader::ReadResult::Failed: return Got::Failed;
    }
  }
  if (stream_.IsOpen()) {
    // The archive takes the camera's own packets: no JPEG is made.
    switch (stream_.Read(decoded, jpeg != nullptr)) {
    case AvStreamReader::ReadResult::Frame: {
      frame = &decoded;
      const StreamDescription now = stream_.Describe();
      std::lock_guard<std::mutex> lock(describeMutex_);
      if (now.width != description_.width || now.height != description_.height || now.codec != description_.codec)
        description_ = now;
      return Got::Frame;
    }
    case AvStreamReader::ReadResult::Skipped: NoteTooLarge(stream_.TooLarge()); return Got::Skipped;
    case AvStreamReader::ReadResult::Failed: return Got::Failed;
    }
  }
  if (!rawJpeg_) {
    if (!capture_->Read(decoded) || decoded.empty()) return Got::Failed;
    // The library decoded it whole already; the rest of the program takes no such picture.
    if (!FrameSizeAllowed(decoded.cols, decoded.rows)) {
      NoteTooLarge(decoded.size());
      return Got::Skipped;
    }
    frame = ToBgr(decoded, converted);
    return frame ? Got::Frame : Got::Skipped;
  }
  if (!capture_->Read(packet) || packet.empty()) return Got::Failed;
  if (packet.depth() != CV_8U || packet.channels() != 1 || !packet.isContinuous()) {
    // The backend decoded after all.
    frame = ToBgr(packet, converted);
    return frame ? Got::Frame : Got::Skipped;
  }
  if (jpeg_.Decode(packet.data, packet.total(), decoded)) {
    rawJpegDecoded_ = true;
    frame = &decoded;
    if (jpeg) {
      // The packet itself goes to the archive; the next read gets a buffer
      // of its own, so the kept one is never overwritten.
      *jpeg = packet.reshape(1, 1);
      packet.release();
    }
    return Got::Frame;
  }
  // Pictures too large are no reason to decode them whole through the library instead.
  NoteTooLarge(jpeg_.TooLarge());
  if (!rawJpegDecoded_ && jpeg_.TooLarge().empty() && ++rawJpegFailures_ >= kRawJpegAttempts) {
    // JPEGs of a kind this decoder does not take: the general path reopens it.
    rawJpegRefused_ = true;
    Release();
  }
  return Got::Skipped;
}

void CameraSource::NoteTooLarge(cv::Size size) {
  if (size.empty()) return;
  std::lock_guard<std::mutex> lock(tooLargeMutex_);
  tooLarge_ = size;
}

StreamDescription CameraSource::Describe() const {
  std::lock_guard<std::mutex> lock(describeMutex_);
  return description_;
}

StreamDescription CameraSource::DescribeClipStream() const {
  return clipFeed_ ? clipFeed_->Describe() : StreamDescription();
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
  cv::Mat packet;
  uint32_t reopenDelayMs = timings_.reopenFirstDelayMs;
  uint64_t framesSinceOpen = 0;
  SteadyClock::duration frameInterval{};
  SteadyClock::time_point due = SteadyClock::now();

  auto paceFromSource = [&] {
    double fps = capture_->Get(cv::CAP_PROP_FPS);
    if (!(fps > 0.0 && fps <= kMaxFilePlaybackFps)) fps = kDefaultFilePlaybackFps;
    frameInterval = std::chrono::duration_cast<SteadyClock::duration>(
        std::chrono::duration<double>(1.0 / fps));
  };
  if (kind_ == Kind::File) paceFromSource();

  while (!Stopping()) {
    if (!IsOpen()) {
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

    cv::Mat* frame = nullptr;
    cv::Mat jpeg;
    // With a main stream of its own, the clips take that stream's packets.
    const bool keepJpeg = frames_.KeepJpeg() && !clipFeed_;
    const Got got = ReadFrame(frame, decoded, converted, packet, keepJpeg ? &jpeg : nullptr);
    if (got == Got::Failed) {
      Release();
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
    // A picture that would not decode is left out; the source goes on.
    if (got == Got::Frame) {
      ++framesSinceOpen;
      reopenDelayMs = timings_.reopenFirstDelayMs;
      // A device or file that is not MJPEG (a raw YUYV camera, an H.264
      // file) has its frame compressed once, here, only while the archive
      // is on: a JPEG per frame is a known cost (bench/archive_bench). A
      // stream camera hands the archive its own packets instead.
      if (keepJpeg && jpeg.empty() && !stream_.IsOpen()) {
        if (!encoder_) encoder_ = std::make_unique<JpegEncoder>();
        encoder_->Encode(*frame, jpeg);
      }
      frames_.Publish(*frame, std::move(jpeg));
    }

    if (kind_ == Kind::File) {
      // A file plays at its own frame rate, like a live camera; a reader
      // that fell behind goes on from now instead of rushing to catch up.
      due += frameInterval;
      const auto now = SteadyClock::now();
      if (due < now) due = now;
      if (WaitOrStop(due)) break;
    }
  }
  Release();
}

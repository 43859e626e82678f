#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <opencv2/videoio.hpp>

#include "capture/AvStreamReader.h"
#include "capture/CaptureTimings.h"
#include "capture/FrameStore.h"
#include "capture/JpegDecoder.h"
#include "capture/JpegEncoder.h"
#include "capture/MjpegHttpReader.h"
#include "capture/PacketFeed.h"
#include "net/WaitCancel.h"
#include "platform/OpenCvModule.h"

// An MJPEG source whose first this many pictures all fail to decode as
// plain JPEGs is read again through the general decoder instead.
constexpr int kRawJpegAttempts = 10;

// The open camera or stream behind nsOpenCV's capture operations: a V4L2
// device, a network camera or a video file, read by a thread of its own
// that keeps the latest whole frame in 24-bit B, G, R. MJPEG sources (an
// http:// multipart stream, a device or file delivering MJPG) have each
// JPEG decoded straight into the frame; every other network camera (RTSP,
// H.264, H.265) is read and decoded with libavformat and libavcodec
// (AvStreamReader); devices and files go through OpenCV's reader.
class CameraSource {
public:
  enum class Kind { Device, File, Stream };

  // Opens camera number cameraNumber, or address when it is not empty, and
  // waits for its first frame. Null when nothing opened or no frame came in
  // time; nothing is then left open or running.
  // `keepJpeg`: each frame's JPEG is kept from the first (SetKeepJpeg).
  // `rtspOverUdp`: an RTSP camera sends its packets over UDP, not TCP.
  // `clipAddress`: the same camera's main stream, when `address` is its
  // smaller one: the frames come from `address`, the archive's packets
  // from the main stream (read apart, not decoded).
  // `why`: set when the failure has a cause of its own to tell the user
  // (pictures beyond the frame limits), else left alone.
  static std::unique_ptr<CameraSource> Open(int32_t cameraNumber, const std::string& address,
                                            const CaptureTimings& timings, bool keepJpeg = false,
                                            bool rtspOverUdp = false, const std::string& clipAddress = "",
                                            std::string* why = nullptr);

  // Stops the reader and frees the device.
  ~CameraSource();
  CameraSource(const CameraSource&) = delete;
  CameraSource& operator=(const CameraSource&) = delete;

  bool WriteLatestFrame(const std::string& path) { return frames_.WriteLatest(path); }
  FrameTake TakeLatestFrame(const std::string& path, cv::Mat& frame, FrameFileStamp& stamp) {
    return frames_.TakeLatest(path, frame, stamp);
  }
  bool HasNewFrame() const { return frames_.HasNewFrame(); }
  void SetArrivalCall(std::function<void()> call) { frames_.SetArrivalCall(std::move(call)); }
  void GiveBack(cv::Mat& buffer) { frames_.GiveBack(buffer); }
  // The event archive: keep each frame's JPEG beside it (see FrameStore).
  void SetKeepJpeg(bool keep) { frames_.SetKeepJpeg(keep); }
  bool LatestJpeg(cv::Mat& jpeg, int64_t& timeMs) const { return frames_.LatestJpeg(jpeg, timeMs); }
  void SetJpegTap(JpegTap tap) { frames_.SetJpegTap(std::move(tap)); }
  // The watched stream, and the main stream when clips come from another
  // (empty codec: none, not open yet, or not a stream camera).
  StreamDescription Describe() const;
  StreamDescription DescribeClipStream() const;

private:
  CameraSource(Kind kind, std::string location, const CaptureTimings& timings);
  bool OpenCapture(uint32_t openTimeoutMs);
  bool IsOpen() const { return http_.IsOpen() || stream_.IsOpen() || (capture_ && capture_->IsOpened()); }
  bool OpenVideoReader(int api, const std::vector<int>& params);
  void Release();
  // Lets OpenCV hand over the source's JPEGs undecoded when it is MJPEG.
  void AskForRawJpeg();
  enum class Got { Frame, Skipped, Failed };
  // The next picture of the open source; frame points at it on Frame.
  // With `jpeg` given, an MJPEG source's picture is put there as it came.
  Got ReadFrame(cv::Mat*& frame, cv::Mat& decoded, cv::Mat& converted, cv::Mat& packet,
                cv::Mat* jpeg);
  // A picture was skipped: keeps its size when it was beyond the limits.
  void NoteTooLarge(cv::Size size);
  void Run();
  bool Stopping();
  // Sleeps until the deadline or until Stop; true when stopping.
  bool WaitOrStop(std::chrono::steady_clock::time_point deadline);
  void Stop();

  const Kind kind_;
  const std::string location_;
  const CaptureTimings timings_;
  // Used by the reader thread once it runs.
  std::unique_ptr<IVideoReader> capture_;  // made when first needed
  MjpegHttpReader http_;
  AvStreamReader stream_;
  bool rtspOverUdp_ = false;
  std::unique_ptr<PacketFeed> clipFeed_;  // the main stream, for the clips
  mutable std::mutex describeMutex_;
  StreamDescription description_;  // under describeMutex_
  JpegDecoder jpeg_;
  std::unique_ptr<JpegEncoder> encoder_;  // made when the archive first wants a JPEG made
  bool rawJpeg_ = false;         // capture_ hands over undecoded JPEGs
  bool rawJpegRefused_ = false;  // they did not decode: never ask again
  int rawJpegFailures_ = 0;      // since the open, before the first success
  bool rawJpegDecoded_ = false;
  // The last picture left out for being beyond the frame limits.
  std::mutex tooLargeMutex_;
  cv::Size tooLarge_;  // under tooLargeMutex_
  FrameStore frames_;
  TWaitCancel cancel_;  // ends the reader's socket waits on Stop
  std::mutex stopMutex_;
  std::condition_variable stopSignal_;
  bool stopping_ = false;
  std::thread reader_;
};

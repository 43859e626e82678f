#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <opencv2/core.hpp>

#include "capture/ClipPacket.h"

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;
class TWaitCancel;

// Closing a stream (an RTSP TEARDOWN) waits at most this long: a camera
// that has gone away must not hold up the next open or the program's end.
constexpr uint32_t kAvCloseTimeoutMs = 1000;
// How much of a non-RTSP stream is read to learn its codec before the
// first frame: enough for a few key frames, short enough for a quick start.
constexpr int64_t kAvProbeBytes = 1 << 20;
constexpr int64_t kAvProbeUs = 1000 * 1000;

// What a stream turned out to be, for the option dialog's camera test.
struct StreamDescription {
  std::string codec;  // FFmpeg's short name: "h264", "hevc", "mjpeg", ...
  int width = 0;
  int height = 0;
  double fps = 0;  // as the stream states it; 0 when it does not
  // "H.264 1920×1080 15 fps" for a message; the rate left out when unknown.
  std::string Text() const;
};

// Reads a network camera that is not MJPEG over HTTP (rtsp://, rtsps://,
// anything libavformat opens) and decodes its video with libavcodec to
// 8-bit B, G, R, one frame per Read. Every wait is bounded through the
// interrupt callback: the open by its time-out, each Read by the read
// time-out, the close by kAvCloseTimeoutMs; a cancel ends any of them at
// once. RTSP goes over TCP unless UDP is asked for.
class AvStreamReader {
public:
  AvStreamReader() = default;
  ~AvStreamReader() { Close(); }
  AvStreamReader(const AvStreamReader&) = delete;
  AvStreamReader& operator=(const AvStreamReader&) = delete;

  // Waits end at once when cancel is cancelled (not owned).
  void SetCancel(const TWaitCancel* cancel) { cancel_ = cancel; }
  // False with the reason (the address's password shown as ***).
  bool Open(const std::string& url, bool rtspOverUdp, uint32_t openTimeoutMs, uint32_t readTimeoutMs,
            std::string* error = nullptr);

  enum class ReadResult {
    Frame,    // frame holds the next picture
    Skipped,  // a picture outside the size limits was left out; read on
    Failed,   // the stream ended, broke or sent no picture within the read
              // time-out, or the wait was cancelled: reopen
  };
  // Decodes up to the next picture into frame (reused when it has the size
  // and nobody shares it). With `tapPackets`, every video packet from the
  // first key frame on, and every audio packet after it, also goes to the
  // packet sink as it came.
  ReadResult Read(cv::Mat& frame, bool tapPackets = false);
  // Reads the next packet of the video or audio and hands it to the packet
  // sink, decoding nothing once the picture's size is known: a stream kept
  // for the clips alone. Frame when one went to the sink (or was skipped
  // before the first key frame), Failed as Read.
  ReadResult ReadPacket();
  // Called on the reading thread; must not keep the reader waiting.
  void SetPacketSink(std::function<void(const ClipPacket&)> sink) { sink_ = std::move(sink); }
  void Close();
  bool IsOpen() const { return format_ != nullptr; }
  // Of the open stream; the size is the last picture's once one decoded.
  StreamDescription Describe() const;
  // The size of the last picture left out for being beyond the frame
  // limits since the open; empty when none was.
  cv::Size TooLarge() const { return tooLarge_; }
  // Opens url, decodes its first picture and closes it again: what the
  // stream is, or false with the reason.
  static bool Probe(const std::string& url, bool rtspOverUdp, uint32_t openTimeoutMs, uint32_t readTimeoutMs,
                    StreamDescription& description, std::string* error);

private:
  static int Interrupted(void* self);
  void WaitUpTo(uint32_t ms);
  bool ToBgr(const AVFrame* picture, cv::Mat& frame);
  void Tap(int64_t nowMs);

  const TWaitCancel* cancel_ = nullptr;
  std::chrono::steady_clock::time_point deadline_;
  uint32_t readTimeoutMs_ = 0;
  AVFormatContext* format_ = nullptr;
  AVCodecContext* decoder_ = nullptr;
  AVPacket* packet_ = nullptr;
  AVFrame* picture_ = nullptr;
  SwsContext* scaler_ = nullptr;
  int videoIndex_ = -1;
  int audioIndex_ = -1;
  // Made at the first key frame, once the decoder knows the picture's size.
  std::shared_ptr<const StreamTracks> tracks_;
  std::function<void(const ClipPacket&)> sink_;
  int lastWidth_ = 0;
  int lastHeight_ = 0;
  cv::Size tooLarge_;
};

#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

#include <opencv2/core.hpp>

struct AVCodecParameters;
struct AVPacket;

// One open of a stream camera, as its packets need to be written into a
// clip unchanged: the codec parameters of its video and of its audio (if
// any), and their time bases. Shared by every packet of that open; a
// reopen makes a new one.
class StreamTracks {
public:
  // Copies of the parameters (audio may be null); time bases as num/den.
  StreamTracks(const AVCodecParameters* video, int videoNum, int videoDen, const AVCodecParameters* audio,
               int audioNum, int audioDen);
  ~StreamTracks();
  StreamTracks(const StreamTracks&) = delete;
  StreamTracks& operator=(const StreamTracks&) = delete;

  const AVCodecParameters* Video() const { return video_; }
  const AVCodecParameters* Audio() const { return audio_; }
  // A packet time of the track in milliseconds.
  int64_t VideoMs(int64_t time) const;
  int64_t AudioMs(int64_t time) const;

private:
  AVCodecParameters* video_ = nullptr;
  AVCodecParameters* audio_ = nullptr;
  int videoNum_, videoDen_, audioNum_, audioDen_;
};

// One compressed piece of the camera's picture or sound on its way into a
// clip: a camera JPEG (one row of bytes, CV_8UC1, shared, never written
// into), or a packet as the stream sent it with its open's tracks. Either
// way nothing is copied, decoded or encoded.
struct ClipPacket {
  ClipPacket() = default;
  ClipPacket(cv::Mat jpegBytes, int64_t arrivalMs) : jpeg(std::move(jpegBytes)), timeMs(arrivalMs) {}

  cv::Mat jpeg;
  int64_t timeMs = 0;  // its arrival (steady clock, ms)
  std::shared_ptr<const AVPacket> packet;
  std::shared_ptr<const StreamTracks> tracks;
  bool audio = false;  // packet: of the audio track

  size_t Bytes() const;
  // A clip may start here: any JPEG, or a key frame of the video.
  bool Anchor() const;
};

// The packet as a shared one that frees itself; null when it could not be
// referenced.
std::shared_ptr<const AVPacket> SharePacket(const AVPacket* packet);

#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "capture/ClipPacket.h"

using ClipFrame = ClipPacket;

struct AVFormatContext;
struct AVPacket;

// The muxer closes a cluster (the unit a player can read back) at the
// latest after this much clip time or this many bytes, and the writer
// flushes it to the file then: a clip cut short by a crash or `kill -9`
// plays up to at most this much before its last frame written. Flushing
// every frame instead cost a cluster, a buffer and system calls per frame.
constexpr int64_t kClipClusterMs = 1000;
constexpr int64_t kClipClusterBytes = 4 << 20;

// Writes camera JPEGs as they are into a Matroska clip (codec MJPEG, time
// base 1 ms, the frames' arrival times), or a stream camera's packets as
// they are (its codec parameters, the packets' own times), through
// libavformat: nothing is decoded or encoded. One frame per call, flushed
// to the file a cluster (kClipClusterMs) at a time.
class ClipWriter {
public:
  ClipWriter() = default;
  ~ClipWriter();  // closes as Close does
  ClipWriter(const ClipWriter&) = delete;
  ClipWriter& operator=(const ClipWriter&) = delete;

  // Creates the file (replacing one of that name) for frames of this size;
  // `creationMs` (epoch ms) goes into its header. False with the reason.
  bool Open(const std::string& path, int width, int height, int64_t creationMs, std::string* error);
  // Adds one JPEG taken at `timeMs` (any steady clock in ms): its time in
  // the clip counts from the first frame's, and never goes back. False,
  // with the reason, when the file could not take it (the writer is then
  // closed).
  bool Write(const uint8_t* data, size_t size, int64_t timeMs, std::string* error);
  // Creates the file for a stream camera's packets: its video track, and
  // its audio when that is AAC (other audio is left out: DroppedAudio).
  bool Open(const std::string& path, std::shared_ptr<const StreamTracks> tracks, int64_t creationMs,
            std::string* error);
  // Adds a packet. The first must be a key frame; after a reopen of the
  // camera (other tracks) the clip goes on from the next key frame, its
  // times following on by arrival. Other packets before a key frame are
  // left out (true).
  bool Write(const ClipPacket& packet, std::string* error);
  // The codec of the camera's audio when it was left out; empty otherwise.
  const std::string& DroppedAudio() const { return droppedAudio_; }
  // Writes the index and the duration; true when the clip ended whole.
  bool Close();

  bool IsOpen() const { return context_ != nullptr; }
  // The picture size the clip's header states.
  int Width() const { return width_; }
  int Height() const { return height_; }
  int64_t Frames() const { return frames_; }
  int64_t Bytes() const { return bytes_; }
  // Of the clip so far: from the first frame's time to the last's.
  int64_t DurationMs() const { return frames_ ? lastPts_ : 0; }

private:
  bool Start(std::string* error);
  bool Finish(const std::string& path, int64_t creationMs, std::string* error);
  // Writes packet_ (pts in clip ms) to stream index; false when it failed.
  bool Put(int index, int64_t pts, int64_t duration, bool key, std::string* error);
  void Abandon();

  AVFormatContext* context_ = nullptr;
  AVPacket* packet_ = nullptr;
  int64_t firstTimeMs_ = 0;
  int64_t lastPts_ = -1;
  int64_t flushedPts_ = 0;  // the clip time of the last flush
  int64_t frames_ = 0;
  int64_t bytes_ = 0;
  int width_ = 0;
  int height_ = 0;
  // Packets: the tracks of the camera's open that is being written, its
  // first key frame's time (ms) and where that lies in the clip.
  std::shared_ptr<const StreamTracks> tracks_;
  int64_t openBaseMs_ = 0;
  int64_t openClipMs_ = 0;
  int64_t lastArrivalMs_ = 0;
  int audioIndex_ = -1;
  int64_t lastAudioPts_ = -1;
  std::string droppedAudio_;
};

// The width and height a JPEG's header states; false when it is no JPEG.
bool JpegSize(const uint8_t* data, size_t size, int& width, int& height);
// The picture size of a clip frame: its JPEG's, or its stream's when the
// packet is video; false for sound and what tells no size.
bool ClipFrameSize(const ClipFrame& frame, int& width, int& height);

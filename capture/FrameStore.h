#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include <opencv2/core.hpp>

#include "capture/ClipPacket.h"

#include <sys/stat.h>

// The frame file as a tick's own write left it. A later look that finds
// the same file (device, inode), length and times finds exactly the bytes
// that were written: another writer moves the times, a replacement brings
// another inode.
struct FrameFileStamp {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = -1;
  timespec modified{};
  timespec changed{};
};
FrameFileStamp StampOf(const struct stat& st);
// True when `path` is still the file `stamp` describes.
bool FrameFileUnchanged(const std::string& path, const FrameFileStamp& stamp);

// Hears every JPEG the reader publishes (shared, never written into), or
// every packet of a stream camera as it came, with its arrival time, on the
// reader's thread: the event archive's clip, which must not miss the frames
// no tick looked at.
using JpegTap = std::function<void(const ClipPacket& packet)>;

// What taking the latest frame did.
enum class FrameTake {
  None,        // no frame has arrived yet
  Written,     // the frame file holds it
  NotWritten,  // the frame file could not be written; the frame is in memory
};

// The latest whole frame of an open camera, shared between the reader
// thread that publishes frames and the user-interface thread that writes
// them to the frame file. Only the latest frame is kept.
class FrameStore {
public:
  // Takes an 8-bit B, G, R frame by swapping buffers with it: the caller
  // gets back the buffer of an older frame to decode the next one into, so
  // a frame that is being written out is never filled by the next one.
  void Publish(cv::Mat& frame);
  // The same, with the frame's JPEG as the camera sent it (or as made once
  // for the archive): one row of bytes, kept by reference beside the frame
  // and never written into afterwards.
  void Publish(cv::Mat& frame, cv::Mat jpeg);

  // Whether the reader should keep each frame's JPEG (the event archive is
  // on). Off, nothing is kept and nothing is encoded.
  void SetKeepJpeg(bool keep) { keepJpeg_.store(keep, std::memory_order_relaxed); }
  bool KeepJpeg() const { return keepJpeg_.load(std::memory_order_relaxed); }
  // Every JPEG published from now on goes to `tap` as well (empty: none).
  // Once this returns, the tap given before is no longer called.
  void SetJpegTap(JpegTap tap);
  // Hands a stream camera's packet to the tap, if one is set.
  void TapPacket(const ClipPacket& packet);
  // The JPEG of the frame last written out (shared, not copied) and when it
  // arrived (steady clock, ms); false when that frame came without one.
  bool LatestJpeg(cv::Mat& jpeg, int64_t& timeMs) const;

  // Writes the latest frame to path as a bitmap file. False when no frame
  // has arrived yet (nothing is written) or the file could not be written.
  bool WriteLatest(const std::string& path);

  // The same, and the frame handed out in `frame` (shared, not copied) with
  // the file's stamp after the write. The frame goes on even when the file
  // could not be written, and counts as written out either way.
  FrameTake TakeLatest(const std::string& path, cv::Mat& frame, FrameFileStamp& stamp);
  // A taken frame's buffer that nobody holds any more, for the reader to
  // decode a later frame into: frames then cost no allocation. A buffer
  // still held elsewhere is not taken.
  void GiveBack(cv::Mat& buffer);

  // True when a frame newer than the last one written is waiting.
  bool HasNewFrame() const;

  // Called on the reader's thread after each frame is published, so that
  // whoever takes the frames can wake for it instead of polling. Must return
  // at once; empty: nobody is told.
  void SetArrivalCall(std::function<void()> call);

  // Waits until a first frame exists; false when none came within timeout.
  bool WaitForFirstFrame(std::chrono::milliseconds timeout);

private:
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::function<void()> arrivalCall_;  // under mutex_
  cv::Mat spare_;                      // under mutex_: from GiveBack
  cv::Mat latest_;
  uint64_t latestNumber_ = 0;   // 0: no frame yet
  uint64_t writtenNumber_ = 0;  // number of the frame last written out
  // The event archive's: the latest frame's JPEG, and the written one's.
  std::atomic<bool> keepJpeg_{false};
  cv::Mat latestJpeg_;
  int64_t latestTimeMs_ = 0;
  cv::Mat writtenJpeg_;
  int64_t writtenTimeMs_ = 0;
  // Apart from mutex_, so that the tap's work never holds up TakeLatest.
  std::mutex tapMutex_;
  std::atomic<bool> hasTap_{false};
  JpegTap tap_;
};

#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include <opencv2/core.hpp>

// The latest whole frame of an open camera, shared between the reader
// thread that publishes frames and the user-interface thread that writes
// them to the frame file. Only the latest frame is kept.
class FrameStore {
public:
  // Takes an 8-bit B, G, R frame by swapping buffers with it: the caller
  // gets back the buffer of an older frame to decode the next one into, so
  // a frame that is being written out is never filled by the next one.
  void Publish(cv::Mat& frame);

  // Writes the latest frame to path as a bitmap file. False when no frame
  // has arrived yet (nothing is written) or the file could not be written.
  bool WriteLatest(const std::string& path);

  // True when a frame newer than the last one written is waiting.
  bool HasNewFrame() const;

  // Waits until a first frame exists; false when none came within timeout.
  bool WaitForFirstFrame(std::chrono::milliseconds timeout);

private:
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  cv::Mat latest_;
  uint64_t latestNumber_ = 0;   // 0: no frame yet
  uint64_t writtenNumber_ = 0;  // number of the frame last written out
};

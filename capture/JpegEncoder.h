#pragma once
#include <cstdint>

#include <opencv2/core.hpp>

// Quality of the JPEGs made for frames that did not come compressed: the
// camera's own MJPEG is usually about this (75 to 90); 85 keeps detail a
// face needs at a third of the size of 95.
constexpr int kArchiveJpegQuality = 85;

// Compresses 8-bit B, G, R frames to JPEG with libjpeg-turbo (4:2:0, the
// usual camera sampling). Keeps its compressor and its working buffer
// between frames; one object per thread.
class JpegEncoder {
public:
  explicit JpegEncoder(int quality = kArchiveJpegQuality);
  ~JpegEncoder();
  JpegEncoder(const JpegEncoder&) = delete;
  JpegEncoder& operator=(const JpegEncoder&) = delete;

  // The JPEG of `frame` as one row of bytes (CV_8UC1) of its own, sized to
  // the data; false (out untouched) for an empty or non-B, G, R frame or a
  // compressor failure.
  bool Encode(const cv::Mat& frame, cv::Mat& out);

private:
  void* handle_;
  int quality_;
  unsigned char* buffer_ = nullptr;  // worst case for the largest frame so far
  unsigned long bufferSize_ = 0;
};

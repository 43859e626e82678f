#pragma once
#include <cstddef>
#include <cstdint>

#include <opencv2/core.hpp>

// A JPEG whose decoder warns (damaged data) is still taken when it ends with
// its end-of-image marker within this many bytes of the data's end: then it
// arrived whole and the damage is the camera's own; without the marker it
// was cut short and would show a grey lower part, so it is skipped.
constexpr size_t kJpegEndSearchBytes = 64;

// Decodes camera JPEGs (one MJPEG frame each) straight into an 8-bit B, G, R
// picture with libjpeg-turbo: no separate colour conversion, no copy. Keeps
// its decoder between frames; one object per reader thread.
class JpegDecoder {
public:
  JpegDecoder();
  ~JpegDecoder();
  JpegDecoder(const JpegDecoder&) = delete;
  JpegDecoder& operator=(const JpegDecoder&) = delete;

  // Decodes one JPEG into frame, reusing frame's memory when it has the
  // size and nobody else shares it. False, with frame unspecified, for data
  // that is no JPEG, is damaged or cut short, or claims a size beyond the
  // frame limits (checked before any memory is set aside).
  bool Decode(const uint8_t* data, size_t size, cv::Mat& frame);
  // The size the last JPEG refused for being beyond the limits claimed;
  // empty when none was.
  cv::Size TooLarge() const { return tooLarge_; }

private:
  bool DecodeOrFail(const uint8_t* data, size_t size, cv::Mat& frame);

  void* handle_;
  cv::Size tooLarge_;
};

// True when data ends with a JPEG end-of-image marker, allowing for up to
// kJpegEndSearchBytes of trailing bytes (line ends a server adds).
bool JpegHasEnd(const uint8_t* data, size_t size);

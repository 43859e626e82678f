#include "capture/JpegDecoder.h"

#include <algorithm>

#include <turbojpeg.h>

#include "capture/FrameLimits.h"

namespace {
// Accurate integer IDCT and smooth chroma upsampling: the same picture that
// OpenCV's own JPEG decoding gives, so detection sees what it saw before;
// the fast variants save little next to the rest of a tick. Progressive
// files with an absurd number of scans are refused instead of decoded for
// minutes.
constexpr int kDecodeFlags = TJFLAG_ACCURATEDCT | TJFLAG_LIMITSCANS;
constexpr uint8_t kMarker = 0xFF;
constexpr uint8_t kEndOfImage = 0xD9;
} // namespace

bool JpegHasEnd(const uint8_t* data, size_t size) {
  if (size < 2) return false;
  const size_t from = size > kJpegEndSearchBytes + 2 ? size - kJpegEndSearchBytes - 2 : 0;
  for (size_t i = size - 2 + 1; i-- > from;)
    if (data[i] == kMarker && data[i + 1] == kEndOfImage) return true;
  return false;
}

JpegDecoder::JpegDecoder() : handle_(tjInitDecompress()) {}

JpegDecoder::~JpegDecoder() {
  if (handle_) tjDestroy(handle_);
}

bool JpegDecoder::Decode(const uint8_t* data, size_t size, cv::Mat& frame) {
  if (!handle_ || !data || size == 0) return false;
  int width = 0, height = 0, subsampling = 0, colourspace = 0;
  if (tjDecompressHeader3(handle_, data, static_cast<unsigned long>(size), &width, &height,
                          &subsampling, &colourspace) != 0)
    return false;
  if (!FrameSizeAllowed(width, height)) return false;

  if (frame.rows != height || frame.cols != width || frame.type() != CV_8UC3 ||
      !frame.isContinuous() || (frame.u && frame.u->refcount != 1))
    frame = cv::Mat(height, width, CV_8UC3);  // create() would keep a shared buffer
  const int pitch = width * 3;
  if (tjDecompress2(handle_, data, static_cast<unsigned long>(size), frame.data, width, pitch,
                    height, TJPF_BGR, kDecodeFlags) == 0)
    return true;
  // A warning leaves a whole picture; it counts only when nothing was cut off.
  return tjGetErrorCode(handle_) == TJERR_WARNING && JpegHasEnd(data, size);
}

#include "capture/JpegDecoder.h"

#include <algorithm>

#include <turbojpeg.h>

#include "capture/FrameLimits.h"
#include "capture/OwnBuffer.h"

namespace {
// Accurate integer IDCT with the plain (replicating) chroma upsampling: the
// frames stay within one grey level of both of OpenCV's decodings (its JPEG
// loader and its video reader's FFmpeg path, which differ from each other by
// about one level), and the plain upsampling is the cheaper. The fast IDCT
// would add a level against the loader for little gain. Progressive files
// with an absurd number of scans are refused instead of decoded for minutes.
constexpr int kDecodeFlags = TJFLAG_ACCURATEDCT | TJFLAG_FASTUPSAMPLE | TJFLAG_LIMITSCANS;
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
  if (DecodeOrFail(data, size, frame)) return true;
  // A failed call can leave the decoder in the middle of a file, and the
  // next one would then fail too: start the next frame on a fresh one.
  tjDestroy(handle_);
  handle_ = tjInitDecompress();
  return false;
}

bool JpegDecoder::DecodeOrFail(const uint8_t* data, size_t size, cv::Mat& frame) {
  int width = 0, height = 0, subsampling = 0, colourspace = 0;
  // The header's reading warns about the same damage as the decoding does.
  if (tjDecompressHeader3(handle_, data, static_cast<unsigned long>(size), &width, &height,
                          &subsampling, &colourspace) != 0 &&
      tjGetErrorCode(handle_) != TJERR_WARNING)
    return false;
  if (!FrameSizeAllowed(width, height)) {
    tooLarge_ = cv::Size(width, height);
    return false;
  }

  UseOwnBuffer(frame, cv::Size(width, height), CV_8UC3);
  const int pitch = width * 3;
  if (tjDecompress2(handle_, data, static_cast<unsigned long>(size), frame.data, width, pitch,
                    height, TJPF_BGR, kDecodeFlags) == 0)
    return true;
  // A warning leaves a whole picture; it counts only when nothing was cut off.
  return tjGetErrorCode(handle_) == TJERR_WARNING && JpegHasEnd(data, size);
}

// The mask's header read: it never fails on any bytes, and a picture whose
// declared size it accepts decodes to exactly that size, so the size checked
// before decoding is the size the decoder sets memory aside for.
#include <sstream>

#include <opencv2/imgcodecs.hpp>

#include "capture/FrameLimits.h"
#include "fuzz/FuzzCheck.h"
#include "vision/PictureHeader.h"

namespace {
// Larger accepted pictures are not decoded: a run stays quick.
constexpr int64_t kMaxDecodedPixels = 1 << 20;
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::istringstream in(AsText(data, size));
  int64_t width = 0;
  int64_t height = 0;
  if (!DeclaredPictureSize(in, width, height) || !FrameSizeAllowed(width, height)) return 0;
  if (width * height > kMaxDecodedPixels) return 0;
  const cv::Mat bytes(1, static_cast<int>(size), CV_8UC1, const_cast<uint8_t*>(data));
  cv::Mat grey;
  try {
    grey = cv::imdecode(bytes, cv::IMREAD_GRAYSCALE | cv::IMREAD_IGNORE_ORIENTATION);
  } catch (const cv::Exception&) {
    return 0;
  }
  if (grey.empty()) return 0;
  FUZZ_CHECK(grey.cols == width && grey.rows == height);
  return 0;
}

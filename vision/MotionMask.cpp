#include "vision/MotionMask.h"

#include <fstream>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "capture/FrameLimits.h"
#include "platform/OpenCvModule.h"
#include "vision/PictureHeader.h"

namespace {
// Grey levels above this are watched: the middle, so that a mask drawn in
// any paint program and saved with some anti-aliasing still reads as meant.
constexpr double kMaskWatchedAbove = 127.0;

// A small file may declare a huge picture; the decoder would set its memory
// aside before it finds out, so the size is checked from the header first.
bool DeclaresAllowedSize(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  int64_t width = 0;
  int64_t height = 0;
  return file && DeclaredPictureSize(file, width, height) && FrameSizeAllowed(width, height);
}
} // namespace

bool ReadMotionMask(const std::string& path, cv::Mat& mask, std::string* why) {
  mask.release();
  if (path.empty() || !DeclaresAllowedSize(path)) return false;
  cv::Mat grey;
  grey = ReadImageFile(path, cv::IMREAD_GRAYSCALE, why);
  if (grey.empty()) return false;
  cv::threshold(grey, mask, kMaskWatchedAbove, 255.0, cv::THRESH_BINARY);
  return true;
}

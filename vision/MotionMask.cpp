#include "vision/MotionMask.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace {
// Grey levels above this are watched: the middle, so that a mask drawn in
// any paint program and saved with some anti-aliasing still reads as meant.
constexpr double kMaskWatchedAbove = 127.0;
} // namespace

bool ReadMotionMask(const std::string& path, cv::Mat& mask) {
  mask.release();
  if (path.empty()) return false;
  cv::Mat grey;
  try {
    grey = cv::imread(path, cv::IMREAD_GRAYSCALE);
  } catch (const cv::Exception&) {
    return false;
  }
  if (grey.empty()) return false;
  cv::threshold(grey, mask, kMaskWatchedAbove, 255.0, cv::THRESH_BINARY);
  return true;
}

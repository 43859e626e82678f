#pragma once
#include <opencv2/core.hpp>

#include "vision/Nsopencv.h"

// The picture view inside the main window's scroll area, as the core sees
// it. The widget layer implements it; tests use a recording one.
class IPictureView {
public:
  virtual ~IPictureView() = default;
  // Shows the 8-bit B, G, R image at its own pixel size, at the top-left
  // corner of the scroll area. The image may be changed after the call.
  virtual void ShowImage(const cv::Mat& image) = 0;
};

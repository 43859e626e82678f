#pragma once
#include <opencv2/core.hpp>

#include "vision/Nsopencv.h"

// The picture view inside the main window's scroll area, as the core sees
// it. The widget layer implements it; tests use a recording one.
class IPictureView {
public:
  virtual ~IPictureView() = default;
  // Shows the 8-bit B, G, R image at its own pixel size, at the top-left
  // corner of the scroll area. The view reads the image only when it
  // paints, so a frame nobody sees costs nothing: the image must stay alive
  // (its content may change, on this thread) until the next ShowImage or
  // ForgetImage.
  virtual void ShowImage(const cv::Mat& image) = 0;
  // The image last given is about to go; the view keeps what it painted.
  virtual void ForgetImage() {}
};

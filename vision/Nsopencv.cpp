#include "vision/Nsopencv.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "capture/CameraSource.h"
#include "vision/BmpReader.h"

namespace {
// A 4 x 4 rectangle anchored at its top-left cell, not its centre: the
// anchor must be passed to every erosion and dilation, or OpenCV centres it.
constexpr int kElementSize = 4;
const cv::Point kElementAnchor(0, 0);
constexpr int kMorphIterations = 2;

// The erosion and dilation of the original C interface replicate the border.
void Clean(cv::Mat& image, const cv::Mat& element) {
  cv::erode(image, image, element, kElementAnchor, kMorphIterations, cv::BORDER_REPLICATE);
  cv::dilate(image, image, element, kElementAnchor, kMorphIterations, cv::BORDER_REPLICATE);
}

// Counts the pixels whose low bit is set, row by row, so row padding is
// never counted.
int64_t CountChanged(const cv::Mat& image) {
  int64_t changed = 0;
  for (int r = 0; r < image.rows; ++r) {
    const uint8_t* row = image.ptr<uint8_t>(r);
    int32_t rowCount = 0;
    for (int c = 0; c < image.cols; ++c) rowCount += row[c] & 1;
    changed += rowCount;
  }
  return changed;
}
} // namespace

nsOpenCV::nsOpenCV(const std::string& windowName)
    : windowName_(windowName),
      structuringElement_(cv::getStructuringElement(
          cv::MORPH_RECT, cv::Size(kElementSize, kElementSize), kElementAnchor)) {}

nsOpenCV::~nsOpenCV() {
  CloseCamera();
  colourImage_.release();
  greyImage_.release();
  referenceImage_.release();
}

bool nsOpenCV::LoadFrame(const std::string& path) {
  // The frame file is read on every tick: its own layout is read directly,
  // into the previous frame's memory when nobody else holds it; any other
  // picture goes through OpenCV's loader.
  if (ReadBgrBitmap(path, colourImage_)) return true;
  colourImage_.release();
  colourImage_ = cv::imread(path, cv::IMREAD_COLOR);
  return !colourImage_.empty();
}

bool nsOpenCV::ConvertToGrey() {
  greyImage_.release();
  // Without a frame there is nothing to convert; the later steps then find
  // no grey image and leave the reference alone.
  if (colourImage_.empty()) return false;
  // Code 7 (RGB to grey) on the B, G, R image, as the detector always did:
  // the blue channel takes red's weight.
  cv::cvtColor(colourImage_, greyImage_, cv::COLOR_RGB2GRAY);
  return true;
}

bool nsOpenCV::Binarize(int32_t threshold) {
  if (greyImage_.empty()) return false;
  if (threshold < 0)
    cv::threshold(greyImage_, greyImage_, 0.0, 255.0, cv::THRESH_BINARY | cv::THRESH_OTSU);
  else
    cv::threshold(greyImage_, greyImage_, static_cast<double>(threshold), 255.0,
                  cv::THRESH_BINARY);
  return ErodeDilate();
}

bool nsOpenCV::ErodeDilate() {
  if (greyImage_.empty()) return false;
  Clean(greyImage_, structuringElement_);
  return true;
}

bool nsOpenCV::DetectMotion(int32_t moveBorder) {
  if (greyImage_.empty()) return false;
  // A frame of another size than the reference cannot be compared with it:
  // it is treated like the first frame and only becomes the reference.
  if (referenceImage_.empty() || referenceImage_.size() != greyImage_.size() ||
      referenceImage_.type() != greyImage_.type()) {
    referenceImage_ = greyImage_.clone();
    lastChangedPercentage_ = 0;
    return false;
  }

  cv::Mat difference;
  cv::bitwise_xor(greyImage_, referenceImage_, difference);
  Clean(difference, structuringElement_);

  // Counted in 64 bits: changed x 100 overflows 32 bits above 21 474 836
  // pixels. The percentage is still truncated and compared strictly.
  const int64_t changed = CountChanged(difference);
  const int64_t total = static_cast<int64_t>(difference.rows) * difference.cols;
  const int64_t percentage = total > 0 ? (changed * 100) / total : 0;
  lastChangedPercentage_ = static_cast<int32_t>(percentage);
  const bool result = percentage > moveBorder;

  ReleaseReferenceImage();
  referenceImage_ = greyImage_.clone();
  return result;
}

bool nsOpenCV::SaveImage(const std::string& path) {
  if (colourImage_.empty()) return false;
  try {
    return cv::imwrite(path, colourImage_);
  } catch (const cv::Exception&) {
    return false;
  }
}

void nsOpenCV::ReleaseGreyImage() { greyImage_.release(); }

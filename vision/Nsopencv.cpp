#include "vision/Nsopencv.h"

#include <cstring>

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
// never counted. Eight pixels at a time: their low bits masked out, one
// multiplication adds the eight 0-or-1 bytes up in the top byte.
int64_t CountChanged(const cv::Mat& image) {
  constexpr uint64_t kLowBits = 0x0101010101010101ULL;
  // Without padding the rows run on in memory: one long row.
  const int rows = image.isContinuous() ? 1 : image.rows;
  const size_t cols = static_cast<size_t>(image.cols) * (image.isContinuous() ? image.rows : 1);
  int64_t changed = 0;
  for (int r = 0; r < rows; ++r) {
    const uint8_t* row = image.ptr<uint8_t>(r);
    uint64_t rowCount = 0;
    size_t c = 0;
    for (; c + sizeof(uint64_t) <= cols; c += sizeof(uint64_t)) {
      uint64_t eight;
      std::memcpy(&eight, row + c, sizeof eight);
      rowCount += ((eight & kLowBits) * kLowBits) >> 56;
    }
    for (; c < cols; ++c) rowCount += row[c] & 1;
    changed += static_cast<int64_t>(rowCount);
  }
  return changed;
}

// Gives `image` a buffer of this size and type that nobody else shares,
// keeping the one it has when it may: a tick then writes its images into
// the previous tick's memory instead of allocating three new images.
void UseOwnBuffer(cv::Mat& image, cv::Size size, int type) {
  if (image.size() == size && image.type() == type && image.u && image.u->refcount == 1)
    return;
  image = cv::Mat(size, type);  // create() would keep a shared buffer
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
  // A file is outside data: whatever its header claims or the loader throws
  // ends as a failed load, never as an exception out of the tick.
  try {
    const BitmapRead read = ReadBgrBitmap(path, colourImage_);
    if (read == BitmapRead::Read) return true;
    colourImage_.release();
    if (read == BitmapRead::Refused) return false;
    colourImage_ = cv::imread(path, cv::IMREAD_COLOR);
  } catch (const std::exception&) {
    colourImage_.release();
  }
  return !colourImage_.empty();
}

bool nsOpenCV::ConvertToGrey() {
  // Without a frame there is nothing to convert; the later steps then find
  // no grey image and leave the reference alone.
  if (colourImage_.empty()) {
    greyImage_.release();
    return false;
  }
  UseOwnBuffer(greyImage_, colourImage_.size(), CV_8UC1);
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

  UseOwnBuffer(differenceImage_, greyImage_.size(), greyImage_.type());
  cv::bitwise_xor(greyImage_, referenceImage_, differenceImage_);
  Clean(differenceImage_, structuringElement_);

  // Counted in 64 bits: changed x 100 overflows 32 bits above 21 474 836
  // pixels. The percentage is still truncated and compared strictly.
  const int64_t changed = CountChanged(differenceImage_);
  const int64_t total = static_cast<int64_t>(differenceImage_.rows) * differenceImage_.cols;
  const int64_t percentage = total > 0 ? (changed * 100) / total : 0;
  lastChangedPercentage_ = static_cast<int32_t>(percentage);
  const bool result = percentage > moveBorder;

  UseOwnBuffer(referenceImage_, greyImage_.size(), greyImage_.type());
  greyImage_.copyTo(referenceImage_);
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

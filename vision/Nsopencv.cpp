#include "vision/Nsopencv.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <utility>

#include <unistd.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "capture/CameraSource.h"
#include "capture/FrameLimits.h"
#include "capture/JpegDecoder.h"
#include "capture/OwnBuffer.h"
#include "platform/OpenCvModule.h"
#include "vision/BmpReader.h"
#include "vision/OtsuThreshold.h"
#include "vision/PictureView.h"

namespace {
// A 4 x 4 rectangle anchored at its top-left cell, not its centre: the
// anchor must be passed to every erosion and dilation, or OpenCV centres it.
constexpr int kElementSize = 4;
const cv::Point kElementAnchor(0, 0);
constexpr int kMorphIterations = 2;
// How far right and down the repeated element reaches from a pixel.
constexpr int kMorphReach = kMorphIterations * (kElementSize - 1);

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

// A file that decodes as a JPEG; none is larger than the largest frame
// uncompressed.
bool ReadJpegFile(const std::string& path, cv::Mat& picture) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::vector<uint8_t> bytes;
  char head[2] = {};
  if (!in.read(head, 2) || static_cast<uint8_t>(head[0]) != 0xFF || static_cast<uint8_t>(head[1]) != 0xD8)
    return false;
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  if (size <= 0 || static_cast<uint64_t>(size) > static_cast<uint64_t>(kMaxFramePixels) * 3) return false;
  bytes.resize(static_cast<size_t>(size));
  in.seekg(0);
  if (!in.read(reinterpret_cast<char*>(bytes.data()), size)) return false;
  JpegDecoder decoder;
  return decoder.Decode(bytes.data(), bytes.size(), picture);
}
} // namespace

nsOpenCV::nsOpenCV(const std::string& windowName)
    : windowName_(windowName),
      structuringElement_(cv::getStructuringElement(
          cv::MORPH_RECT, cv::Size(kElementSize, kElementSize), kElementAnchor)) {}

nsOpenCV::~nsOpenCV() {
  // The view reads the colour image when it paints.
  if (previewView_) previewView_->ForgetImage();
  CloseCamera();
  colourImage_.release();
  greyImage_.release();
  ReleaseReferenceImage();
}

bool nsOpenCV::LoadFrame(const std::string& path) {
  imageError_.clear();
  // The frame file is read on every tick: its own layout is read directly,
  // into the previous frame's memory when nobody else holds it; any other
  // picture goes through OpenCV's loader.
  // A file is outside data: whatever its header claims or the loader throws
  // ends as a failed load, never as an exception out of the tick.
  // A frame just grabbed to this file comes from memory when the file is
  // still exactly what was written, or could not be written at all: the
  // bytes read back would be the same.
  const FrameTake take = std::exchange(grabbedTake_, FrameTake::None);
  if (take != FrameTake::None && path == grabbedPath_ &&
      (take == FrameTake::NotWritten || FrameFileUnchanged(path, grabbedStamp_))) {
    cv::swap(colourImage_, grabbed_);
    // The frame before goes back to the reader, unless someone still holds it.
    if (camera_) camera_->GiveBack(grabbed_);
    grabbed_.release();
    return !colourImage_.empty();
  }
  grabbed_.release();
  try {
    const BitmapRead read = ReadBgrBitmap(path, colourImage_);
    if (read == BitmapRead::Read) return true;
    colourImage_.release();
    if (read == BitmapRead::Refused) return false;
    // A JPEG (the idle picture) is decoded here: OpenCV's image files are
    // loaded only for other kinds.
    if (!ReadJpegFile(path, colourImage_)) colourImage_ = ReadImageFile(path, cv::IMREAD_COLOR, &imageError_);
  } catch (const std::exception&) {
    colourImage_.release();
  }
  return !colourImage_.empty();
}

bool nsOpenCV::ConvertToGrey() {
  // Without a frame there is nothing to convert; the later steps then find
  // no grey image and leave the reference alone.
  greyPacked_ = false;
  greyBytesCurrent_ = true;
  if (colourImage_.empty()) {
    greyImage_.release();
    return false;
  }
  greySmall_.release();
  UseOwnBuffer(greyImage_, colourImage_.size(), CV_8UC1);
  // Code 7 (RGB to grey) on the B, G, R image, as the detector always did:
  // the blue channel takes red's weight.
  cv::cvtColor(colourImage_, greyImage_, cv::COLOR_RGB2GRAY);
  return true;
}

// The binarised picture is held at a bit a pixel from here on: OpenCV's
// threshold with Otsu's level, its openings and the comparison give the
// same pixels, at a fraction of the memory traffic.
bool nsOpenCV::Binarize(int32_t threshold) {
  if (!HasGrey()) return false;
  if (greyPacked_) {
    GreyImage();  // binarised again: from its 0-or-255 bytes
    greyPacked_ = false;
  } else if (options_.lightingCutoffPercent > 0) {
    const double factor = std::min(1.0, static_cast<double>(kLightingSampleWidth) / greyImage_.cols);
    cv::resize(greyImage_, greySmall_, cv::Size(), factor, factor, cv::INTER_AREA);
  }
  const int level = threshold < 0 ? OtsuThreshold(greyImage_) : threshold;
  greyBits_.Threshold(greyImage_, level);
  greyPacked_ = true;
  greyBytesCurrent_ = false;
  return ErodeDilate();
}

bool nsOpenCV::ErodeDilate() {
  if (!HasGrey()) return false;
  if (greyPacked_) {
    greyBits_.Open(kMorphReach);
    greyBytesCurrent_ = false;
  } else {
    Clean(greyImage_, structuringElement_);
  }
  return true;
}

const cv::Mat& nsOpenCV::GreyImage() const {
  if (greyPacked_ && !greyBytesCurrent_) {
    greyBits_.ToBytes(greyImage_);
    greyBytesCurrent_ = true;
  }
  return greyImage_;
}

const cv::Mat& nsOpenCV::ImageOf(const StoredFrame& frame) {
  if (frame.packed && !frame.imageCurrent) {
    frame.bits.ToBytes(frame.image);
    frame.imageCurrent = true;
  }
  return frame.image;
}

bool nsOpenCV::DetectMotion(int32_t moveBorder) { return Compare(moveBorder, 0, false); }

bool nsOpenCV::DetectMotion(int32_t moveBorder, uint32_t frameTimeMs) {
  return Compare(moveBorder, frameTimeMs, true);
}

void nsOpenCV::SetMotionOptions(const MotionOptions& options) { options_ = options; }

const cv::Mat& nsOpenCV::ReferenceImage() const {
  static const cv::Mat kNone;
  return references_.empty() ? kNone : ImageOf(references_.back());
}

void nsOpenCV::ReleaseReferenceImage() {
  for (StoredFrame& frame : references_) spare_.push_back(std::move(frame));
  references_.clear();
}

void nsOpenCV::DropOldestReferences(size_t count) {
  for (size_t i = 0; i < count; ++i) spare_.push_back(std::move(references_[i]));
  references_.erase(references_.begin(), references_.begin() + static_cast<std::ptrdiff_t>(count));
}

// The one copy a comparison makes: this frame, into the memory of a frame
// no longer needed.
void nsOpenCV::StoreReference(uint32_t frameTimeMs) {
  if (references_.size() >= kReferenceRingSize) DropOldestReferences(1);
  StoredFrame frame;
  if (!spare_.empty()) {
    frame = std::move(spare_.back());
    spare_.pop_back();
  }
  // Spares beyond the ring's need are not kept.
  if (spare_.size() > kReferenceRingSize) spare_.resize(kReferenceRingSize);
  frame.packed = greyPacked_;
  if (greyPacked_) {
    frame.bits = greyBits_;  // into the spare's words: no allocation
    frame.imageCurrent = false;
  } else {
    UseOwnBuffer(frame.image, greyImage_.size(), greyImage_.type());
    greyImage_.copyTo(frame.image);
    frame.imageCurrent = true;
  }
  frame.timeMs = frameTimeMs;
  greySmall_.copyTo(frame.small);
  references_.push_back(std::move(frame));
}

const cv::Mat& nsOpenCV::MaskFor(cv::Size frameSize) {
  if (scaledFrom_.data != options_.mask.data || scaledMask_.size() != frameSize) {
    scaledFrom_ = options_.mask;
    if (options_.mask.size() == frameSize)
      scaledMask_ = options_.mask;
    else
      cv::resize(options_.mask, scaledMask_, frameSize, 0, 0, cv::INTER_NEAREST);
    watchedPixels_ = cv::countNonZero(scaledMask_);
    maskBitsCurrent_ = false;
  }
  return scaledMask_;
}

bool nsOpenCV::Compare(int32_t moveBorder, uint32_t frameTimeMs, bool useInterval) {
  lastWasLightingChange_ = false;
  lastDifference_ = Difference::None;
  lastChangedPermille_ = 0;
  if (!HasGrey()) return false;
  const cv::Size size = GreySize();
  // A frame of another size than the references cannot be compared with
  // them: it is treated like the first frame and only becomes a reference.
  if (references_.empty() || references_.back().Size() != size) {
    ReleaseReferenceImage();
    StoreReference(frameTimeMs);
    lastChangedPercentage_ = 0;
    return false;
  }

  // The newest stored frame old enough; differences wrap with the counter.
  size_t reference = references_.size() - 1;
  if (useInterval && options_.referenceIntervalMs > 0) {
    size_t i = references_.size();
    while (i > 0 && frameTimeMs - references_[i - 1].timeMs < options_.referenceIntervalMs) --i;
    if (i > 0) {
      reference = i - 1;
    } else if (references_.size() >= kReferenceRingSize) {
      reference = 0;
    } else {
      // Nothing old enough yet, as on the first frame: no comparison.
      StoreReference(frameTimeMs);
      lastChangedPercentage_ = 0;
      return false;
    }
  }
  // Frames older than this reference can never be one again.
  DropOldestReferences(reference);

  // Counted in 64 bits: changed x 100 overflows 32 bits above 21 474 836
  // pixels. The percentage is still truncated and compared strictly.
  int64_t total = static_cast<int64_t>(size.width) * size.height;
  const StoredFrame& referenceFrame = references_.front();
  const bool packed = greyPacked_ && referenceFrame.packed;
  const int64_t changed = packed ? CountChangedBits(referenceFrame, size, total)
                                 : CountChangedBytes(referenceFrame, size, total);
  lastDifference_ = packed ? Difference::Bits : Difference::Bytes;
  // A binarised frame was opened once already before the difference was.
  regionShift_ = greyPacked_ ? 2 * kMorphReach : kMorphReach;
  const int64_t percentage = total > 0 ? (changed * 100) / total : 0;
  const int64_t permille = total > 0 ? (changed * 1000) / total : 0;
  lastChangedPercentage_ = static_cast<int32_t>(percentage);
  lastChangedPermille_ = static_cast<int32_t>(permille);
  bool result = options_.moveBorderPermille > 0 ? permille > options_.moveBorderPermille
                                                 : percentage > moveBorder;

  // A change over more of the picture than the cutoff is light, not
  // motion: the lit picture is what later frames are compared with.
  if (options_.lightingCutoffPercent > 0 &&
      (percentage > options_.lightingCutoffPercent ||
       LightChangedPercentage(referenceFrame) > std::max(options_.lightingCutoffPercent, kLightingGreyShare))) {
    lastWasLightingChange_ = true;
    result = false;
    ReleaseReferenceImage();
  }
  StoreReference(frameTimeMs);
  return result;
}

// The share of the small grey copies' pixels whose level moved by more than
// kLightingStepLevels; 0 when either copy is missing.
int64_t nsOpenCV::LightChangedPercentage(const StoredFrame& reference) {
  if (greySmall_.empty() || reference.small.size() != greySmall_.size()) return 0;
  cv::absdiff(greySmall_, reference.small, lightDifference_);
  const int64_t moved = cv::countNonZero(lightDifference_ > kLightingStepLevels);
  return moved * 100 / static_cast<int64_t>(greySmall_.total());
}

// Both binarised: XOR, opening and count at a bit a pixel. A set bit is
// a pixel whose 0-or-255 difference has its low bit set.
int64_t nsOpenCV::CountChangedBits(const StoredFrame& reference, cv::Size size, int64_t& total) {
  differenceBits_.Xor(greyBits_, reference.bits);
  differenceBits_.Open(kMorphReach);
  if (!options_.mask.empty()) {
    MaskFor(size);
    if (!maskBitsCurrent_) {
      maskBits_.LowBits(scaledMask_);
      maskBitsCurrent_ = true;
    }
    differenceBits_.And(maskBits_);
    total = watchedPixels_;
  }
  return differenceBits_.Count();
}

// Any other grey pictures: their bytes, as they are.
int64_t nsOpenCV::CountChangedBytes(const StoredFrame& reference, cv::Size size, int64_t& total) {
  const cv::Mat& grey = GreyImage();
  UseOwnBuffer(differenceImage_, size, grey.type());
  cv::bitwise_xor(grey, ImageOf(reference), differenceImage_);
  Clean(differenceImage_, structuringElement_);
  if (!options_.mask.empty()) {
    cv::bitwise_and(differenceImage_, MaskFor(size), differenceImage_);
    total = watchedPixels_;
  }
  return CountChanged(differenceImage_);
}

std::vector<MotionRegion> nsOpenCV::MotionRegions(size_t most) const {
  std::vector<MotionRegion> regions;
  if (lastDifference_ == Difference::None || most == 0) return regions;
  const cv::Mat* difference = &differenceImage_;
  if (lastDifference_ == Difference::Bits) {
    differenceBits_.ToBytes(regionBytes_);
    difference = &regionBytes_;
  }
  cv::Mat labels, stats, centroids;
  const int count = cv::connectedComponentsWithStats(*difference, labels, stats, centroids, 8, CV_32S);
  for (int i = 1; i < count; ++i) {
    const int64_t pixels = stats.at<int>(i, cv::CC_STAT_AREA);
    if (pixels < kMinRegionPixels) continue;
    // The openings' element is anchored at its top-left cell, so each one
    // moves what survives it up and left by its reach: moved back, the box
    // is where the change was in the frame.
    MotionRegion region;
    region.x = std::min(stats.at<int>(i, cv::CC_STAT_LEFT) + regionShift_, difference->cols - 1);
    region.y = std::min(stats.at<int>(i, cv::CC_STAT_TOP) + regionShift_, difference->rows - 1);
    region.width = std::min(stats.at<int>(i, cv::CC_STAT_WIDTH), difference->cols - region.x);
    region.height = std::min(stats.at<int>(i, cv::CC_STAT_HEIGHT), difference->rows - region.y);
    region.pixels = pixels;
    regions.push_back(region);
  }
  std::stable_sort(regions.begin(), regions.end(),
                   [](const MotionRegion& a, const MotionRegion& b) { return a.pixels > b.pixels; });
  if (regions.size() > most) regions.resize(most);
  return regions;
}

bool nsOpenCV::SaveImage(const std::string& path) {
  if (colourImage_.empty()) return false;
  imageError_.clear();
  if (WriteImageFile(path, colourImage_, &imageError_)) return true;
  // An older picture under the name would go out as this one.
  ::unlink(path.c_str());
  return false;
}

void nsOpenCV::ReleaseGreyImage() {
  greyImage_.release();
  greyPacked_ = false;
  greyBytesCurrent_ = true;
}

#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "capture/FrameStore.h"
#include "vision/BinaryPicture.h"
#include "vision/MotionRegion.h"
#include "vision/MotionOptions.h"

class CameraSource;
class IPictureView;


// Screen rectangle of the picture view, recorded once after the first image.
struct PreviewRect {
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;
};

// The one object that owns the camera and all image work: the detector
// (load, grey, binarise, compare with an earlier frame), the capture
// operations and the picture view. An empty cv::Mat is an absent image.
class nsOpenCV {
public:
  explicit nsOpenCV(const std::string& windowName);
  virtual ~nsOpenCV();
  nsOpenCV(const nsOpenCV&) = delete;
  nsOpenCV& operator=(const nsOpenCV&) = delete;

  // Detector.
  bool LoadFrame(const std::string& path);
  bool ConvertToGrey();
  bool Binarize(int32_t threshold);
  bool ErodeDilate();
  // Compares with the previous binarised frame.
  bool DetectMotion(int32_t moveBorder);
  // Compares with the last binarised frame taken at least the options'
  // interval before `frameTimeMs` (tick-counter milliseconds; wraps).
  bool DetectMotion(int32_t moveBorder, uint32_t frameTimeMs);
  // Used by every later comparison.
  void SetMotionOptions(const MotionOptions& options);
  // Writes the colour frame; a file that could not be written is removed,
  // so that an older picture never stands in for it.
  bool SaveImage(const std::string& path);
  // Why the last LoadFrame or SaveImage failed when OpenCV or its module
  // was the cause (a user's words); empty otherwise.
  const std::string& ImageError() const { return imageError_; }
  void ReleaseGreyImage();

  // Capture.
  // The stream address (a URL or a video file), when not empty, stands in
  // for the camera number.
  bool OpenCamera(int32_t cameraNumber, const std::string& url);
  // Why the last OpenCamera failed, in words for the user, when more is
  // known than that it did (see CameraFailedText); empty otherwise.
  const std::string& OpenFailure() const { return openFailure_; }
  // Writes the latest whole frame as a 24-bit BMP; false when there was no
  // frame or the file could not be written completely.
  bool GrabFrameToFile(const std::string& path);
  // The same, and the frame kept: the LoadFrame of `path` that follows
  // takes it from memory when the file provably still holds what was
  // written, or when it could not be written at all.
  FrameTake GrabFrame(const std::string& path);
  bool CameraOpen() const { return camera_ != nullptr; }
  // Told on the camera's reader thread of each new frame, for this and
  // every later open.
  void SetFrameArrival(std::function<void()> call);
  void CloseCamera();
  // True when the open camera holds a frame that no GrabFrameToFile has
  // written yet. A tick without one can skip its image work: two identical
  // frames never differ.
  bool HasNewFrame() const;
  // The event archive: whether the camera keeps each frame's JPEG (an
  // MJPEG source's own, any other source's compressed once), from now and
  // for every later open; and the JPEG of the frame GrabFrameToFile wrote
  // last (shared, not copied) with its arrival time (steady clock, ms).
  void SetKeepJpeg(bool keep);
  bool LatestJpeg(cv::Mat& jpeg, int64_t& timeMs) const;
  // Every JPEG kept goes to `tap` too, for this open and every later one.
  void SetJpegTap(JpegTap tap);

  // Picture view. The core draws no widgets: the host view is the main
  // window's, attached after the first image sized the view.
  bool CreatePreviewWindow();
  bool AttachPreviewWindow(IPictureView* host);
  int32_t PreviewWidth() const;
  int32_t PreviewHeight() const;
  bool ShowFrame();

  const std::string& WindowName() const { return windowName_; }
  const cv::Mat& ColourImage() const { return colourImage_; }
  // After binarisation the picture is held at a bit a pixel; its 0-or-255
  // bytes are made the first time they are asked for.
  const cv::Mat& GreyImage() const;
  // The newest stored binarised frame: the reference of the next
  // comparison when the interval is 0. Empty before the first.
  const cv::Mat& ReferenceImage() const;
  // Binarised frames held as candidate references.
  size_t StoredReferences() const { return references_.size(); }
  // Percentage of changed pixels found by the last comparison (of the
  // watched pixels when a mask is set).
  int32_t LastChangedPercentage() const { return lastChangedPercentage_; }
  // The same in tenths of a percent.
  int32_t LastChangedPermille() const { return lastChangedPermille_; }
  // True when the last comparison changed more than the lighting cutoff.
  bool LastWasLightingChange() const { return lastWasLightingChange_; }
  // The connected regions (8-neighbourhood) of the last comparison's
  // cleaned difference, of kMinRegionPixels and more, largest first; at
  // most `most` of them. Empty when the last frame was not compared. Made
  // when asked for, so a frame without motion costs nothing.
  std::vector<MotionRegion> MotionRegions(size_t most) const;

private:
  struct StoredFrame {
    mutable cv::Mat image;       // the frame's bytes; made from `bits` when asked for
    mutable bool imageCurrent = false;
    BinaryPicture bits;          // the frame, when it was binarised
    bool packed = false;
    uint32_t timeMs = 0;
    cv::Mat small;               // a small grey copy, with the lighting cutoff on
    cv::Size Size() const { return packed ? bits.Size() : image.size(); }
  };
  bool HasGrey() const { return greyPacked_ || !greyImage_.empty(); }
  cv::Size GreySize() const { return greyPacked_ ? greyBits_.Size() : greyImage_.size(); }
  static const cv::Mat& ImageOf(const StoredFrame& frame);
  int64_t CountChangedBits(const StoredFrame& reference, cv::Size size, int64_t& total);
  int64_t CountChangedBytes(const StoredFrame& reference, cv::Size size, int64_t& total);
  bool Compare(int32_t moveBorder, uint32_t frameTimeMs, bool useInterval);
  void ReleaseReferenceImage();
  void StoreReference(uint32_t frameTimeMs);
  void DropOldestReferences(size_t count);
  const cv::Mat& MaskFor(cv::Size frameSize);

  std::string windowName_;
  std::string imageError_;
  cv::Mat colourImage_;
  // The frame of the last GrabFrame, until its LoadFrame.
  cv::Mat grabbed_;
  std::string grabbedPath_;
  FrameTake grabbedTake_ = FrameTake::None;
  FrameFileStamp grabbedStamp_;     // 8-bit B, G, R: the last frame loaded
  mutable cv::Mat greyImage_;  // 8-bit, 1 channel; binarised, made from greyBits_ when asked for
  BinaryPicture greyBits_;     // the binarised grey image
  bool greyPacked_ = false;    // greyBits_ holds the grey image
  mutable bool greyBytesCurrent_ = true;
  IPictureView* previewView_ = nullptr;  // not owned: the host's view
  PreviewRect previewRect_;
  std::unique_ptr<CameraSource> camera_;
  std::string openFailure_;
  std::function<void()> frameArrival_;  // present while a camera is open
  bool keepJpeg_ = false;
  JpegTap jpegTap_;
  // Binarised frames of earlier comparisons, oldest first, with their
  // times; buffers dropped from it are kept in `spare_` for reuse.
  std::vector<StoredFrame> references_;
  std::vector<StoredFrame> spare_;
  MotionOptions options_;
  cv::Mat scaledMask_;         // options_.mask at the frame's size
  cv::Mat scaledFrom_;         // the mask it was made from, held so it stays the same
  int64_t watchedPixels_ = 0;  // 255 pixels of scaledMask_
  BinaryPicture maskBits_;     // scaledMask_ at a bit a pixel
  bool maskBitsCurrent_ = false;
  cv::Mat differenceImage_;  // the comparison's own working image, kept for the next one
  BinaryPicture differenceBits_;
  cv::Mat structuringElement_;
  int32_t lastChangedPercentage_ = 0;
  int32_t lastChangedPermille_ = 0;
  bool lastWasLightingChange_ = false;
  // A small copy of the grey frame, made only with the lighting cutoff on;
  // empty: not made.
  cv::Mat greySmall_;
  cv::Mat lightDifference_;
  int64_t LightChangedPercentage(const StoredFrame& reference);
  // Which working picture holds the last comparison's difference, if any.
  enum class Difference { None, Bits, Bytes } lastDifference_ = Difference::None;
  mutable cv::Mat regionBytes_;  // the difference as bytes, for the region search
  int regionShift_ = 0;          // how far the openings moved the difference up and left
};

#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include <opencv2/core.hpp>

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
// (load, grey, binarise, compare with the previous frame), the capture
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
  bool DetectMotion(int32_t moveBorder);
  bool SaveImage(const std::string& path);
  void ReleaseGreyImage();

  // Capture.
  bool OpenCamera(int32_t cameraNumber);
  // Writes the latest whole frame as a 24-bit BMP; false when there was no
  // frame or the file could not be written completely.
  bool GrabFrameToFile(const std::string& path);
  void CloseCamera();
  // True when the open camera holds a frame that no GrabFrameToFile has
  // written yet. A tick without one can skip its image work: two identical
  // frames never differ.
  bool HasNewFrame() const;

  // Picture view. The core draws no widgets: the host view is the main
  // window's, attached after the first image sized the view.
  bool CreatePreviewWindow();
  bool AttachPreviewWindow(IPictureView* host);
  int32_t PreviewWidth() const;
  int32_t PreviewHeight() const;
  bool ShowFrame();

  const std::string& WindowName() const { return windowName_; }
  const cv::Mat& ColourImage() const { return colourImage_; }
  const cv::Mat& GreyImage() const { return greyImage_; }
  const cv::Mat& ReferenceImage() const { return referenceImage_; }
  // Percentage of changed pixels found by the last comparison.
  int32_t LastChangedPercentage() const { return lastChangedPercentage_; }

private:
  void ReleaseReferenceImage() { referenceImage_.release(); }

  std::string windowName_;
  cv::Mat colourImage_;     // 8-bit B, G, R: the last frame loaded
  cv::Mat greyImage_;       // 8-bit, 1 channel, binarised in place
  IPictureView* previewView_ = nullptr;  // not owned: the host's view
  PreviewRect previewRect_;
  std::unique_ptr<CameraSource> camera_;  // present while a camera is open
  cv::Mat referenceImage_;  // binarised grey image of the previous comparison
  cv::Mat differenceImage_;  // the comparison's own working image, kept for the next one
  cv::Mat structuringElement_;
  int32_t lastChangedPercentage_ = 0;
};

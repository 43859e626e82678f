#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "vision/Nsopencv.h"

// The camera and detector operations one monitoring tick uses, so that a
// test can feed the cycle its own frames and detection results.
class IMonitorCamera {
public:
  virtual ~IMonitorCamera() = default;

  // The stream address, when not empty, stands in for the camera number.
  virtual bool OpenCamera(int32_t cameraNumber, const std::string& url) = 0;
  // Why the last OpenCamera failed, when more is known (CameraFailedText's reason).
  virtual std::string OpenFailure() { return ""; }
  virtual void CloseCamera() = 0;
  virtual bool HasNewFrame() = 0;
  virtual bool GrabFrameToFile(const std::string& path) = 0;
  // The same for the monitoring tick, which goes on with the frame when
  // the file cannot be written.
  virtual FrameTake GrabFrame(const std::string& path) {
    return GrabFrameToFile(path) ? FrameTake::Written : FrameTake::None;
  }
  virtual bool LoadFrame(const std::string& path) = 0;
  virtual bool ConvertToGrey() = 0;
  virtual bool Binarize(int32_t threshold) = 0;
  // Compares the binarised frame taken at `frameTimeMs` (tick counter) with
  // an earlier one, as `options` say.
  virtual bool DetectMotion(int32_t moveBorder, uint32_t frameTimeMs,
                            const MotionOptions& options) = 0;
  virtual bool ShowFrame() = 0;

  // Tells `wake` (on another thread) of each new frame, while
  // WakesOnFrames: then the tick need not poll for frames.
  virtual void SetFrameWake(std::function<void()> wake) { (void)wake; }
  virtual bool WakesOnFrames() { return false; }

  // The object whose picture the mails attach; nullptr when there is none.
  virtual nsOpenCV* Detector() = 0;

  // The event archive: keep each frame's compressed picture (from the next
  // frame on, across reopens), and the JPEG of the frame last grabbed,
  // shared (one row of bytes, never written into), with its arrival time
  // in ms of a steady clock. A camera without them keeps nothing.
  virtual void SetKeepJpeg(bool keep) { (void)keep; }
  virtual bool LatestJpeg(cv::Mat& jpeg, int64_t& timeMs) {
    (void)jpeg;
    (void)timeMs;
    return false;
  }
  // Every JPEG the camera publishes goes to `tap` too (empty: none); false
  // when this camera cannot, and the tick feeds the archive instead.
  virtual bool SetJpegTap(JpegTap tap) {
    (void)tap;
    return false;
  }
};

// A window that owns the monitoring camera, which lends it to the option
// dialog's camera test while monitoring is stopped.
class ICameraOwner {
public:
  virtual ~ICameraOwner() = default;
  // nullptr when the window holds no camera object.
  virtual IMonitorCamera* Camera() const = 0;
};

// The name of the camera-and-vision object, the same in every host.
constexpr char kCameraObjectName[] = "IMAGE";

// The real one: every call goes to the nsOpenCV it owns.
class NsOpenCVCamera : public IMonitorCamera {
public:
  explicit NsOpenCVCamera(const std::string& windowName = kCameraObjectName)
      : object_(std::make_unique<nsOpenCV>(windowName)) {}

  bool OpenCamera(int32_t cameraNumber, const std::string& url) override {
    return object_->OpenCamera(cameraNumber, url);
  }
  std::string OpenFailure() override { return object_->OpenFailure(); }
  void CloseCamera() override { object_->CloseCamera(); }
  bool HasNewFrame() override { return object_->HasNewFrame(); }
  bool GrabFrameToFile(const std::string& path) override { return object_->GrabFrameToFile(path); }
  // A camera of a test or tool that writes the frame file itself is read
  // back from the file it wrote.
  FrameTake GrabFrame(const std::string& path) override {
    return object_->CameraOpen() ? object_->GrabFrame(path) : IMonitorCamera::GrabFrame(path);
  }
  void SetFrameWake(std::function<void()> wake) override { object_->SetFrameArrival(std::move(wake)); }
  // A camera of a test or tool that only says it opened never wakes.
  bool WakesOnFrames() override { return object_->CameraOpen(); }
  bool LoadFrame(const std::string& path) override { return object_->LoadFrame(path); }
  bool ConvertToGrey() override { return object_->ConvertToGrey(); }
  bool Binarize(int32_t threshold) override { return object_->Binarize(threshold); }
  bool DetectMotion(int32_t moveBorder, uint32_t frameTimeMs,
                    const MotionOptions& options) override {
    object_->SetMotionOptions(options);
    return object_->DetectMotion(moveBorder, frameTimeMs);
  }
  bool ShowFrame() override { return object_->ShowFrame(); }
  nsOpenCV* Detector() override { return object_.get(); }
  void SetKeepJpeg(bool keep) override { object_->SetKeepJpeg(keep); }
  bool LatestJpeg(cv::Mat& jpeg, int64_t& timeMs) override { return object_->LatestJpeg(jpeg, timeMs); }
  bool SetJpegTap(JpegTap tap) override {
    object_->SetJpegTap(std::move(tap));
    return true;
  }

private:
  std::unique_ptr<nsOpenCV> object_;
};

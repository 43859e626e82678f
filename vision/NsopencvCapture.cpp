// The capture operations of nsOpenCV: they live with the class, and lean on
// capture/ for the camera and the frame file, which knows nothing of them.
#include "vision/Nsopencv.h"

#include "capture/CameraAddress.h"
#include "capture/CameraSource.h"
#include "settings/Vardocamdef.h"
#include "platform/Clock.h"

bool nsOpenCV::OpenCamera(int32_t cameraNumber, const std::string& url) {
  // Whatever an earlier open left behind is let go first, so the device is
  // free for this one.
  CloseCamera();
  const CaptureTimings timings = CurrentCaptureTimings();
  // With a sub-stream set, that is what is watched; the clips come from `url`.
  const std::string& watched = AppSettings.CAMERA_DETECT_URL;
  const bool twoStreams = !url.empty() && !watched.empty() && watched != url;
  openFailure_.clear();
  std::unique_ptr<CameraSource> source =
      CameraSource::Open(cameraNumber, twoStreams ? watched : url, timings, keepJpeg_, AppSettings.CAMERA_RTSP_UDP,
                         twoStreams ? url : "", &openFailure_);
  if (!source) return false;
  // Give the camera time to settle its exposure before the first tick. A
  // stream camera has been sending all along: its first frame counts.
  if (!IsStreamCameraAddress(url)) Sleep(timings.settleMs);
  ReleaseReferenceImage();
  if (jpegTap_) source->SetJpegTap(jpegTap_);
  camera_ = std::move(source);
  camera_->SetArrivalCall(frameArrival_);
  return true;
}

void nsOpenCV::SetFrameArrival(std::function<void()> call) {
  frameArrival_ = std::move(call);
  if (camera_) camera_->SetArrivalCall(frameArrival_);
}

bool nsOpenCV::GrabFrameToFile(const std::string& path) {
  return camera_ && camera_->WriteLatestFrame(path);
}

FrameTake nsOpenCV::GrabFrame(const std::string& path) {
  grabbed_.release();
  grabbedTake_ = camera_ ? camera_->TakeLatestFrame(path, grabbed_, grabbedStamp_) : FrameTake::None;
  grabbedPath_ = path;
  return grabbedTake_;
}

void nsOpenCV::CloseCamera() { camera_.reset(); }

bool nsOpenCV::HasNewFrame() const { return camera_ && camera_->HasNewFrame(); }

void nsOpenCV::SetKeepJpeg(bool keep) {
  keepJpeg_ = keep;
  if (camera_) camera_->SetKeepJpeg(keep);
}

void nsOpenCV::SetJpegTap(JpegTap tap) {
  jpegTap_ = std::move(tap);
  if (camera_) camera_->SetJpegTap(jpegTap_);
}

bool nsOpenCV::LatestJpeg(cv::Mat& jpeg, int64_t& timeMs) const {
  return camera_ && camera_->LatestJpeg(jpeg, timeMs);
}

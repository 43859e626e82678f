#include "vision/Nsopencv.h"
#include "vision/PictureView.h"

// The view sizes itself to the first image: that size is what the scroll
// ranges are set from. The image is shown once a host view is attached.
bool nsOpenCV::CreatePreviewWindow() {
  previewRect_ = PreviewRect{};
  if (!colourImage_.empty()) {
    previewRect_.right = colourImage_.cols;
    previewRect_.bottom = colourImage_.rows;
  }
  return true;
}

bool nsOpenCV::AttachPreviewWindow(IPictureView* host) {
  // A view left behind would go on reading this object's image.
  if (previewView_ && previewView_ != host) previewView_->ForgetImage();
  previewView_ = host;
  ShowFrame();
  return true;
}

int32_t nsOpenCV::PreviewWidth() const { return previewRect_.right - previewRect_.left; }

int32_t nsOpenCV::PreviewHeight() const { return previewRect_.bottom - previewRect_.top; }

bool nsOpenCV::ShowFrame() {
  if (previewView_ && !colourImage_.empty()) previewView_->ShowImage(colourImage_);
  return true;
}

#include "app/PictureView.h"

#include <QPaintEvent>
#include <QPainter>
#include <opencv2/imgproc.hpp>

namespace {
const QColor kMarkColour(255, 64, 32);
constexpr int kMarkPenWidth = 2;
const QColor kCaptionBackground(0, 0, 0, 160);
const QColor kCaptionColour(255, 255, 255);
constexpr int kCaptionMargin = 4;
} // namespace

TPictureView::TPictureView(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
}

bool TPictureView::HasFrame() const {
  return frame_ && !frame_->empty() && frame_->type() == CV_8UC3 &&
         frame_->cols == pictureSize_.width() && frame_->rows == pictureSize_.height();
}

void TPictureView::ShowImage(const cv::Mat& image) {
  if (image.empty() || image.type() != CV_8UC3) return;
  frame_ = &image;
  ++serial_;
  const QSize size(image.cols, image.rows);
  if (size != pictureSize_) {
    pictureSize_ = size;
    if (!fit_) resize(size);
    emit PictureSizeChanged(size);
  }
  // Qt paints nothing for a hidden or minimised window; the conversion
  // waits in the paint until it is seen again. A covered window Qt would
  // paint, so the frame waits here. The whole view is painted: a picture
  // that covers less than the one before must clear the rest.
  if (covered_)
    pending_ = true;
  else
    update();
}

void TPictureView::SetCovered(bool covered) {
  covered_ = covered;
  if (!covered_ && pending_) {
    pending_ = false;
    update();
  }
}

void TPictureView::ForgetImage() { frame_ = nullptr; }

void TPictureView::Clear() {
  frame_ = nullptr;
  converted_ = QImage();
  convertedRect_ = QRect();
  scaled_.release();
  const bool changed = !pictureSize_.isEmpty();
  pictureSize_ = QSize();
  if (!fit_) resize(0, 0);
  if (changed) emit PictureSizeChanged(pictureSize_);
  update();
}

void TPictureView::SetMark(const QRect& box) {
  if (box == mark_) return;
  mark_ = box;
  update();
}

void TPictureView::SetCaption(const QString& caption) {
  if (caption == caption_) return;
  caption_ = caption;
  update();
}

void TPictureView::SetFitToWindow(bool fit) {
  if (fit == fit_) return;
  fit_ = fit;
  convertedRect_ = QRect();
  if (!fit_) resize(pictureSize_);
  update();
}

QRect TPictureView::PictureRect() const {
  if (pictureSize_.isEmpty()) return {};
  if (!fit_) return QRect(QPoint(0, 0), pictureSize_);
  // Scaled down only, aspect kept; a picture smaller than the box stays
  // at its own size.
  QSize fitted = pictureSize_;
  if (fitted.width() > width() || fitted.height() > height())
    fitted = pictureSize_.scaled(size(), Qt::KeepAspectRatio);
  return QRect(QPoint(0, 0), fitted);
}

// Converts the given part of the frame (fitted: the whole frame, scaled
// once to the painted size) into the 32-bit layout the window paints: B,
// G, R, 255 in memory is Qt's RGB32.
void TPictureView::Convert(const QRect& area) {
  if (converted_.size() != area.size()) converted_ = QImage(area.size(), QImage::Format_RGB32);
  cv::Mat target(area.height(), area.width(), CV_8UC4, converted_.bits(),
                 static_cast<size_t>(converted_.bytesPerLine()));
  if (fit_ && area.size() != pictureSize_) {
    // Bilinear: area averaging looks smoother but costs a camera frame's
    // worth of detection time again on every frame.
    cv::resize(*frame_, scaled_, cv::Size(area.width(), area.height()), 0, 0, cv::INTER_LINEAR);
    cv::cvtColor(scaled_, target, cv::COLOR_BGR2BGRA);
  } else {
    const cv::Mat part = (*frame_)(cv::Rect(area.x(), area.y(), area.width(), area.height()));
    cv::cvtColor(part, target, cv::COLOR_BGR2BGRA);
  }
  convertedRect_ = area;
  convertedSerial_ = serial_;
  ++conversions_;
}

void TPictureView::paintEvent(QPaintEvent* event) {
  QPainter p(this);
  const QRect picture = PictureRect();
  if (HasFrame() && !picture.isEmpty()) {
    // Everything in sight is converted at once, so that scrolling within
    // it and partial repaints reuse the same conversion.
    const QRect needed = fit_ ? picture : (visibleRegion().boundingRect() & picture);
    const bool stale = convertedSerial_ != serial_ || !convertedRect_.contains(needed) ||
                       (fit_ && convertedRect_ != picture);
    if (!needed.isEmpty() && stale) Convert(needed);
  }
  // Around the picture, and where no frame could be converted, the box's
  // own colour; without a new frame the last converted one stays.
  QRegion background(event->rect());
  const QRect shown = convertedRect_ & picture;
  if (!converted_.isNull() && !shown.isEmpty()) {
    p.drawImage(shown.topLeft(), converted_, shown.translated(-convertedRect_.topLeft()));
    background -= shown;
  }
  for (const QRect& r : background) p.fillRect(r, palette().window());
  PaintMarks(p, picture);
}

// The box scaled as the picture is; the caption at the picture's lower
// left (it scrolls with the picture) or, without one, the view's upper left.
void TPictureView::PaintMarks(QPainter& p, const QRect& picture) {
  if (!mark_.isEmpty() && !picture.isEmpty()) {
    const double sx = static_cast<double>(picture.width()) / pictureSize_.width();
    const double sy = static_cast<double>(picture.height()) / pictureSize_.height();
    const QRectF box(mark_.x() * sx, mark_.y() * sy, mark_.width() * sx, mark_.height() * sy);
    p.setPen(QPen(kMarkColour, kMarkPenWidth));
    p.setBrush(Qt::NoBrush);
    p.drawRect(box.intersected(QRectF(picture)));
  }
  if (caption_.isEmpty()) return;
  const QFontMetrics metrics(font());
  QRect band(0, 0, metrics.horizontalAdvance(caption_) + 2 * kCaptionMargin, metrics.height() + 2 * kCaptionMargin);
  if (!picture.isEmpty()) band.moveBottomLeft(picture.bottomLeft());
  p.fillRect(band, kCaptionBackground);
  p.setPen(kCaptionColour);
  p.drawText(band, Qt::AlignCenter, caption_);
}

#include "app/PictureView.h"

#include <QPaintEvent>
#include <QPainter>
#include <opencv2/imgproc.hpp>

TPictureView::TPictureView(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void TPictureView::ShowImage(const cv::Mat& image) {
  if (image.empty() || image.type() != CV_8UC3) return;
  // Converted once per frame, into a buffer reused while the size stays,
  // to the 32-bit layout the window paints without converting again on
  // every paint: B, G, R, 255 in memory is Qt's RGB32.
  cv::cvtColor(image, buffer_, cv::COLOR_BGR2BGRA);
  picture_ = QImage(buffer_.data, buffer_.cols, buffer_.rows, static_cast<qsizetype>(buffer_.step),
                    QImage::Format_RGB32);
  if (size() != picture_.size()) resize(picture_.size());
  update();
}

void TPictureView::Clear() {
  picture_ = QImage();
  buffer_.release();
  resize(0, 0);
  update();
}

void TPictureView::paintEvent(QPaintEvent* event) {
  QPainter p(this);
  if (picture_.isNull())
    p.fillRect(event->rect(), palette().window());
  else
    p.drawImage(event->rect(), picture_, event->rect());
}

#include "app/PictureView.h"

#include <QPaintEvent>
#include <QPainter>

TPictureView::TPictureView(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void TPictureView::ShowImage(const cv::Mat& image) {
  if (image.empty() || image.type() != CV_8UC3) return;
  // Copied into a buffer that is reused while the size stays: one copy per
  // frame and no allocation; Qt reads the B, G, R bytes as they are.
  image.copyTo(buffer_);
  picture_ = QImage(buffer_.data, buffer_.cols, buffer_.rows, static_cast<qsizetype>(buffer_.step),
                    QImage::Format_BGR888);
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

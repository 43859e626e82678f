#pragma once
#include <QImage>
#include <QWidget>
#include <opencv2/core.hpp>

#include "vision/PictureView.h"

// The camera picture inside the main window's scroll box: at its top-left
// corner, at the image's own pixel size, repainted on every frame shown.
class TPictureView : public QWidget, public IPictureView {
  Q_OBJECT
public:
  explicit TPictureView(QWidget* parent = nullptr);

  void ShowImage(const cv::Mat& image) override;
  // Shows no picture.
  void Clear();
  // The picture as last shown (tests, screenshots).
  const QImage& Picture() const { return picture_; }

protected:
  void paintEvent(QPaintEvent* event) override;

private:
  cv::Mat buffer_;   // our copy: the caller may change its image afterwards
  QImage picture_;   // wraps buffer_ without copying
};

#pragma once
#include <QImage>
#include <QString>
#include <QWidget>
#include <opencv2/core.hpp>

#include "vision/PictureView.h"

// The camera picture inside the main window's scroll box, at its top-left
// corner: at the image's own pixel size, or, fitted to the window, scaled
// down with its aspect kept. A frame is converted for the screen only when
// it is painted, and only the part that is in sight: a window that is
// hidden, in the tray, minimised or covered converts nothing, and shows the
// newest frame as soon as it is seen again. What the window knows of the
// picture (a person's box, when monitoring starts again) is drawn over it.
class QPainter;

class TPictureView : public QWidget, public IPictureView {
  Q_OBJECT
public:
  explicit TPictureView(QWidget* parent = nullptr);

  void ShowImage(const cv::Mat& image) override;
  void ForgetImage() override;
  // Shows no picture.
  void Clear();

  // Fitted, the view takes the size its owner gives it; otherwise it sizes
  // itself to each picture.
  void SetFitToWindow(bool fit);
  bool FitToWindow() const { return fit_; }
  // The window is wholly covered by others: frames wait unpainted until
  // it is not.
  void SetCovered(bool covered);
  // A box drawn over the picture (the person found), in the picture's own
  // pixels; an empty one draws none.
  void SetMark(const QRect& box);
  QRect Mark() const { return mark_; }
  // A line of text over the picture's lower left (when monitoring starts
  // again); an empty one draws none.
  void SetCaption(const QString& caption);
  QString Caption() const { return caption_; }

  // The size of the picture last shown, unscaled.
  QSize PictureSize() const { return pictureSize_; }
  // Where the picture is painted inside the view.
  QRect PictureRect() const;

  // The part converted at the last paint, and where it sits in the view
  // (tests, screenshots).
  const QImage& Picture() const { return converted_; }
  QRect PictureArea() const { return convertedRect_; }
  // How many times a frame was converted for the screen.
  int Conversions() const { return conversions_; }

signals:
  // The picture's own size changed (the scroll range follows it).
  void PictureSizeChanged(QSize size);

protected:
  void paintEvent(QPaintEvent* event) override;

private:
  bool HasFrame() const;
  void Convert(const QRect& area);
  void PaintMarks(QPainter& p, const QRect& picture);

  const cv::Mat* frame_ = nullptr;  // not owned: see IPictureView
  unsigned serial_ = 0;             // counts ShowImage calls
  unsigned convertedSerial_ = 0;
  QSize pictureSize_;
  bool fit_ = false;
  bool covered_ = false;
  bool pending_ = false;  // a frame came while covered
  cv::Mat scaled_;      // the fitted frame before its conversion, reused
  QImage converted_;    // the converted part, reused while its size stays
  QRect convertedRect_;
  int conversions_ = 0;
  QRect mark_;
  QString caption_;
};

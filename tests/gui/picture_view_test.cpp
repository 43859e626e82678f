#include <memory>

#include <QApplication>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "app/PictureView.h"

namespace {
QApplication& App() {
  static int argc = 1;
  static char name[] = "picture_view_test";
  static char* argv[] = {name, nullptr};
  // Never destroyed: widgets of static lifetime elsewhere may outlive it.
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

// A 1920 x 1080 frame, dark grey, with a coloured 8 x 8 mark in each corner
// (B, G, R): top-left red, top-right green, bottom-left blue, bottom-right
// white.
cv::Mat HdFrame() {
  cv::Mat frame(1080, 1920, CV_8UC3, cv::Scalar::all(40));
  frame(cv::Rect(0, 0, 8, 8)).setTo(cv::Scalar(0, 0, 255));
  frame(cv::Rect(1912, 0, 8, 8)).setTo(cv::Scalar(0, 255, 0));
  frame(cv::Rect(0, 1072, 8, 8)).setTo(cv::Scalar(255, 0, 0));
  frame(cv::Rect(1912, 1072, 8, 8)).setTo(cv::Scalar(255, 255, 255));
  return frame;
}

// The view in a 650 x 490 scroll box, as in the main window.
class PictureViewTest : public ::testing::Test {
protected:
  void SetUp() override {
    App();
    box = std::make_unique<QScrollArea>();
    box->setFrameShape(QFrame::NoFrame);
    box->resize(650, 490);
    view = new TPictureView;
    box->setWidget(view);
    connect = QObject::connect(view, &TPictureView::PictureSizeChanged,
                               [this](QSize size) { view->resize(size); });
  }
  void TearDown() override {
    QObject::disconnect(connect);
    box.reset();
  }
  void ShowBox() {
    box->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(box.get()));
    QApplication::processEvents();
  }
  // The converted pixel at a point of the view.
  QColor Painted(QPoint at) const {
    const QRect area = view->PictureArea();
    if (!area.contains(at)) return {};
    return view->Picture().pixelColor(at - area.topLeft());
  }

  std::unique_ptr<QScrollArea> box;
  TPictureView* view = nullptr;
  QMetaObject::Connection connect;
};

TEST_F(PictureViewTest, OnlyThePartInSightIsConvertedAndScrollingReachesTheFarCorner) {
  ShowBox();
  const cv::Mat frame = HdFrame();
  view->ShowImage(frame);
  QApplication::processEvents();
  EXPECT_EQ(view->size(), QSize(1920, 1080));
  EXPECT_EQ(view->Conversions(), 1);
  EXPECT_EQ(view->PictureArea(), QRect(QPoint(0, 0), box->viewport()->size()));
  EXPECT_EQ(Painted({0, 0}), QColor(255, 0, 0));
  // Repaints of the same frame convert nothing again.
  view->update();
  QApplication::processEvents();
  EXPECT_EQ(view->Conversions(), 1);

  box->horizontalScrollBar()->setValue(box->horizontalScrollBar()->maximum());
  box->verticalScrollBar()->setValue(box->verticalScrollBar()->maximum());
  QApplication::processEvents();
  EXPECT_EQ(view->Conversions(), 2);
  EXPECT_TRUE(view->PictureArea().contains(QPoint(1919, 1079)));
  EXPECT_LE(view->PictureArea().width(), 650);
  EXPECT_EQ(Painted({1919, 1079}), QColor(255, 255, 255));
  // And on the screen itself.
  const QImage shown = box->viewport()->grab().toImage();
  EXPECT_EQ(shown.pixelColor(shown.width() - 1, shown.height() - 1), QColor(255, 255, 255));
}

TEST_F(PictureViewTest, AForgottenOrEmptyImageLeavesTheLastPictureAndClearEmptiesIt) {
  ShowBox();
  cv::Mat frame(480, 640, CV_8UC3, cv::Scalar(0, 0, 255));
  view->ShowImage(frame);
  QApplication::processEvents();
  // The image goes (a failed read, the camera object destroyed).
  frame.release();
  view->update();
  QApplication::processEvents();
  EXPECT_EQ(Painted({10, 10}), QColor(255, 0, 0));
  view->ForgetImage();
  view->update();
  QApplication::processEvents();
  EXPECT_EQ(Painted({10, 10}), QColor(255, 0, 0));
  view->Clear();
  EXPECT_TRUE(view->PictureSize().isEmpty());
  EXPECT_TRUE(view->Picture().isNull());
}
} // namespace

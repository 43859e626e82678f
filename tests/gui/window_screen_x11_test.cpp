// The main window and the picture view on a real X server (Xvfb, no window
// manager): small screens, and a window that something else covers.
#include <memory>
#include <optional>

#include <QApplication>
#include <QScrollArea>
#include <QTest>
#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "ProgramFolders.h"
#include "QtTestApp.h"
#include "X11Session.h"
#include "app/CoverWatch.h"
#include "app/PictureView.h"
#include "support/ChildProcess.h"

namespace {
// How long the program may take to put its window on a loaded machine's screen.
constexpr int kWindowWaitMs = 20000;

TEST(WindowOnScreen, TheWholeWindowIsOnA1024Or1366By768Screen) {
  for (const QSize screen : {QSize(1024, 768), QSize(1366, 768)}) {
    SCOPED_TRACE(screen.width());
    X11Session session(std::to_string(screen.width()) + "x" + std::to_string(screen.height()) + "x24");
    ProgramFolders folders({"start.jpg"});
    ChildProcess program({VARDOCAM_PROGRAM}, folders.Options());
    std::optional<QRect> window;
    ASSERT_TRUE(WaitFor(kWindowWaitMs, [&] { return (window = MainWindowOnScreen()).has_value(); }));
    EXPECT_TRUE(QRect(QPoint(0, 0), screen).contains(*window)) << window->x() << "," << window->y();
    // Moved only as far as needed: the designed left stays where it fits.
    EXPECT_EQ(window->left(), std::min(556, screen.width() - 782));
  }
}

// A picture view on this process's own display, for covering it.
class CoveredViewTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    session = new X11Session;
    app = NewTestApp();
  }
  static void TearDownTestSuite() {
    delete app;
    delete session;
  }
  static X11Session* session;
  static QApplication* app;
};
X11Session* CoveredViewTest::session = nullptr;
QApplication* CoveredViewTest::app = nullptr;

TEST_F(CoveredViewTest, FullyCoveredConvertsNothingAndUncoveredShowsTheNewestFrame) {
  QScrollArea box;
  box.setFrameShape(QFrame::NoFrame);
  auto* view = new TPictureView;
  box.setWidget(view);
  box.setGeometry(100, 100, 650, 490);
  TCoverWatch watch(&box);
  QObject::connect(&watch, &TCoverWatch::CoveredChanged, view, &TPictureView::SetCovered);
  box.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&box));
  ASSERT_TRUE(watch.Start());
  cv::Mat frame(480, 640, CV_8UC3, cv::Scalar::all(30));
  view->ShowImage(frame);
  ASSERT_TRUE(QTest::qWaitFor([&] { return view->Conversions() == 1; }, kWindowWaitMs));

  QWidget cover;
  cover.setGeometry(0, 0, 1000, 800);
  cover.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&cover));
  ASSERT_TRUE(QTest::qWaitFor([&] { return watch.Covered(); }, kWindowWaitMs));
  for (int grey = 40; grey < 100; grey += 10) {
    frame.setTo(cv::Scalar::all(grey));
    view->ShowImage(frame);
    QTest::qWait(20);
  }
  EXPECT_EQ(view->Conversions(), 1);

  cover.hide();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !watch.Covered(); }, kWindowWaitMs));
  ASSERT_TRUE(QTest::qWaitFor([&] { return view->Conversions() == 2; }, kWindowWaitMs));
  EXPECT_EQ(view->Picture().pixelColor(10, 10), QColor(90, 90, 90));
}
} // namespace

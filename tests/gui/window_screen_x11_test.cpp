// The main window and the picture view on a real X server (Xvfb, no window
// manager): small screens, and a window that something else covers.
#include <filesystem>
#include <memory>
#include <optional>

#include <QApplication>
#include <QScrollArea>
#include <QTest>
#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <sys/stat.h>

#include "X11Session.h"
#include "app/CoverWatch.h"
#include "app/PictureView.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace {
// How long the program may take to put its window on a loaded machine's screen.
constexpr int kWindowWaitMs = 20000;

// The program's main window as the X server has it mapped.
std::optional<QRect> MainWindowOnScreen() {
  const QStringList ids = RunTool("xdotool", {"search", "--onlyvisible", "--name",
                                              QString::fromUtf8("^防犯カメラ・ヴァルド$")})
                              .split('\n', Qt::SkipEmptyParts);
  for (const QString& id : ids) {
    const QString info = RunTool("xwininfo", {"-id", id});
    const auto number = [&](const QString& label) {
      return QRegularExpression(label + R"(:\s+(-?\d+))").match(info).captured(1).toInt();
    };
    const QRect rect(number("Absolute upper-left X"), number("Absolute upper-left Y"), number("Width"),
                     number("Height"));
    if (rect.width() > 100) return rect;
  }
  return std::nullopt;
}

TEST(WindowOnScreen, TheWholeWindowIsOnA1024Or1366By768Screen) {
  for (const QSize screen : {QSize(1024, 768), QSize(1366, 768)}) {
    SCOPED_TRACE(screen.width());
    X11Session session(std::to_string(screen.width()) + "x" + std::to_string(screen.height()) + "x24");
    TempDir work, config, runtime;
    std::filesystem::copy_file(std::string(VARDOCAM_SOURCE_DIR) + "/assets/start.jpg", work.File("start.jpg"));
    chmod(runtime.Path().c_str(), 0700);
    ChildProcess::Options options;
    options.workingFolder = work.Path();
    options.outputFile = work.File("program.log");
    options.env = {{"XDG_RUNTIME_DIR", runtime.Path()}, {"XDG_CONFIG_HOME", config.Path()}};
    ChildProcess program({VARDOCAM_PROGRAM}, options);
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
    static int argc = 1;
    static char name[] = "window_screen_x11_test";
    static char* argv[] = {name, nullptr};
    app = new QApplication(argc, argv);
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

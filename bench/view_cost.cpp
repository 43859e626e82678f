// CPU time per camera frame spent by the picture view: the view as it is
// (only the part in sight converted, at paint time), hidden, fitted, and
// the earlier view that converted every whole frame as it came.
// Run: build/bench/view_cost (offscreen platform, no screen needed).
#include <cstdio>
#include <ctime>
#include <vector>

#include <QApplication>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollArea>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "app/PictureView.h"

namespace {
constexpr int kFrames = 300;

double CpuMs() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

// The earlier view: every frame converted whole when shown.
class WholeFrameView : public QWidget, public IPictureView {
public:
  void ShowImage(const cv::Mat& image) override {
    cv::cvtColor(image, buffer_, cv::COLOR_BGR2BGRA);
    picture_ = QImage(buffer_.data, buffer_.cols, buffer_.rows, static_cast<qsizetype>(buffer_.step),
                      QImage::Format_RGB32);
    if (size() != picture_.size()) resize(picture_.size());
    update();
  }

protected:
  void paintEvent(QPaintEvent* event) override {
    QPainter p(this);
    p.drawImage(event->rect(), picture_, event->rect());
  }

private:
  cv::Mat buffer_;
  QImage picture_;
};

// Mean CPU milliseconds per frame for a view in a 650 x 490 scroll box.
double PerFrame(QWidget* viewWidget, IPictureView* view, const std::vector<cv::Mat>& frames, bool shown,
                bool fit) {
  QScrollArea box;
  box.resize(650, 490);
  box.setWidgetResizable(fit);
  box.setWidget(viewWidget);
  if (shown) box.show();
  QApplication::processEvents();
  view->ShowImage(frames[0]);
  QApplication::processEvents();
  const double start = CpuMs();
  for (int i = 0; i < kFrames; ++i) {
    view->ShowImage(frames[i % frames.size()]);
    QApplication::processEvents();
  }
  const double ms = (CpuMs() - start) / kFrames;
  box.takeWidget();
  return ms;
}
} // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  cv::setNumThreads(1);
  std::printf("| frame | whole frame converted (earlier) | in sight only, shown | hidden | fitted |\n");
  std::printf("|---|---|---|---|---|\n");
  for (const cv::Size size : {cv::Size(640, 480), cv::Size(1920, 1080)}) {
    std::vector<cv::Mat> frames(2, cv::Mat(size, CV_8UC3));
    for (cv::Mat& f : frames) {
      f = cv::Mat(size, CV_8UC3);
      cv::randu(f, 0, 255);
    }
    WholeFrameView earlier;
    TPictureView shownView, hiddenView, fittedView;
    QObject::connect(&shownView, &TPictureView::PictureSizeChanged, &shownView,
                     [&](QSize s) { shownView.resize(s); });
    fittedView.SetFitToWindow(true);
    const double before = PerFrame(&earlier, &earlier, frames, true, false);
    const double shown = PerFrame(&shownView, &shownView, frames, true, false);
    const double hidden = PerFrame(&hiddenView, &hiddenView, frames, false, false);
    const double fitted = PerFrame(&fittedView, &fittedView, frames, true, true);
    std::printf("| %d × %d | %.3f ms | %.3f ms | %.4f ms | %.3f ms |\n", size.width, size.height, before, shown,
                hidden, fitted);
  }
  return 0;
}

#include "app/PictureMarks.h"

#include "app/PictureView.h"
#include "monitor/ArmSchedule.h"

TPictureMarks::TPictureMarks(TPictureView* view, std::function<std::time_t()> nextStart, QObject* parent)
    : QObject(parent), view_(view), nextStart_(std::move(nextStart)) {
  boxTimer_.setSingleShot(true);
  boxTimer_.setInterval(kPersonBoxShowMs);
  boxTimer_.setObjectName("PersonBoxTimer");
  connect(&boxTimer_, &QTimer::timeout, this, [this] { ClearBox(); });
}

void TPictureMarks::ClearBox() {
  boxTimer_.stop();
  view_->SetMark(QRect());
}

void TPictureMarks::On(const MonitorEvent& event) {
  using Kind = MonitorEvent::Kind;
  switch (event.kind) {
  case Kind::PersonDetected:
    view_->SetMark(QRect(event.box.x, event.box.y, event.box.width, event.box.height));
    boxTimer_.start();
    break;
  case Kind::MonitoringStarted: view_->SetCaption(QString()); break;
  case Kind::MonitoringStopped: ClearBox(); break;
  case Kind::ArmChanged: {
    // Said once monitoring is off; the idle picture is shown by then.
    const std::time_t next = !event.arm.armed && nextStart_ ? nextStart_() : 0;
    view_->SetCaption(next != 0 ? QString::fromStdString(NextStartText(next)) : QString());
    break;
  }
  default: break;
  }
}

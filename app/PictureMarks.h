#pragma once
#include <ctime>
#include <functional>

#include <QObject>
#include <QTimer>

#include "monitor/MonitorEvents.h"

class TPictureView;

// How long the box of a person found stays in the live picture after the
// check found them.
constexpr int kPersonBoxShowMs = 5000;

// What the window draws over its picture from the monitor's events: the
// box of the person the check found, for kPersonBoxShowMs or until
// monitoring stops; and, while monitoring is off but starts again by
// itself, when it does.
class TPictureMarks : public QObject, public IMonitorEvents {
  Q_OBJECT
public:
  // `nextStart`: when monitoring starts again by itself, 0 for never.
  TPictureMarks(TPictureView* view, std::function<std::time_t()> nextStart, QObject* parent = nullptr);

  void On(const MonitorEvent& event) override;
  // The timer that takes the box away (tests fire it).
  QTimer& BoxTimer() { return boxTimer_; }

private:
  void ClearBox();

  TPictureView* view_;
  std::function<std::time_t()> nextStart_;
  QTimer boxTimer_;
};

#include "monitor/MonitorEvent.h"

#include <utility>

using Kind = MonitorEvent::Kind;

MonitorEvent MonitorEvent::MonitoringStarted(unsigned warmUpMs) {
  MonitorEvent e(Kind::MonitoringStarted);
  e.warmUpMs = warmUpMs;
  return e;
}

MonitorEvent MonitorEvent::MonitoringStopped() { return MonitorEvent(Kind::MonitoringStopped); }

MonitorEvent MonitorEvent::MotionDetected(MotionRegions regions) {
  MonitorEvent e(Kind::MotionDetected);
  e.regions = std::move(regions);
  return e;
}

MonitorEvent MonitorEvent::PersonDetected(const MotionRegion& box) {
  MonitorEvent e(Kind::PersonDetected);
  e.box = box;
  return e;
}

MonitorEvent MonitorEvent::MotionWithoutPerson() { return MonitorEvent(Kind::MotionWithoutPerson); }
MonitorEvent MonitorEvent::AlarmStarted() { return MonitorEvent(Kind::AlarmStarted); }
MonitorEvent MonitorEvent::AlarmEnded() { return MonitorEvent(Kind::AlarmEnded); }

MonitorEvent MonitorEvent::AlertMailDone(bool sent, std::string failure, MailKind mail) {
  MonitorEvent e(Kind::AlertMailDone);
  e.sent = sent;
  e.text = std::move(failure);
  e.mail = mail;
  return e;
}

MonitorEvent MonitorEvent::AlertMailHeldForEvent() {
  MonitorEvent e(Kind::AlertMailHeldBack);
  e.sameEvent = true;
  return e;
}

MonitorEvent MonitorEvent::MailDone(MailKind mail, bool sent, std::string failure, std::string about) {
  MonitorEvent e(Kind::MailDone);
  e.mail = mail;
  e.sent = sent;
  e.text = std::move(failure);
  e.about = std::move(about);
  return e;
}

MonitorEvent MonitorEvent::TestAlarmStarted() { return MonitorEvent(Kind::TestAlarmStarted); }

MonitorEvent MonitorEvent::TestAlarmStep(std::string line, bool ok) {
  MonitorEvent e(Kind::TestAlarmStep);
  e.text = std::move(line);
  e.ok = ok;
  return e;
}

MonitorEvent MonitorEvent::AlertMailHeldBack(int secondsLeft) {
  MonitorEvent e(Kind::AlertMailHeldBack);
  e.secondsLeft = secondsLeft;
  return e;
}

MonitorEvent MonitorEvent::RequestCheckDone(bool ok, int requests, std::string failure, int commands) {
  MonitorEvent e(Kind::RequestCheckDone);
  e.ok = ok;
  e.requests = requests;
  e.commands = commands;
  e.text = std::move(failure);
  return e;
}

MonitorEvent MonitorEvent::CameraLost() { return MonitorEvent(Kind::CameraLost); }
MonitorEvent MonitorEvent::CameraBack() { return MonitorEvent(Kind::CameraBack); }

MonitorEvent MonitorEvent::Notice(std::string text) {
  MonitorEvent e(Kind::Notice);
  e.text = std::move(text);
  return e;
}

MonitorEvent MonitorEvent::BrokerChanged(bool connected, std::string detail) {
  MonitorEvent e(Kind::BrokerChanged);
  e.connected = connected;
  e.text = std::move(detail);
  return e;
}

MonitorEvent MonitorEvent::EventArchived(EventInfo event) {
  MonitorEvent e(Kind::EventArchived);
  e.archived = std::move(event);
  return e;
}

MonitorEvent MonitorEvent::ArchiveFloorChanged(bool belowFloor, std::string detail) {
  MonitorEvent e(Kind::ArchiveFloorChanged);
  e.belowFloor = belowFloor;
  e.text = std::move(detail);
  return e;
}

MonitorEvent MonitorEvent::ArmChanged(const ArmState& state) {
  MonitorEvent e(Kind::ArmChanged);
  e.arm = state;
  return e;
}

MonitorEvent MonitorEvent::MailQueueChanged(int waiting) {
  MonitorEvent e(Kind::MailQueueChanged);
  e.waiting = waiting;
  return e;
}

MonitorEvent MonitorEvent::CameraFailed(std::string text, uint32_t retryMs) {
  MonitorEvent e(Kind::CameraFailed);
  e.text = std::move(text);
  e.retryMs = retryMs;
  return e;
}

std::string CameraFailedLine(const MonitorEvent& event) {
  std::string line;
  for (char c : event.text) line += c == '\n' ? ' ' : c;
  if (event.retryMs == 0) return line;
  return line + " (" + std::to_string((event.retryMs + 999) / 1000) + " 秒後に再試行します)";
}

MonitorEvent MonitorEvent::TickFailed(std::string what) {
  MonitorEvent e(Kind::TickFailed);
  e.text = std::move(what);
  return e;
}

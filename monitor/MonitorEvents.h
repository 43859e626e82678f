#pragma once
#include <string>
#include <vector>

#include "monitor/MonitorEvent.h"

// What the monitoring cycle reports as it works, for whoever shows or logs
// it (the window's status line, a service's log, a message bus). Every call
// is made on the cycle's thread, inside a tick or a start/stop; a listener
// must return quickly and must not throw. A listener switches over the
// kinds it cares about and lets the others pass.
class IMonitorEvents {
public:
  virtual ~IMonitorEvents() = default;
  virtual void On(const MonitorEvent& event) { (void)event; }
};

// Hands every event to each listener in the order they were added.
class MonitorEventFanout : public IMonitorEvents {
public:
  void Add(IMonitorEvents* listener) {
    if (listener) listeners_.push_back(listener);
  }
  void Remove(IMonitorEvents* listener) {
    for (auto it = listeners_.begin(); it != listeners_.end(); ++it)
      if (*it == listener) {
        listeners_.erase(it);
        return;
      }
  }

  void On(const MonitorEvent& event) override {
    for (auto* l : listeners_) l->On(event);
  }

  // Old spellings, kept until the cycle's emitters are converted.
  void MonitoringStarted(unsigned warmUpMs) { On(MonitorEvent::MonitoringStarted(warmUpMs)); }
  void MonitoringStopped() { On(MonitorEvent::MonitoringStopped()); }
  void MotionDetected(const MotionRegions& regions) { On(MonitorEvent::MotionDetected(regions)); }
  void PersonDetected(const MotionRegion& box) { On(MonitorEvent::PersonDetected(box)); }
  void MotionWithoutPerson() { On(MonitorEvent::MotionWithoutPerson()); }
  void AlarmStarted() { On(MonitorEvent::AlarmStarted()); }
  void AlarmEnded() { On(MonitorEvent::AlarmEnded()); }
  void AlertMailDone(bool sent, const std::string& failure) { On(MonitorEvent::AlertMailDone(sent, failure)); }
  void AlertMailHeldBack(int secondsLeft) { On(MonitorEvent::AlertMailHeldBack(secondsLeft)); }
  void RequestCheckDone(bool ok, int requests, const std::string& failure) {
    On(MonitorEvent::RequestCheckDone(ok, requests, failure));
  }
  void CameraLost() { On(MonitorEvent::CameraLost()); }
  void CameraBack() { On(MonitorEvent::CameraBack()); }
  void Notice(const std::string& text) { On(MonitorEvent::Notice(text)); }
  void BrokerChanged(bool connected, const std::string& detail) { On(MonitorEvent::BrokerChanged(connected, detail)); }
  void EventArchived(const EventInfo& event) { On(MonitorEvent::EventArchived(event)); }
  void ArchiveFloorChanged(bool belowFloor, const std::string& detail) {
    On(MonitorEvent::ArchiveFloorChanged(belowFloor, detail));
  }
  void ArmChanged(const ArmState& state) { On(MonitorEvent::ArmChanged(state)); }
  void MailQueueChanged(int waiting) { On(MonitorEvent::MailQueueChanged(waiting)); }

private:
  std::vector<IMonitorEvents*> listeners_;
};

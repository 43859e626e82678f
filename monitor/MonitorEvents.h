#pragma once
#include <string>
#include <vector>

#include "archive/EventLayout.h"
#include "monitor/ArmControl.h"
#include "vision/MotionRegion.h"

// What the monitoring cycle reports as it works, for whoever shows or logs
// it (the window's status line, a service's log, a message bus). Every call
// is made on the cycle's thread, inside a tick or a start/stop; a listener
// must return quickly and must not throw.
class IMonitorEvents {
public:
  virtual ~IMonitorEvents() = default;
  // Monitoring switched on; detections count after `warmUpMs`.
  virtual void MonitoringStarted(unsigned warmUpMs) { (void)warmUpMs; }
  virtual void MonitoringStopped() {}
  // A new frame differed from its reference by more than the threshold;
  // where, as the boxes of the largest changed regions.
  virtual void MotionDetected(const MotionRegions& regions) { (void)regions; }
  // With person confirmation: a person was found where it moved (`box`, in
  // frame pixels), or the motion went on without one for the whole time
  // given to the check.
  virtual void PersonDetected(const MotionRegion& box) { (void)box; }
  virtual void MotionWithoutPerson() {}
  virtual void AlarmStarted() {}
  virtual void AlarmEnded() {}
  // An alert mail was tried: sent (accepted by the server), or not and why,
  // in words a user can act on.
  virtual void AlertMailDone(bool sent, const std::string& failure) {
    (void)sent;
    (void)failure;
  }
  // An alarm's alert mail was not tried: the least spacing after the last
  // mail that went out lasts `secondsLeft` more seconds. Said once per alarm.
  virtual void AlertMailHeldBack(int secondsLeft) { (void)secondsLeft; }
  // A poll of the request mailbox: `requests` answered, or why it failed.
  virtual void RequestCheckDone(bool ok, int requests, const std::string& failure) {
    (void)ok;
    (void)requests;
    (void)failure;
  }
  // The camera gave no new frame for a while, and later did again.
  virtual void CameraLost() {}
  virtual void CameraBack() {}
  // Something the user should know that does not stop monitoring (a mask
  // picture that cannot be read), in words a user can act on; said once.
  virtual void Notice(const std::string& text) { (void)text; }
  // The message broker took the connection, or lost or refused it and why.
  virtual void BrokerChanged(bool connected, const std::string& detail) {
    (void)connected;
    (void)detail;
  }
  // An alarm's event folder is complete: its clip is closed.
  virtual void EventArchived(const EventInfo& event) { (void)event; }
  // The events folder's file system fell below the free-space floor (nothing
  // more is recorded), or has room again; said once each way.
  virtual void ArchiveFloorChanged(bool belowFloor, const std::string& detail) {
    (void)belowFloor;
    (void)detail;
  }
  // Monitoring was switched on or off, or its "until" changed.
  virtual void ArmChanged(const ArmState& state) { (void)state; }
  // Mails kept for sending again: how many wait now.
  virtual void MailQueueChanged(int waiting) { (void)waiting; }
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

  void MonitoringStarted(unsigned warmUpMs) override {
    for (auto* l : listeners_) l->MonitoringStarted(warmUpMs);
  }
  void MonitoringStopped() override {
    for (auto* l : listeners_) l->MonitoringStopped();
  }
  void MotionDetected(const MotionRegions& regions) override {
    for (auto* l : listeners_) l->MotionDetected(regions);
  }
  void PersonDetected(const MotionRegion& box) override {
    for (auto* l : listeners_) l->PersonDetected(box);
  }
  void MotionWithoutPerson() override {
    for (auto* l : listeners_) l->MotionWithoutPerson();
  }
  void AlarmStarted() override {
    for (auto* l : listeners_) l->AlarmStarted();
  }
  void AlarmEnded() override {
    for (auto* l : listeners_) l->AlarmEnded();
  }
  void AlertMailDone(bool sent, const std::string& failure) override {
    for (auto* l : listeners_) l->AlertMailDone(sent, failure);
  }
  void AlertMailHeldBack(int secondsLeft) override {
    for (auto* l : listeners_) l->AlertMailHeldBack(secondsLeft);
  }
  void RequestCheckDone(bool ok, int requests, const std::string& failure) override {
    for (auto* l : listeners_) l->RequestCheckDone(ok, requests, failure);
  }
  void CameraLost() override {
    for (auto* l : listeners_) l->CameraLost();
  }
  void CameraBack() override {
    for (auto* l : listeners_) l->CameraBack();
  }
  void Notice(const std::string& text) override {
    for (auto* l : listeners_) l->Notice(text);
  }
  void BrokerChanged(bool connected, const std::string& detail) override {
    for (auto* l : listeners_) l->BrokerChanged(connected, detail);
  }
  void EventArchived(const EventInfo& event) override {
    for (auto* l : listeners_) l->EventArchived(event);
  }
  void ArchiveFloorChanged(bool belowFloor, const std::string& detail) override {
    for (auto* l : listeners_) l->ArchiveFloorChanged(belowFloor, detail);
  }
  void ArmChanged(const ArmState& state) override {
    for (auto* l : listeners_) l->ArmChanged(state);
  }
  void MailQueueChanged(int waiting) override {
    for (auto* l : listeners_) l->MailQueueChanged(waiting);
  }

private:
  std::vector<IMonitorEvents*> listeners_;
};

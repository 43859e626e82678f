#pragma once
#include <cstdint>
#include <ostream>
#include <string>

#include "monitor/MonitorEvents.h"
#include "monitor/MotionEpisode.h"

// Priorities as the system journal reads them from a "<N>" line prefix.
constexpr int kJournalError = 3;
constexpr int kJournalWarning = 4;
constexpr int kJournalNotice = 5;
constexpr int kJournalInfo = 6;
constexpr int kJournalDebug = 7;

// The service's log: one line per event on the given stream (standard
// error under systemd), with the journal's priority prefix and no time
// stamp, since the journal adds its own.
class JournalLog : public IMonitorEvents {
public:
  explicit JournalLog(std::ostream& out) : out_(out) {}

  void Write(int priority, const std::string& text);
  // Every line after this starts with "[name] ", so that the lines of two
  // cameras' services stay apart in one journal; empty: no mark.
  void SetCameraName(const std::string& name) { camera_ = name; }

  void MonitoringStarted(unsigned warmUpMs) override;
  void MonitoringStopped() override;
  // Logged once per episode, not per tick.
  void MotionDetected(const MotionRegions& regions) override;
  void PersonDetected(const MotionRegion& box) override;
  void MotionWithoutPerson() override;
  void AlarmStarted() override;
  void AlarmEnded() override;
  // With mails switched off, said once per monitoring run.
  void AlertMailDone(bool sent, const std::string& failure) override;
  void AlertMailHeldBack(int secondsLeft) override;
  void RequestCheckDone(bool ok, int requests, const std::string& failure) override;
  void CameraLost() override;
  void Notice(const std::string& text) override;
  void CameraBack() override;
  void BrokerChanged(bool connected, const std::string& detail) override;
  // Said when the count changes.
  void MailQueueChanged(int waiting) override;
  void ArmChanged(const ArmState& state) override;
  void ArchiveFloorChanged(bool belowFloor, const std::string& detail) override;

private:
  std::ostream& out_;
  std::string camera_;
  MotionEpisode motion_;
  bool mailsOffSaid_ = false;
  int mailsWaiting_ = 0;
};

// The text on one line: line breaks and other control characters become
// spaces, so a reason with a line break stays one journal entry.
std::string OneLine(const std::string& text);

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
  // Where the camera is, said when it opens (empty: not said).
  void SetCameraAddress(const std::string& address) { address_ = address; }

  // Motion is logged once per episode, not per tick; mails switched off
  // once per monitoring run; the mail queue when its count changes.
  void On(const MonitorEvent& event) override;

private:
  void AlertMail(bool sent, const std::string& failure);

  std::ostream& out_;
  std::string camera_;
  std::string address_;
  MotionEpisode motion_;
  bool mailsOffSaid_ = false;
  int mailsWaiting_ = 0;
};

// The text on one line: line breaks and other control characters become
// spaces, so a reason with a line break stays one journal entry.
std::string OneLine(const std::string& text);

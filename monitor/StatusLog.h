#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <optional>
#include <string>

#include "monitor/MonitorEvents.h"
#include "monitor/MotionEpisode.h"

// How many events the history keeps; the oldest drop off first.
constexpr size_t kStatusHistoryLimit = 200;
// Between the parts of the status text; whoever shows it may break there.
extern const char kStatusSeparator[];

// One line of the history. The same event repeated with nothing between
// (an empty mailbox every minute) is one line with a count, so it cannot
// push everything else out; so is the motion of one alarm, though the
// alarm's own lines come between.
struct StatusEntry {
  std::time_t first = 0;
  std::time_t last = 0;
  int count = 1;
  std::string text;
};

// What the monitoring cycle is doing, in the words the window's status line
// and its event history show. Listens to the cycle; the warm-up countdown
// reads the tick counter, the times of day the wall clock given.
// Where it moved, for a line of the history or the journal: the largest
// region's place and size, and how many more there were; "" for none.
std::string RegionsText(const MotionRegions& regions);
// One box: "位置 x,y 幅×高さ".
std::string BoxText(const MotionRegion& box);

// The history's line of a MailDone; "" for a mail that is told otherwise
// (a command's confirmation, with the command's own lines).
std::string MailDoneLine(const MonitorEvent& event);
// The line of an alert mail held back (AlertMailHeldBack).
std::string HeldBackLine(const MonitorEvent& event);
// What a poll of the mailbox that was read found, for the history and the
// journal: "調査要求メールはありませんでした" only when it found nothing.
std::string RequestCheckText(int requests, int commands);
// Why a poll failed, before the reason.
extern const char kRequestCheckFailedWords[];

// Whether a change of arming is news beside "監視を開始しました": not when
// nobody in particular or a button without a schedule switched it, as it
// always was.
bool ArmWorthSaying(const ArmState& state);

class StatusLog : public IMonitorEvents {
public:
  using WallClock = std::function<std::time_t()>;
  // The wall clock defaults to the system's.
  explicit StatusLog(WallClock wallClock = {});

  void On(const MonitorEvent& event) override;

  // The one status line, as of now.
  std::string StatusText() const;
  // The notice of this run the status text carries as one part ("" for
  // none): whoever shows the text keeps it in sight.
  const std::string& Notice() const { return notice_; }
  // Oldest first, at most kStatusHistoryLimit entries.
  const std::deque<StatusEntry>& History() const { return history_; }
  // "2026/12/07 13:20:05  text", with the count and the last time of a
  // repeated event.
  static std::string FormatEntry(const StatusEntry& entry);
  // Milliseconds until StatusText changes by itself (the warm-up counting
  // down); 0 when it only changes with an event.
  uint32_t MsUntilNextChange() const;

  // Called after every event, for whoever shows the text.
  std::function<void()> OnChange;

private:
  enum class State { Off, Running };
  void Add(const std::string& text);
  void Changed();
  void Started(unsigned warmUpMs);
  void Motion(const MotionRegions& regions);
  void AlertMail(bool sent, const std::string& failure);
  void RequestCheck(const MonitorEvent& event);

  WallClock wallClock_;
  std::deque<StatusEntry> history_;
  State state_ = State::Off;
  uint32_t startTick_ = 0;
  uint32_t warmUpMs_ = 0;
  bool cameraLost_ = false;
  // The last notice of this run (an unreadable mask): shown until the next start.
  std::string notice_;
  bool alarm_ = false;
  std::time_t lastDetection_ = 0;
  std::time_t lastPerson_ = 0;
  // The line the current motion counts on: kept while its alarm lasts, or,
  // without one, until the motion has gone quiet.
  MotionEpisode motion_;
  std::optional<size_t> motionLine_;
  // The history's last line of the mail queue, while nothing came after it:
  // a queue sent off mail by mail is one line that counts down.
  bool queueLineLast_ = false;
  bool mailTried_ = false;
  std::time_t mailTime_ = 0;
  std::string mailResult_;
  bool checkTried_ = false;
  std::time_t checkTime_ = 0;
  std::string checkResult_;
  bool brokerHeard_ = false;
  bool brokerConnected_ = false;
  int mailsWaiting_ = 0;
  ArmState arm_;
  // The events folder is below its free-space floor: nothing is recorded.
  bool archiveBelowFloor_ = false;
};

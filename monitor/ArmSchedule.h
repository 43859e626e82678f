#pragma once
#include <ctime>
#include <optional>
#include <string>
#include <vector>

// How far ahead NextEdge looks. A weekly schedule that changes at all
// changes within a week, but a window that falls into a daylight-saving
// gap is skipped that week: two weeks, and a day for a window over midnight.
constexpr int kArmScheduleSearchDays = 15;

// One time window on some weekdays, in minutes of the local day. A window
// whose end is not after its start runs over midnight and belongs to the
// day it starts on; an end of 24 * 60 is the next midnight.
struct ArmWindow {
  unsigned days = 0;  // bit n: weekday n, 0 = Sunday (as tm_wday)
  int startMin = 0;
  int endMin = 0;
};

// The weekly windows in which monitoring is on, read from a text such as
// "月-金 08:30-18:00, 土,日 00:00-24:00" or "Mon-Fri 08:30-18:00". Times
// are local: a window starts and ends at those wall-clock times whatever
// the offset from UTC is that day. A time the clock skips (spring forward)
// is the moment of the skip; a time it shows twice (fall back) is the
// first of the two, so each window is one span of real time.
class ArmSchedule {
public:
  // An empty or blank text is the empty schedule. nullopt, with the reason
  // in Japanese in `why`, when the text does not parse.
  static std::optional<ArmSchedule> Parse(const std::string& text, std::string* why = nullptr);

  bool Empty() const { return windows_.empty(); }
  const std::vector<ArmWindow>& Windows() const { return windows_; }
  bool ArmedAt(std::time_t t) const;
  // The first moment after `now` at which ArmedAt changes; 0 when none
  // within kArmScheduleSearchDays (an empty or always-on schedule).
  std::time_t NextEdge(std::time_t now) const;
  // "次の切替: 18:00 に監視終了", with the weekday when not today.
  std::string PreviewText(std::time_t now) const;

private:
  std::vector<ArmWindow> windows_;
};

// A moment in words for a person: "18:00" today, "土 08:30" within the
// coming week, "6/14 08:30" later.
std::string ArmMomentText(std::time_t when, std::time_t now);
// What the idle picture says while monitoring waits to start by itself:
// "次の監視開始: 12/15 03:08", with the date always, as the picture may be
// looked at days later.
std::string NextStartText(std::time_t when);

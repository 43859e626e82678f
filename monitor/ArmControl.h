#pragma once
#include <cstdint>
#include <string>

// Who switched monitoring on or off last. A manual start or a command holds
// until the schedule's next edge.
enum class ArmedBy { Nobody, Button, Schedule, MailCommand, House };

// Monitoring as it stands: on or off, who made it so, and until when it
// stays so (the snooze's end or the schedule's next edge), as seconds since
// the epoch; 0 when nothing will change it by itself.
struct ArmState {
  bool armed = false;
  ArmedBy by = ArmedBy::Nobody;
  int64_t untilEpochS = 0;
};

// Switching monitoring on and off from elsewhere than the window's buttons:
// mail commands, the house's message broker, the schedule. A call may come
// from inside a monitoring tick; what it asks is then done once the tick
// has ended, and State() already tells the state asked for.
class IArmControl {
public:
  virtual ~IArmControl() = default;
  // False, with why in words a user can act on, when monitoring cannot be
  // started (the camera does not open).
  virtual bool Arm(ArmedBy by, std::string* why) = 0;
  virtual void Disarm(ArmedBy by) = 0;
  // Off for `minutes`, then on again as it was before.
  virtual void Snooze(int minutes, ArmedBy by) = 0;
  virtual ArmState State() const = 0;
  // A test alarm (sound, mail, event folder, broker, each marked as a
  // test); false, with why, when none can be made now or from here.
  virtual bool TestAlarm(std::string* why) {
    if (why) *why = "ここからはテスト警報を鳴らせません。";
    return false;
  }
};

// The longest snooze a command may ask for: a day.
constexpr int kMaxSnoozeMinutes = 24 * 60;

// Who, in words: "予定", "ボタン操作", "メールでの指示", "家からの指示".
std::string ArmedByText(ArmedBy by);
// The state for a person, as the status line and the status report say it:
// "監視中（予定による、18:00 まで）", "監視停止中（家からの指示による）".
// `nowEpochS` decides whether the until needs its weekday; 0: the clock's.
std::string ArmStateText(const ArmState& state, int64_t nowEpochS = 0);
// Only what is in the brackets, "予定による、18:00 まで"; "" for Nobody.
std::string ArmReasonText(const ArmState& state, int64_t nowEpochS = 0);

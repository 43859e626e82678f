#pragma once
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

// Commands by mail: a request mail whose subject starts with a command
// word and the PIN, from an allowed sender, switches monitoring or asks for
// pictures, and is answered by a mail of its own.

enum class MailCommandKind { None, Arm, Disarm, Snooze, Status, Last };

#include "monitor/ArmControl.h"  // kMaxSnoozeMinutes
// Wrong PINs within kWrongPinWindowMs that lock commands out for as long.
constexpr int kMaxWrongPinsPerHour = 5;
constexpr uint32_t kWrongPinWindowMs = 60 * 60 * 1000;

// What a subject asks: the word, for a snooze its minutes, and whether the
// PIN after them matched.
struct CommandSubject {
  MailCommandKind kind = MailCommandKind::None;  // None: no command word first
  bool pinOk = false;
  int minutes = 0;
  bool minutesOk = true;  // a snooze's minutes are missing or out of range
};

// Reads a decoded subject: "監視開始 PIN", "一時停止 30 PIN", "SNOOZE 30 PIN",
// ... Full-width letters, digits and spaces count as their plain forms;
// English words in any case.
CommandSubject ParseCommandSubject(const std::string& subject, const std::string& pin);

// Compares without leaking through its time where the texts differ, nor
// their lengths: both are hashed first.
bool SamePin(const std::string& given, const std::string& pin);

// Whether `address` is on the comma-separated list, in any case.
bool SenderAllowed(const std::string& address, const std::string& list);

// Counts wrong PINs on the tick clock: kMaxWrongPinsPerHour of them within
// the window lock commands out until the window has passed again.
class WrongPinLock {
public:
  bool Locked();
  // Counts one; true when this one locked.
  bool Count();

private:
  std::deque<uint32_t> wrong_;
  bool locked_ = false;
  uint32_t lockedAt_ = 0;
};

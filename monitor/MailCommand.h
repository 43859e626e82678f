#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "archive/EventLayout.h"
#include "monitor/ArmControl.h"

// Commands by mail: a request mail whose subject starts with a command
// word and the PIN, from an allowed sender, switches monitoring or asks for
// pictures, and is answered by a mail of its own.

enum class MailCommandKind { None, Arm, Disarm, Snooze, Status, Last, Test };

// Wrong PINs within kWrongPinWindowMs that lock commands out for as long.
constexpr int kMaxWrongPinsPerHour = 5;
constexpr uint32_t kWrongPinWindowMs = 60 * 60 * 1000;
// A command whose Date is further than this from now, either way, is not
// carried out: a mail kept and sent again later must not switch anything.
constexpr int64_t kCommandDateWindowS = 24 * 60 * 60;

// What a subject asks: the word, for a snooze its minutes, and whether the
// PIN after them matched.
struct CommandSubject {
  MailCommandKind kind = MailCommandKind::None;  // None: no command word first
  bool pinOk = false;
  int minutes = 0;
  bool minutesOk = true;  // a snooze's minutes are missing or out of range
};

// What a command's answer says: the subject's head and the body's lines,
// pictures to attach, and who sent the command.
struct CommandAnswer {
  std::string what;
  std::vector<std::string> lines;
  std::vector<std::string> attachments;
  std::string sender;
};

// What follows a command's word before the PIN: nothing, or minutes from
// 1 to kMaxSnoozeMinutes.
enum class CommandArgument { None, Minutes };

// What a command is carried out with. The kept events, newest first, are
// listed only for a command that asks for them.
struct CommandCall {
  IArmControl& arm;
  const CommandSubject& subject;
  std::function<std::vector<EventInfo>()> events;
};

// One command: the subject words that name it (Japanese as a phone types
// them, English upper-cased), its argument, and what it does and answers.
// Parsing and carrying out both follow from these rows.
struct MailCommand {
  MailCommandKind kind;
  std::vector<const char*> words;
  CommandArgument argument;
  void (*run)(const CommandCall& call, CommandAnswer& answer);
};
const std::vector<MailCommand>& MailCommands();
// The row of `kind`; nullptr for None.
const MailCommand* FindMailCommand(MailCommandKind kind);

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
  // The lock in wall-clock seconds, to keep across a restart, and back;
  // `nowS` is the wall clock of the moment. Times outside the window
  // (a clock that jumped) are taken as at most one window away.
  struct Kept {
    std::vector<int64_t> wrongS;
    int64_t lockedUntilS = 0;
  };
  Kept Save(int64_t nowS);
  void Restore(const Kept& kept, int64_t nowS);

private:
  std::deque<uint32_t> wrong_;
  bool locked_ = false;
  uint32_t lockedAt_ = 0;
};

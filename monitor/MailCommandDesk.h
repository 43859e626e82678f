#pragma once
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "monitor/ArmControl.h"
#include "monitor/MailCommand.h"

class HandledMail;
struct typVardocam;

// The commands of one poll, and the answers that tell what became of them
// (CommandAnswer, with the commands' table in MailCommand.h).

// Sorts a poll's mails into commands and requests, and carries the
// commands out once the mailbox is closed.
class MailCommandDesk {
public:
  // A new poll: what an earlier one left untaken is forgotten, as its mails
  // are read again.
  void BeginPoll() { taken_.clear(); }
  // Where the lock-out and the commands' Message-IDs are kept across runs
  // (not owned; nullptr: in memory). The lock-out is read from it once.
  void SetRecord(HandledMail* record);
  // True when the header is a command to carry out; `notices` get what the
  // user should know (a wrong PIN with the sender, the lock-out, a Date out
  // of the window or a Message-ID already carried out). `nowS`: the wall clock.
  bool Take(const std::string& header, const typVardocam& settings, std::vector<std::string>& notices,
            int64_t nowS);
  // True once after the poll whose wrong PINs locked commands out: the
  // owner is then told by mail.
  bool TakeJustLocked() { return std::exchange(justLocked_, false); }
  // Carries out the commands taken, each answered through `answer` and
  // told in `notices` with its sender; false with the failures joined when
  // any answer did not go out.
  bool Run(IArmControl& arm, const typVardocam& settings,
           const std::function<bool(const CommandAnswer&, std::string& why)>& answer,
           std::vector<std::string>& notices, std::string& failure);

private:
  struct Taken {
    CommandSubject subject;
    std::string sender;
  };
  // Why a command from an allowed sender with the right PIN is refused
  // still: its Date, or its Message-ID already carried out; "" when not.
  std::string Refusal(const std::string& header, int64_t nowS) const;
  void KeepLock(int64_t nowS);

  WrongPinLock lock_;
  HandledMail* record_ = nullptr;
  bool justLocked_ = false;
  std::vector<Taken> taken_;
};



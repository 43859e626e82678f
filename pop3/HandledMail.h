#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

// The request mailbox's mails already handled, kept on disk per profile so
// that a mail the server failed to delete is never carried out again, not
// even after a restart. The commands' PIN lock-out lives in the same file.
//   vardocam-handled-mail 1
//   locked_until=<epoch s, 0: not locked>
//   wrong_pin=<epoch s>            (one line each)
//   id=<uid:... or msgid:...>     (one line each, oldest first)
struct HandledMailRecord {
  std::deque<std::string> ids;
  int64_t lockedUntilS = 0;
  std::vector<int64_t> wrongPinsS;
};

constexpr char kHandledMailFirstLine[] = "vardocam-handled-mail 1";
// Ids remembered: far more than a mailbox holds between two polls; the
// oldest are forgotten first.
constexpr size_t kMaxHandledIds = 2000;
// A Message-ID fits one mail line; a longer id is not remembered.
constexpr size_t kMaxHandledIdBytes = 998;
// Wrong PINs kept: more than ever lock commands out.
constexpr size_t kMaxKeptWrongPins = 64;
// The file of the bounds above, with room for its keys.
constexpr size_t kMaxHandledRecordBytes = kMaxHandledIds * (kMaxHandledIdBytes + 8) + 64 * 1024;

std::string HandledMailText(const HandledMailRecord& record);
// Nothing when the bytes are not such a record. Lines of unknown keys and
// values out of range are passed over; the bounds above hold.
std::optional<HandledMailRecord> ParseHandledMail(const std::string& bytes);

// The record in its file ($XDG_DATA_HOME/vardocam/mailbox/<profile>/handled);
// without a file it lives in memory only.
class HandledMail {
public:
  explicit HandledMail(std::string path = "");
  // Reads the file once; a missing one is an empty record. False, with
  // why, when it cannot be read: the record then starts empty.
  bool Load(std::string* why);
  bool Seen(const std::string& id) const { return set_.count(id) != 0; }
  void Add(const std::string& id);
  // Written whole, mode 0600; false with the reason when it cannot be.
  bool Save(std::string* why);
  HandledMailRecord& Record() { return record_; }

private:
  std::string path_;
  HandledMailRecord record_;
  std::unordered_set<std::string> set_;
};

// The record's file for a profile; empty without a home folder.
std::string HandledMailFile(const std::string& profile);

#include "pop3/HandledMail.h"

#include <filesystem>

#include "platform/AppPaths.h"
#include "platform/AtomicFile.h"
#include "platform/PrivateFile.h"

namespace {
constexpr char kIdKey[] = "id=";
constexpr char kLockKey[] = "locked_until=";
constexpr char kWrongKey[] = "wrong_pin=";

bool Starts(const std::string& line, const char* key, std::string& value) {
  const size_t n = std::char_traits<char>::length(key);
  if (line.compare(0, n, key) != 0) return false;
  value = line.substr(n);
  return true;
}

// Epoch seconds: digits only, few enough not to overflow (year 33658).
constexpr size_t kMaxSecondsDigits = 12;
bool Seconds(const std::string& text, int64_t& value) {
  if (text.empty() || text.size() > kMaxSecondsDigits) return false;
  int64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  value = n;
  return true;
}

bool UsableId(const std::string& id) {
  if (id.empty() || id.size() > kMaxHandledIdBytes) return false;
  for (char c : id)
    if (c == '\n' || c == '\r' || c == '\0') return false;
  return true;
}
} // namespace

std::string HandledMailText(const HandledMailRecord& record) {
  std::string text = std::string(kHandledMailFirstLine) + "\n" + kLockKey + std::to_string(record.lockedUntilS) + "\n";
  for (int64_t s : record.wrongPinsS) text += kWrongKey + std::to_string(s) + "\n";
  for (const std::string& id : record.ids) text += kIdKey + id + "\n";
  return text;
}

std::optional<HandledMailRecord> ParseHandledMail(const std::string& bytes) {
  size_t end = bytes.find('\n');
  if (end == std::string::npos || bytes.compare(0, end, kHandledMailFirstLine) != 0) return std::nullopt;
  HandledMailRecord record;
  for (size_t at = end + 1; at < bytes.size(); at = end + 1) {
    end = bytes.find('\n', at);
    if (end == std::string::npos) end = bytes.size();
    const std::string line = bytes.substr(at, end - at);
    std::string value;
    int64_t s = 0;
    if (Starts(line, kIdKey, value)) {
      if (!UsableId(value)) continue;
      record.ids.push_back(value);
      if (record.ids.size() > kMaxHandledIds) record.ids.pop_front();
    } else if (Starts(line, kLockKey, value)) {
      if (Seconds(value, s)) record.lockedUntilS = s;
    } else if (Starts(line, kWrongKey, value)) {
      if (Seconds(value, s) && record.wrongPinsS.size() < kMaxKeptWrongPins) record.wrongPinsS.push_back(s);
    }
  }
  return record;
}

HandledMail::HandledMail(std::string path) : path_(std::move(path)) {}

bool HandledMail::Load(std::string* why) {
  record_ = {};
  set_.clear();
  if (path_.empty()) return true;
  std::string bytes, reason;
  switch (ReadPrivateFile(path_, kMaxHandledRecordBytes, bytes, &reason)) {
  case PrivateFileRead::Missing: return true;
  case PrivateFileRead::Read: break;
  default:
    if (why) *why = path_ + ": " + reason;
    return false;
  }
  std::optional<HandledMailRecord> read = ParseHandledMail(bytes);
  if (!read) {
    if (why) *why = path_ + ": 処理済みメールの記録ではありません";
    return false;
  }
  record_ = std::move(*read);
  set_.insert(record_.ids.begin(), record_.ids.end());
  return true;
}

void HandledMail::Add(const std::string& id) {
  if (!UsableId(id) || Seen(id)) return;
  record_.ids.push_back(id);
  set_.insert(id);
  if (record_.ids.size() > kMaxHandledIds) {
    set_.erase(record_.ids.front());
    record_.ids.pop_front();
  }
}

bool HandledMail::Save(std::string* why) {
  if (path_.empty()) return true;
  std::string error;
  const bool saved = MakePrivateFolder(std::filesystem::path(path_).parent_path().string(), &error) &&
                     WriteFileAtomically(path_, HandledMailText(record_), AtomicWrite{true, true, ""}, &error);
  if (!saved && why) *why = error;
  return saved;
}

std::string HandledMailFile(const std::string& profile) {
  const std::string folder = ProfileDataFolder("mailbox", profile);
  return folder.empty() ? "" : folder + "/handled";
}

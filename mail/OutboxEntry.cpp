#include "mail/OutboxEntry.h"

#include <cerrno>
#include <cstdlib>

namespace {
std::optional<OutboxEntry> Unreadable(std::string* why, const char* reason) {
  if (why) *why = reason;
  return std::nullopt;
}

int RefusedCount(const std::string& value) {
  errno = 0;
  const long long n = std::strtoll(value.c_str(), nullptr, 10);
  if (n <= 0) return 0;
  return errno == ERANGE || n > kOutboxRefusedCeiling ? kOutboxRefusedCeiling : static_cast<int>(n);
}
} // namespace

std::string OutboxEntryText(const OutboxEntry& entry) {
  return std::string(kOutboxFirstLine) + "\nfrom=" + entry.mail.from + "\nto=" + entry.mail.to +
         "\nrefused=" + std::to_string(entry.refused) + "\n\n" + entry.mail.text;
}

std::optional<OutboxEntry> ParseOutboxEntry(const std::string& bytes, std::string* why) {
  size_t end = bytes.find('\n');
  if (bytes.compare(0, end, kOutboxFirstLine) != 0 || end == std::string::npos)
    return Unreadable(why, "未送信メールのファイルではありません");
  OutboxEntry entry;
  // Header lines up to the empty one; a line without '=' or of a key not
  // known here is passed over, as an older or newer writer may add one.
  for (size_t at = end + 1;;) {
    end = bytes.find('\n', at);
    if (end == std::string::npos) return Unreadable(why, "メール本文がありません");
    const std::string line = bytes.substr(at, end - at);
    at = end + 1;
    if (line.empty()) {
      entry.mail.text = bytes.substr(at);
      break;
    }
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "from") entry.mail.from = value;
    else if (key == "to") entry.mail.to = value;
    else if (key == "refused") entry.refused = RefusedCount(value);
  }
  if (entry.mail.text.empty()) return Unreadable(why, "メール本文がありません");
  return entry;
}

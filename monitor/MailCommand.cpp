#include "monitor/MailCommand.h"

#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <cctype>

#include "platform/Clock.h"

namespace {
struct CommandWord {
  const char* word;
  MailCommandKind kind;
};
// The Japanese words as a phone types them, and the English ones upper-cased.
const CommandWord kWords[] = {
    {"監視開始", MailCommandKind::Arm},     {"ARM", MailCommandKind::Arm},
    {"監視終了", MailCommandKind::Disarm},  {"DISARM", MailCommandKind::Disarm},
    {"一時停止", MailCommandKind::Snooze},  {"SNOOZE", MailCommandKind::Snooze},
    {"状況", MailCommandKind::Status},      {"STATUS", MailCommandKind::Status},
    {"最新", MailCommandKind::Last},        {"LAST", MailCommandKind::Last},
};

// Full-width forms (U+FF01-U+FF5E) and the ideographic space as the plain
// ASCII a keyboard on a computer would give.
std::string PlainWidth(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    if ((b0 & 0xF0) == 0xE0 && i + 2 < text.size()) {
      const auto b1 = static_cast<unsigned char>(text[i + 1]);
      const auto b2 = static_cast<unsigned char>(text[i + 2]);
      const unsigned cp = ((b0 & 0x0Fu) << 12) | ((b1 & 0x3Fu) << 6) | (b2 & 0x3Fu);
      if (cp == 0x3000 || (cp >= 0xFF01 && cp <= 0xFF5E)) {
        out.push_back(cp == 0x3000 ? ' ' : static_cast<char>(cp - 0xFF01 + 0x21));
        i += 2;
        continue;
      }
    }
    out.push_back(static_cast<char>(b0));
  }
  return out;
}

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  for (char c : text + " ") {
    if (c == ' ' || c == '\t') {
      if (!word.empty()) words.push_back(word);
      word.clear();
    } else {
      word.push_back(c);
    }
  }
  return words;
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Digits only, and few enough that the number cannot overflow.
bool Minutes(const std::string& word, int& minutes) {
  constexpr size_t kMostDigits = 6;
  if (word.empty() || word.size() > kMostDigits) return false;
  for (char c : word)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  minutes = std::stoi(word);
  return true;
}

} // namespace

CommandSubject ParseCommandSubject(const std::string& subject, const std::string& pin) {
  CommandSubject parsed;
  const std::vector<std::string> words = Words(PlainWidth(subject));
  if (words.empty()) return parsed;
  const std::string first = Upper(words[0]);
  for (const CommandWord& w : kWords)
    if (first == w.word) parsed.kind = w.kind;
  if (parsed.kind == MailCommandKind::None) return parsed;
  size_t pinAt = 1;
  if (parsed.kind == MailCommandKind::Snooze) {
    // "一時停止 PIN" has no minutes: the one word left is the PIN.
    if (words.size() >= 3) {
      parsed.minutesOk = Minutes(words[1], parsed.minutes) && parsed.minutes >= 1 &&
                         parsed.minutes <= kMaxSnoozeMinutes;
      pinAt = 2;
    } else {
      parsed.minutesOk = false;
    }
  }
  parsed.pinOk = pinAt < words.size() && SamePin(words[pinAt], PlainWidth(pin));
  return parsed;
}

bool SamePin(const std::string& given, const std::string& pin) {
  if (pin.empty()) return false;
  unsigned char a[SHA256_DIGEST_LENGTH];
  unsigned char b[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(given.data()), given.size(), a);
  SHA256(reinterpret_cast<const unsigned char*>(pin.data()), pin.size(), b);
  return CRYPTO_memcmp(a, b, sizeof a) == 0;
}

bool SenderAllowed(const std::string& address, const std::string& list) {
  if (address.empty()) return false;
  const std::string wanted = Lower(address);
  std::string entry;
  for (char c : list + ",") {
    if (c != ',') {
      if (c != ' ' && c != '\t') entry.push_back(c);
      continue;
    }
    if (Lower(entry) == wanted) return true;
    entry.clear();
  }
  return false;
}

bool WrongPinLock::Locked() {
  if (locked_ && GetTickCount() - lockedAt_ >= kWrongPinWindowMs) {
    locked_ = false;
    wrong_.clear();
  }
  return locked_;
}

bool WrongPinLock::Count() {
  const uint32_t now = GetTickCount();
  while (!wrong_.empty() && now - wrong_.front() >= kWrongPinWindowMs) wrong_.pop_front();
  wrong_.push_back(now);
  if (locked_ || wrong_.size() < static_cast<size_t>(kMaxWrongPinsPerHour)) return false;
  locked_ = true;
  lockedAt_ = now;
  wrong_.clear();
  return true;
}

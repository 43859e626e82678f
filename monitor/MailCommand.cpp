#include "monitor/MailCommand.h"

#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <filesystem>

#include "platform/Clock.h"

namespace {
std::string LocalTime(std::time_t when, const char* pattern) {
  std::tm local{};
  localtime_r(&when, &local);
  char text[64];
  std::strftime(text, sizeof text, pattern, &local);
  return text;
}

void AnswerLast(const std::vector<EventInfo>& events, CommandAnswer& answer) {
  answer.what = "最新のイベント";
  // A test alarm's folder is no event someone asking for the latest means.
  const auto real = std::find_if(events.begin(), events.end(), [](const EventInfo& e) { return !e.test; });
  if (real == events.end()) {
    answer.lines.push_back("記録されたイベントはありません。");
    return;
  }
  const EventInfo& newest = *real;
  answer.lines.push_back("最新のイベント(" +
                         LocalTime(static_cast<std::time_t>(newest.startMs / 1000), "%Y/%m/%d %H:%M:%S") +
                         "から)の画像を添付します。");
  for (const char* name : {kEventFirstPicture, kEventPeakPicture, kEventPersonPicture}) {
    const std::string path = (std::filesystem::path(newest.folder) / name).string();
    std::error_code error;
    if (std::filesystem::is_regular_file(path, error)) answer.attachments.push_back(path);
  }
}

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

const std::vector<MailCommand>& MailCommands() {
  using K = MailCommandKind;
  static const std::vector<MailCommand> commands = {
      {K::Arm, {"監視開始", "ARM"}, CommandArgument::None,
       [](const CommandCall& call, CommandAnswer& answer) {
         std::string why;
         if (call.arm.Arm(ArmedBy::MailCommand, &why)) {
           answer.what = "監視を開始しました";
           answer.lines.push_back("メールの指示で監視を開始しました。");
         } else {
           answer.what = "監視を開始できませんでした";
           answer.lines.push_back("監視を開始できませんでした。" + why);
         }
       }},
      {K::Disarm, {"監視終了", "DISARM"}, CommandArgument::None,
       [](const CommandCall& call, CommandAnswer& answer) {
         call.arm.Disarm(ArmedBy::MailCommand);
         answer.what = "監視を終了しました";
         answer.lines.push_back("メールの指示で監視を終了しました。");
       }},
      {K::Snooze, {"一時停止", "SNOOZE"}, CommandArgument::Minutes,
       [](const CommandCall& call, CommandAnswer& answer) {
         if (!call.subject.minutesOk) {
           answer.what = "一時停止できませんでした";
           answer.lines.push_back("一時停止はしていません。分数は1から" + std::to_string(kMaxSnoozeMinutes) +
                                  "までの数で指定してください(例: 件名「一時停止 30 暗証番号」)。");
           return;
         }
         call.arm.Snooze(call.subject.minutes, ArmedBy::MailCommand);
         answer.what = "監視を一時停止しました";
         answer.lines.push_back("メールの指示で監視を" + std::to_string(call.subject.minutes) +
                                "分間停止しました。その後は元の状態に戻ります。");
       }},
      {K::Status, {"状況", "STATUS"}, CommandArgument::None,
       [](const CommandCall&, CommandAnswer& answer) {
         answer.what = "現在の状況";
         answer.lines.push_back("現在の状況をお知らせします。");
       }},
      {K::Last, {"最新", "LAST"}, CommandArgument::None,
       [](const CommandCall& call, CommandAnswer& answer) {
         AnswerLast(call.events ? call.events() : std::vector<EventInfo>{}, answer);
       }},
      // The test's own mail goes after this answer, on the same mail thread.
      {K::Test, {"テスト", "TEST"}, CommandArgument::None,
       [](const CommandCall& call, CommandAnswer& answer) {
         std::string why;
         if (call.arm.TestAlarm(&why)) {
           answer.what = "テスト警報を始めました";
           answer.lines.push_back("メールの指示でテスト警報を始めました。警報音・警報メール・イベントの記録・MQTTを"
                                  "一度ずつ試します。");
           answer.lines.push_back("件名が【テスト】で始まる警報メールが別に届きます。結果は画面の状態表示とログに出ます。");
         } else {
           answer.what = "テスト警報を始められませんでした";
           answer.lines.push_back("テスト警報を始められませんでした。" + why);
         }
       }},
  };
  return commands;
}

const MailCommand* FindMailCommand(MailCommandKind kind) {
  for (const MailCommand& command : MailCommands())
    if (command.kind == kind) return &command;
  return nullptr;
}

CommandSubject ParseCommandSubject(const std::string& subject, const std::string& pin) {
  CommandSubject parsed;
  const std::vector<std::string> words = Words(PlainWidth(subject));
  if (words.empty()) return parsed;
  const std::string first = Upper(words[0]);
  const MailCommand* command = nullptr;
  for (const MailCommand& row : MailCommands())
    for (const char* word : row.words)
      if (first == word) command = &row;
  if (!command) return parsed;
  parsed.kind = command->kind;
  size_t pinAt = 1;
  if (command->argument == CommandArgument::Minutes) {
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

namespace {
constexpr int64_t kWindowS = kWrongPinWindowMs / 1000;
constexpr int64_t kMsPerSecond = 1000;
}  // namespace

WrongPinLock::Kept WrongPinLock::Save(int64_t nowS) {
  Kept kept;
  const uint32_t now = GetTickCount();
  for (uint32_t tick : wrong_) kept.wrongS.push_back(nowS - static_cast<int64_t>((now - tick) / kMsPerSecond));
  if (Locked()) kept.lockedUntilS = nowS + kWindowS - static_cast<int64_t>((now - lockedAt_) / kMsPerSecond);
  return kept;
}

void WrongPinLock::Restore(const Kept& kept, int64_t nowS) {
  const uint32_t now = GetTickCount();
  wrong_.clear();
  for (int64_t s : kept.wrongS) {
    const int64_t age = nowS - s;
    if (age >= 0 && age < kWindowS) wrong_.push_back(now - static_cast<uint32_t>(age * kMsPerSecond));
  }
  const int64_t left = kept.lockedUntilS - nowS;
  locked_ = kept.lockedUntilS != 0 && left > 0;
  if (locked_) lockedAt_ = now - static_cast<uint32_t>((kWindowS - std::min(left, kWindowS)) * kMsPerSecond);
}

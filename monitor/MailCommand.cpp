#include "monitor/MailCommand.h"

#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <cctype>
#include <ctime>
#include <filesystem>

#include "archive/EventLayout.h"
#include "mail/HeaderDecode.h"
#include "platform/Clock.h"
#include "settings/Vardocamdef.h"

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

std::string LocalTime(std::time_t when, const char* pattern) {
  std::tm local{};
  localtime_r(&when, &local);
  char text[64];
  std::strftime(text, sizeof text, pattern, &local);
  return text;
}

const char* ByText(ArmedBy by) {
  switch (by) {
    case ArmedBy::Button: return "ボタン";
    case ArmedBy::Schedule: return "予定";
    case ArmedBy::MailCommand: return "メールの指示";
    case ArmedBy::House: return "ホームオートメーション";
    default: return "";
  }
}

void AnswerLast(const typVardocam& settings, CommandAnswer& answer) {
  answer.what = "最新のイベント";
  const std::vector<EventInfo> events =
      settings.EVENT_ARCHIVE ? ListEvents(EventArchiveRoot(settings.EVENT_DIR, SettingsProfile()))
                             : std::vector<EventInfo>{};
  if (events.empty()) {
    answer.lines.push_back("記録されたイベントはありません。");
    return;
  }
  const EventInfo& newest = events.front();
  answer.lines.push_back("最新のイベント(" +
                         LocalTime(static_cast<std::time_t>(newest.startMs / 1000), "%Y/%m/%d %H:%M:%S") +
                         "から)の画像を添付します。");
  for (const char* name : {kEventFirstPicture, kEventPeakPicture, kEventPersonPicture}) {
    const std::string path = (std::filesystem::path(newest.folder) / name).string();
    std::error_code error;
    if (std::filesystem::is_regular_file(path, error)) answer.attachments.push_back(path);
  }
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

bool MailCommandDesk::Take(const std::string& header, const typVardocam& settings,
                           std::vector<std::string>& notices) {
  if (settings.REMOTE_PIN.empty() || settings.REMOTE_SENDERS.empty()) return false;
  const std::vector<std::string> subjects = HeaderFields(header, "Subject");
  if (subjects.size() != 1) return false;
  const CommandSubject parsed = ParseCommandSubject(DecodeHeaderText(subjects[0]), settings.REMOTE_PIN);
  if (parsed.kind == MailCommandKind::None) return false;
  const std::vector<std::string> froms = HeaderFields(header, "From");
  const std::string sender = froms.size() == 1 ? SenderAddress(froms[0]) : "";
  if (!SenderAllowed(sender, settings.REMOTE_SENDERS)) {
    if (!sender.empty())
      notices.push_back("操作を許可していない差出人(" + sender +
                        ")からの操作メールは、状況報告の要求として扱いました。");
    return false;
  }
  const bool locked = lock_.Locked();
  if (!parsed.pinOk) {
    notices.push_back("メールでの操作に誤った暗証番号が使われました(差出人: " + sender + ")。");
    if (!locked && lock_.Count())
      notices.push_back("暗証番号の誤りが続いたため、メールでの操作を1時間受け付けません。"
                        "その間の操作メールは状況報告の要求として扱います。");
    return false;
  }
  if (locked) return false;
  taken_.push_back({parsed, sender});
  return true;
}

bool MailCommandDesk::Run(IArmControl& arm, const typVardocam& settings,
                          const std::function<bool(const CommandAnswer&, std::string& why)>& answer,
                          std::string& failure) {
  bool allSent = true;
  for (const Taken& command : taken_) {
    CommandAnswer reply;
    reply.sender = command.sender;
    std::string why;
    switch (command.subject.kind) {
      case MailCommandKind::Arm:
        if (arm.Arm(ArmedBy::MailCommand, &why)) {
          reply.what = "監視を開始しました";
          reply.lines.push_back("メールの指示で監視を開始しました。");
        } else {
          reply.what = "監視を開始できませんでした";
          reply.lines.push_back("監視を開始できませんでした。" + why);
        }
        break;
      case MailCommandKind::Disarm:
        arm.Disarm(ArmedBy::MailCommand);
        reply.what = "監視を終了しました";
        reply.lines.push_back("メールの指示で監視を終了しました。");
        break;
      case MailCommandKind::Snooze:
        if (command.subject.minutesOk) {
          arm.Snooze(command.subject.minutes, ArmedBy::MailCommand);
          reply.what = "監視を一時停止しました";
          reply.lines.push_back("メールの指示で監視を" + std::to_string(command.subject.minutes) +
                                "分間停止しました。その後は元の状態に戻ります。");
        } else {
          reply.what = "一時停止できませんでした";
          reply.lines.push_back("一時停止はしていません。分数は1から" + std::to_string(kMaxSnoozeMinutes) +
                                "までの数で指定してください(例: 件名「一時停止 30 暗証番号」)。");
        }
        break;
      case MailCommandKind::Status:
        reply.what = "現在の状況";
        reply.lines.push_back("現在の状況をお知らせします。");
        break;
      case MailCommandKind::Last:
        AnswerLast(settings, reply);
        break;
      case MailCommandKind::None:
        continue;
    }
    reply.lines.push_back(ArmStateText(arm.State()));
    std::string sendFailure;
    if (!answer(reply, sendFailure)) {
      allSent = false;
      failure += (failure.empty() ? "" : " ") + sendFailure;
    }
  }
  taken_.clear();
  return allSent;
}

std::string ArmStateText(const ArmState& state) {
  std::string text = std::string("現在の状態: ") + (state.armed ? "監視中" : "監視停止中");
  if (state.by != ArmedBy::Nobody) text += std::string("(") + ByText(state.by) + "による)";
  if (state.untilEpochS > 0)
    text += "、" + LocalTime(static_cast<std::time_t>(state.untilEpochS), "%-m月%-d日 %H:%M") + "まで";
  return text;
}

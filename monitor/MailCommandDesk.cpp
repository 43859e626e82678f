#include "monitor/MailCommandDesk.h"

#include <ctime>
#include <filesystem>

#include "archive/EventLayout.h"
#include "mail/HeaderDecode.h"
#include "settings/Vardocamdef.h"

namespace {
std::string LocalTime(std::time_t when, const char* pattern) {
  std::tm local{};
  localtime_r(&when, &local);
  char text[64];
  std::strftime(text, sizeof text, pattern, &local);
  return text;
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
                          std::vector<std::string>& notices, std::string& failure) {
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
    reply.lines.push_back("現在の状態: " + ArmStateText(arm.State()));
    notices.push_back("メールの指示: " + reply.what + "(差出人: " + command.sender + ")。");
    std::string sendFailure;
    if (!answer(reply, sendFailure)) {
      allSent = false;
      failure += (failure.empty() ? "" : " ") + sendFailure;
    }
  }
  taken_.clear();
  return allSent;
}



#include "monitor/MailCommandDesk.h"

#include <ctime>

#include "archive/EventLayout.h"
#include "mail/HeaderDecode.h"
#include "mail/MailDate.h"
#include "pop3/HandledMail.h"
#include "pop3/RequestCheck.h"
#include "settings/Vardocamdef.h"

void MailCommandDesk::SetRecord(HandledMail* record) {
  record_ = record;
  if (!record_) return;
  const HandledMailRecord& kept = record_->Record();
  lock_.Restore({kept.wrongPinsS, kept.lockedUntilS}, std::time(nullptr));
}

void MailCommandDesk::KeepLock(int64_t nowS) {
  if (!record_) return;
  const WrongPinLock::Kept kept = lock_.Save(nowS);
  record_->Record().wrongPinsS = kept.wrongS;
  record_->Record().lockedUntilS = kept.lockedUntilS;
}

namespace {
constexpr int64_t kSecondsPerHour = 60 * 60;
}  // namespace

std::string MailCommandDesk::Refusal(const std::string& header, int64_t nowS) const {
  const std::vector<std::string> dates = HeaderFields(header, "Date");
  int64_t sent = 0;
  if (dates.size() != 1 || !ParseMailDate(dates[0], sent)) return "日付(Date)が読めない";
  if (sent < nowS - kCommandDateWindowS || sent > nowS + kCommandDateWindowS)
    return "日付(Date)が今から" + std::to_string(kCommandDateWindowS / kSecondsPerHour) + "時間以上離れている";
  const std::string id = HandledMailId("", header);
  if (record_ && !id.empty() && record_->Seen(id)) return "同じメール(Message-ID)の操作は実行済み";
  return "";
}

bool MailCommandDesk::Take(const std::string& header, const typVardocam& settings,
                           std::vector<std::string>& notices, int64_t nowS) {
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
    if (!locked && lock_.Count()) {
      justLocked_ = true;
      notices.push_back("暗証番号の誤りが続いたため、メールでの操作を1時間受け付けません。"
                        "その間の操作メールは状況報告の要求として扱います。");
    }
    KeepLock(nowS);
    return false;
  }
  if (locked) return false;
  const std::string refused = Refusal(header, nowS);
  if (!refused.empty()) {
    notices.push_back("操作メールを実行しませんでした(" + refused + "、差出人: " + sender +
                      ")。状況報告の要求として扱いました。");
    return false;
  }
  // Remembered with the poll's other mails, so a copy delivered again is refused.
  const std::string id = HandledMailId("", header);
  if (record_ && !id.empty()) record_->Add(id);
  taken_.push_back({parsed, sender});
  return true;
}

bool MailCommandDesk::Run(IArmControl& arm, const typVardocam& settings,
                          const std::function<bool(const CommandAnswer&, std::string& why)>& answer,
                          std::vector<std::string>& notices, std::string& failure) {
  bool allSent = true;
  for (const Taken& command : taken_) {
    const MailCommand* row = FindMailCommand(command.subject.kind);
    if (!row) continue;
    CommandAnswer reply;
    reply.sender = command.sender;
    row->run(CommandCall{arm, command.subject,
                         [&settings] {
                           return settings.EVENT_ARCHIVE
                                      ? ListEvents(EventArchiveRoot(settings.EVENT_DIR, SettingsProfile()))
                                      : std::vector<EventInfo>{};
                         }},
             reply);
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



#include "service/JournalLog.h"

#include "monitor/StatusLog.h"
#include "platform/Clock.h"
#include "settings/Vardocamdef.h"

namespace {
constexpr unsigned kMsPerSecond = 1000;
} // namespace

std::string OneLine(const std::string& text) {
  std::string line;
  line.reserve(text.size());
  for (unsigned char c : text) line += (c < 0x20 || c == 0x7f) ? ' ' : static_cast<char>(c);
  return line;
}

void JournalLog::Write(int priority, const std::string& text) {
  // One write per line, flushed, so lines of a stopping process are not lost.
  const std::string mark = camera_.empty() ? "" : "[" + camera_ + "] ";
  out_ << ("<" + std::to_string(priority) + ">" + OneLine(mark + text) + "\n") << std::flush;
}

void JournalLog::On(const MonitorEvent& event) {
  using Kind = MonitorEvent::Kind;
  switch (event.kind) {
  case Kind::MonitoringStarted:
    mailsOffSaid_ = false;
    if (!address_.empty()) Write(kJournalInfo, "カメラに接続しました: " + address_);
    // The same words and rounding as the window's status line.
    Write(kJournalInfo, "監視を開始しました (検出は " +
                            std::to_string((event.warmUpMs + kMsPerSecond - 1) / kMsPerSecond) + " 秒後から)");
    break;
  case Kind::MonitoringStopped: Write(kJournalInfo, "監視を終了しました"); break;
  case Kind::MotionDetected: {
    if (!motion_.Detected(GetTickCount())) return;
    const std::string where = RegionsText(event.regions);
    Write(kJournalInfo, where.empty() ? "動体を検出しました" : "動体を検出しました (" + where + ")");
    break;
  }
  case Kind::PersonDetected: Write(kJournalNotice, "人物を検知しました (" + BoxText(event.box) + ")"); break;
  case Kind::MotionWithoutPerson: Write(kJournalInfo, "動きあり・人物なし"); break;
  case Kind::AlarmStarted: Write(kJournalNotice, "警報を開始しました"); break;
  case Kind::AlarmEnded: Write(kJournalInfo, "警報を終了しました"); break;
  case Kind::AlertMailDone: AlertMail(event.sent, event.text); break;
  case Kind::AlertMailHeldBack:
    Write(kJournalInfo, event.sameEvent ? HeldBackLine(event)
                                        : "警報メールを見送りました (最短間隔まであと " +
                                              std::to_string(event.secondsLeft) + " 秒)");
    break;
  case Kind::MailDone: {
    const std::string line = MailDoneLine(event);
    if (!line.empty()) Write(event.sent ? kJournalInfo : kJournalWarning, line);
    break;
  }
  case Kind::TestAlarmStarted: Write(kJournalNotice, "テスト警報を開始しました (実際の警報ではありません)"); break;
  case Kind::TestAlarmStep: Write(event.ok ? kJournalInfo : kJournalWarning, event.text); break;
  case Kind::RequestCheckDone:
    if (!event.ok)
      Write(kJournalWarning, kRequestCheckFailedWords + std::string(": ") + event.text);
    else
      Write(kJournalInfo, RequestCheckText(event.requests, event.commands));
    break;
  case Kind::CameraLost: Write(kJournalWarning, "カメラから映像が届きません (再接続を続けます)"); break;
  case Kind::CameraBack: Write(kJournalInfo, "カメラの映像が戻りました"); break;
  case Kind::Notice: Write(kJournalWarning, event.text); break;
  case Kind::CameraFailed: Write(kJournalError, CameraFailedLine(event)); break;
  case Kind::TickFailed: Write(kJournalError, "監視処理でエラーが発生しました: " + event.text); break;
  case Kind::BrokerChanged:
    if (event.connected)
      Write(kJournalInfo, "MQTTブローカーに接続しました (" + event.text + ")");
    else
      Write(kJournalWarning, event.text);
    break;
  case Kind::MailQueueChanged:
    if (event.waiting == mailsWaiting_) return;
    mailsWaiting_ = event.waiting;
    if (event.waiting > 0)
      Write(kJournalWarning, "未送信メール " + std::to_string(event.waiting) + " 通");
    else
      Write(kJournalInfo, "未送信メールはすべて送信しました");
    break;
  case Kind::ArmChanged:
    if (ArmWorthSaying(event.arm)) Write(kJournalInfo, "監視の切替: " + ArmStateText(event.arm));
    break;
  case Kind::ArchiveFloorChanged: Write(event.belowFloor ? kJournalWarning : kJournalInfo, event.text); break;
  case Kind::EventArchived: break;
  }
}

void JournalLog::AlertMail(bool sent, const std::string& failure) {
  // A mail switched off reports itself sent; it never went out.
  if (sent && !AppSettings.USEMAIL) {
    if (!mailsOffSaid_) Write(kJournalInfo, "警報メールは送らない設定です");
    mailsOffSaid_ = true;
  } else if (sent)
    Write(kJournalInfo, "警報メールを送信しました");
  else
    Write(kJournalWarning, "警報メールを送信できませんでした: " + failure);
}
